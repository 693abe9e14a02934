// The host's end of standard output: the writer thread, the pipe and a host that reads, or stops
// reading for a while, or for good.
//
// Nothing moves while the host pauses, and everything moves at once while it reads, so the state
// at any tick follows from the offers made and the pauses scripted: it is brought up to date on
// every call that can see it.
#include <string_view>

#include "os/sim/sim.h"

namespace sim {
namespace {

constexpr os::Handle kOutputRoomEvent = 0x102;

uint64_t At(uint64_t ms) {
    return ms == kNever ? kNever : kStartTick + ms;
}

const ReadPause* PauseAt(const Machine& m, uint64_t tick) {
    for (const ReadPause& pause : m.outputPipe.pauses) {
        if (At(pause.fromMs) <= tick && tick < At(pause.untilMs)) return &pause;
    }
    return nullptr;
}

// Whether the host read at some moment in [from, to].
bool ReadBetween(const Machine& m, uint64_t from, uint64_t to) {
    if (PauseAt(m, from) == nullptr || PauseAt(m, to) == nullptr) return true;
    for (const ReadPause& pause : m.outputPipe.pauses) {
        const uint64_t until = At(pause.untilMs);
        if (until > from && until <= to && PauseAt(m, until) == nullptr) return true;
    }
    return false;
}

// The first tick from now on at which the host reads; none when it never does again.
std::optional<uint64_t> NextRead(const Machine& m) {
    uint64_t tick = m.now;
    while (const ReadPause* pause = PauseAt(m, tick)) {
        if (pause->untilMs == kNever) return std::nullopt;
        tick = At(pause->untilMs);
    }
    return tick;
}

// Moves bytes along: the writer takes what waits once its write is done, its write fills the
// pipe's buffer, and a reading host empties the pipe.
void Settle(Machine& m) {
    OutputPipe& out = m.outputPipe;
    const bool reading = ReadBetween(m, out.settledAt > m.now ? m.now : out.settledAt, m.now);
    out.settledAt = m.now;
    for (;;) {
        if (out.writing.empty()) {
            if (out.pending.empty()) break;
            out.writing.swap(out.pending);
            if (out.roomWanted) {
                out.roomWanted = false;
                out.roomSignalled = true;
            }
        }
        if (reading) {  // the host takes what the pipe holds and the rest of the write
            m.output += out.inPipe;
            m.output += out.writing;
            out.inPipe.clear();
            out.writing.clear();
            continue;
        }
        const std::size_t room =
            out.pipeBytes > out.inPipe.size() ? out.pipeBytes - out.inPipe.size() : 0;
        const std::size_t moved = room < out.writing.size() ? room : out.writing.size();
        out.inPipe.append(out.writing, 0, moved);
        out.writing.erase(0, moved);
        if (!out.writing.empty()) break;  // WriteFile blocks until the host reads
    }
}

bool WriterIdle(const Machine& m) {
    return m.outputPipe.pending.empty() && m.outputPipe.writing.empty();
}

}  // namespace

void StopReading(uint64_t fromMs, uint64_t untilMs) {
    Current().outputPipe.pauses.push_back({fromMs, untilMs});
}

bool IsOutputRoomEvent(os::Handle event) {
    return event == kOutputRoomEvent && Current().outputPipe.writerStarted;
}

std::optional<uint64_t> OutputRoomSignalTime() {
    Machine& m = Current();
    Settle(m);
    if (m.outputPipe.roomSignalled) return m.now;
    // Only the writer's next take signals: with nothing waiting for it, that never comes.
    if (!m.outputPipe.roomWanted || m.outputPipe.pending.empty()) return std::nullopt;
    return NextRead(m);  // its write in progress ends, and it takes more, once the host reads
}

}  // namespace sim

namespace os {

using sim::Current;

Handle StartOutputWriter() {
    sim::Machine& m = Current();
    if (m.outputPipe.writerFails) return kNullHandle;
    m.outputPipe.writerStarted = true;
    return sim::kOutputRoomEvent;
}

bool OfferStandardOutput(const char* bytes, std::size_t count) {
    sim::Machine& m = Current();
    sim::OutputPipe& out = m.outputPipe;
    sim::Settle(m);
    if (!out.writerStarted) {
        // One blocking WriteFile on the caller's thread: the clock runs on until the host has
        // taken enough of the pipe for the whole write.
        out.writing.append(bytes, count);
        m.handed.append(bytes, count);
        ++m.outputWrites;
        sim::Settle(m);
        if (out.writing.empty()) return true;
        const std::optional<uint64_t> read = sim::NextRead(m);
        if (!read) {
            m.bus.faults.push_back("a write to standard output that never returns");
            out.writing.clear();
            return true;
        }
        m.now = *read;
        sim::Settle(m);
        return true;
    }
    if (out.pending.size() + count > out.writerBytes) {
        out.roomWanted = true;
        out.roomSignalled = false;
        ++out.refusals;
        return false;
    }
    out.pending.append(bytes, count);
    m.handed.append(bytes, count);
    ++m.outputWrites;
    sim::Settle(m);
    return true;
}

bool FlushStandardOutput(uint32_t milliseconds) {
    sim::Machine& m = Current();
    sim::Settle(m);
    if (sim::WriterIdle(m)) return true;
    const std::optional<uint64_t> read = sim::NextRead(m);
    const uint64_t timeoutEnd = sim::TimeoutEnd(m, milliseconds);
    if (read && *read <= timeoutEnd) {
        m.now = *read;
        sim::Settle(m);
        return true;
    }
    m.now = timeoutEnd;
    sim::Settle(m);
    return false;
}

}  // namespace os
