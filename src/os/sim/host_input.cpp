// The host's side of the simulated machine: standard input as the loop sees it through the
// adapter's reader, console control events, and the loop's one wait.
//
// The wait moves the virtual clock straight to the first thing that can happen (scripted input
// arriving, the host closing its end, a console control event, a driver request completing, or
// the time-out), so the loop wakes exactly when the real one would and never in between.
#include <cstring>
#include <optional>

#include "os/sim/sim.h"

namespace sim {
namespace {

constexpr os::Handle kInputReadyEvent = 0x100;
constexpr os::Handle kStopRequestedEvent = 0x101;

uint64_t At(uint64_t ms) {
    return kStartTick + ms;
}

// Bytes in the pipe at the current time and not yet taken.
std::size_t AvailableBytes(const Machine& m) {
    std::size_t end = 0;
    for (const Delivery& d : m.pipe.deliveries) {
        if (At(d.at) <= m.now) end = d.endOffset;
    }
    return end > m.pipe.consumed ? end - m.pipe.consumed : 0;
}

// A session that never closes its pipe would run forever: it counts as closed once everything
// scripted has been written.
uint64_t CloseTime(const Machine& m) {
    if (m.pipe.closeScheduled) return At(m.pipe.closeAt);
    return m.pipe.deliveries.empty() ? At(0) : At(m.pipe.deliveries.back().at);
}

bool InputEnded(const Machine& m) {
    return m.pipe.consumed == m.pipe.bytes.size() && m.now >= CloseTime(m);
}

// When the reader's event is signalled: now while bytes wait or once the input has ended, else
// when the next write arrives or the host closes its end.
uint64_t InputReadyTime(const Machine& m) {
    if (AvailableBytes(m) > 0 || InputEnded(m)) return m.now;
    for (const Delivery& d : m.pipe.deliveries) {
        if (At(d.at) > m.now && d.endOffset > m.pipe.consumed) return At(d.at);
    }
    return CloseTime(m) > m.now ? CloseTime(m) : m.now;
}

// As Win32 checks before it waits: at least one handle, at most MAXIMUM_WAIT_OBJECTS, none twice.
bool WaitableSet(uint32_t count, const os::Handle* handles) {
    if (count == 0 || count > os::kMaxWaitObjects) return false;
    for (uint32_t i = 0; i < count; ++i) {
        for (uint32_t j = i + 1; j < count; ++j) {
            if (handles[i] == handles[j]) return false;
        }
    }
    return true;
}

std::optional<uint64_t> SignalTime(const Machine& m, os::Handle handle) {
    if (handle == kInputReadyEvent && m.pipe.readerStarted) return InputReadyTime(m);
    if (handle == kStopRequestedEvent) {
        const std::optional<uint64_t> at = StopRequestTime(m);
        if (!at) return std::nullopt;
        return *at > m.now ? *at : m.now;
    }
    if (IsOutputRoomEvent(handle)) return OutputRoomSignalTime();
    return BusEventSignalTime(handle);
}

}  // namespace

bool IsStopRequestedEvent(os::Handle handle) {
    return handle == kStopRequestedEvent && Current().console.watched;
}

}  // namespace sim

namespace os {

using sim::Current;

Handle StartInputReader() {
    sim::Machine& m = Current();
    if (m.pipe.readerFails) return kNullHandle;
    m.pipe.readerStarted = true;
    return sim::kInputReadyEvent;
}

uint32_t TakeInput(void* buffer, uint32_t capacity, bool* ended, InputArrival* arrivals,
                   uint32_t* arrivalCount) {
    sim::Machine& m = Current();
    const std::size_t available = sim::AvailableBytes(m);
    std::size_t n = available < capacity ? available : capacity;
    // Each write reached the bridge at the tick of its time; writes of one tick share a record.
    uint32_t records = 0;
    for (const sim::Delivery& d : m.pipe.deliveries) {
        if (d.endOffset <= m.pipe.consumed) continue;
        const std::size_t end = d.endOffset - m.pipe.consumed;
        const uint64_t tick = sim::TickAt(m, sim::At(d.at));
        if (records > 0 && arrivals[records - 1].tick == tick) {
            arrivals[records - 1].end = static_cast<uint32_t>(end < n ? end : n);
        } else if (records == kMaxTakeArrivals) {
            n = arrivals[records - 1].end;
            break;
        } else {
            arrivals[records++] = {static_cast<uint32_t>(end < n ? end : n), tick};
        }
        if (end >= n) break;
    }
    *arrivalCount = records;
    std::memcpy(buffer, m.pipe.bytes.data() + m.pipe.consumed, n);
    m.pipe.consumed += n;
    if (n > m.pipe.largestTake) m.pipe.largestTake = static_cast<uint32_t>(n);
    *ended = sim::InputEnded(m);
    return static_cast<uint32_t>(n);
}

uint32_t InputWaiting() {
    return static_cast<uint32_t>(sim::AvailableBytes(Current()));
}

Handle WatchStopRequests() {
    Current().console.watched = true;
    return sim::kStopRequestedEvent;
}

void FinishShutdown() {
    sim::Machine& m = Current();
    m.console.shutdownFinished = true;
    m.console.finishedAtMs = m.now - sim::kStartTick;
    // A closed console and the session's end let the process live only so long.
    const sim::ConsoleControl& c = m.console;
    const uint64_t finished = c.finishedAtMs;
    const bool lateForClose = c.watched && c.scheduled && c.event == sim::ConsoleEvent::kClose &&
                              c.at <= finished && finished - c.at > sim::kEndOfSessionLimitMs;
    const bool lateForSession = c.watched && c.sessionEnds && !c.windowFails &&
                                c.sessionEndAt <= finished &&
                                finished - c.sessionEndAt > sim::kEndOfSessionLimitMs;
    if (lateForClose || lateForSession)
        m.bus.faults.push_back("the system ended the process before its shutdown finished");
    m.console.outputAtFinish = m.output.size();
}

uint32_t WaitForMultipleObjects(uint32_t count, const Handle* handles, uint32_t milliseconds) {
    sim::Machine& m = Current();
    sim::SettleBus();
    sim::Wait wait{m.now - sim::kStartTick, count, milliseconds, kWaitFailed, 0};
    if (!sim::WaitableSet(count, handles)) {
        m.bus.faults.push_back("a wait Win32 refuses (no handles, too many, or one twice)");
        m.lastError = kErrorInvalidParameter;
        wait.wokeAtMs = wait.atMs;
        m.waits.push_back(wait);
        return kWaitFailed;
    }
    std::optional<uint64_t> first;
    for (uint32_t i = 0; i < count; ++i) {
        if (handles[i] != sim::kInputReadyEvent && handles[i] != sim::kStopRequestedEvent &&
            !sim::IsBusEvent(handles[i]) && !sim::IsOutputRoomEvent(handles[i])) {
            m.bus.faults.push_back("wait on a handle that is not open");
            m.waits.push_back(wait);
            return kWaitFailed;
        }
        const std::optional<uint64_t> at = sim::SignalTime(m, handles[i]);
        if (at && (!first || *at < *first)) first = at;
    }
    const uint64_t timeoutEnd = milliseconds == kInfinite ? 0 : sim::TimeoutEnd(m, milliseconds);
    if (milliseconds != kInfinite && (!first || *first > timeoutEnd)) {
        m.now = timeoutEnd;
        sim::SettleBus();
        wait.result = kWaitTimeout;
    } else if (!first) {
        m.bus.faults.push_back("a wait that could never end");
    } else {
        if (*first > m.now) m.now = *first;
        sim::SettleBus();
        // As Windows does, report the lowest index among the handles signalled now.
        for (uint32_t i = 0; i < count && wait.result == kWaitFailed; ++i) {
            const std::optional<uint64_t> at = sim::SignalTime(m, handles[i]);
            if (at && *at <= m.now) wait.result = kWaitObject0 + i;
        }
    }
    wait.wokeAtMs = m.now - sim::kStartTick;
    m.waits.push_back(wait);
    return wait.result;
}

// Ends as a wait's time-out does, on the coarse clock at an interrupt; a driver's completions due
// meanwhile still happen.
void Sleep(uint32_t milliseconds) {
    sim::Machine& m = Current();
    m.now = sim::TimeoutEnd(m, milliseconds);
    sim::SettleBus();
}

}  // namespace os
