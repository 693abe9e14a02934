#include "os/sim/sim.h"

#include <cstring>
#include <memory>

namespace sim {
namespace {

std::unique_ptr<Machine>& Slot() {
    static std::unique_ptr<Machine> machine = std::make_unique<Machine>();
    return machine;
}

// The clock interrupts fall at true times k * period after the start (a multiple of 1/64 s, as
// Windows keeps them by default). GetTickCount64 shows the last one's time rounded down, which
// gives its 15 and 16 ms steps; on this whole-millisecond clock an interrupt is seen from the
// first millisecond at or after it.
uint64_t InterruptIndexSeenAt(const Machine& m, uint64_t elapsedMs) {
    return elapsedMs * 1000 / m.clockPeriodUs;
}
uint64_t CeilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

}  // namespace

Machine& Current() {
    return *Slot();
}
void Reset() {
    Slot() = std::make_unique<Machine>();
}
void ForgetRecords() {
    Machine& m = Current();
    m.waits.clear();
    m.bus.requests.clear();
    m.bus.opens.clear();
    m.bus.faults.clear();
    m.bus.recordFaults.clear();
    m.input.calls.clear();
    m.input.events.clear();
    m.vjoy.calls.clear();
    m.vjoy.loadAttempts.clear();
}

uint64_t Elapsed() {
    return Current().now - kStartTick;
}

uint64_t MachineTime(uint64_t ms) {
    return ms == kNever ? kNever : kStartTick + ms;
}

const ReadPause* PauseAt(const std::vector<ReadPause>& pauses, uint64_t tick) {
    for (const ReadPause& pause : pauses) {
        if (MachineTime(pause.fromMs) <= tick && tick < MachineTime(pause.untilMs)) return &pause;
    }
    return nullptr;
}

void SetClockMode(ClockMode mode) {
    Current().clockMode = mode;
}

uint64_t TickAt(const Machine& m, uint64_t at) {
    if (m.clockMode == ClockMode::kFine) return at;
    return kStartTick + InterruptIndexSeenAt(m, at - kStartTick) * m.clockPeriodUs / 1000;
}

uint64_t TickNow(const Machine& m) {
    return TickAt(m, m.now);
}

// The system sets a timer's due time from the interrupt time it last saw and checks timers only
// at an interrupt: the wait ends at the first interrupt at or after that due time.
uint64_t TimeoutEnd(const Machine& m, uint32_t milliseconds) {
    if (m.clockMode == ClockMode::kFine) return m.now + milliseconds;
    const uint64_t lastUs = InterruptIndexSeenAt(m, m.now - kStartTick) * m.clockPeriodUs;
    const uint64_t dueUs = lastUs + uint64_t{milliseconds} * 1000;
    const uint64_t endUs = CeilDiv(dueUs, m.clockPeriodUs) * m.clockPeriodUs;
    const uint64_t end = kStartTick + CeilDiv(endUs, 1000);
    return end > m.now ? end : m.now;
}

void Send(uint64_t atMs, std::string_view bytes) {
    HostPipe& pipe = Current().pipe;
    pipe.bytes.append(bytes);
    pipe.deliveries.push_back({atMs, pipe.bytes.size()});
}

void SendLine(uint64_t atMs, std::string_view line) {
    Send(atMs, std::string(line) + "\n");
}

void CloseInput(uint64_t atMs) {
    Current().pipe.closeAt = atMs;
    Current().pipe.closeScheduled = true;
}

void SendConsoleControl(uint64_t atMs, ConsoleEvent event) {
    ConsoleControl& console = Current().console;
    if (event == ConsoleEvent::kLogoff || event == ConsoleEvent::kShutdown) {
        ++console.undelivered;
        return;
    }
    if (console.scheduled && console.at <= atMs) return;  // the first one has already asked
    console.scheduled = true;
    console.at = atMs;
    console.event = event;
}

void EndSession(uint64_t atMs) {
    ConsoleControl& console = Current().console;
    if (console.sessionEnds && console.sessionEndAt <= atMs) return;
    console.sessionEnds = true;
    console.sessionEndAt = atMs;
}

std::optional<uint64_t> StopRequestTime(const Machine& m) {
    const ConsoleControl& console = m.console;
    if (!console.watched) return std::nullopt;
    std::optional<uint64_t> at;
    if (console.scheduled) at = console.at;
    if (console.sessionEnds && !console.windowFails && (!at || console.sessionEndAt < *at))
        at = console.sessionEndAt;
    if (!at) return std::nullopt;
    return kStartTick + *at;
}

void SetEnvironment(std::u16string_view name, std::u16string_view value) {
    Current().environment.emplace_back(std::u16string(name), std::u16string(value));
}

std::vector<std::string> OutputLines() {
    std::vector<std::string> lines;
    const std::string& out = Current().output;
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t end = out.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(out.substr(start));
            break;
        }
        lines.push_back(out.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace sim

// ---- The seam, as the simulated machine answers it ----
namespace os {

using sim::Current;

uint32_t GetLastError() {
    return Current().lastError;
}

bool SetDefaultDllDirectories(uint32_t flags) {
    Current().defaultDllDirectories = flags;
    return true;
}

void PrepareStandardStreams() {
    Current().streamsPrepared = true;
}

uint32_t GetEnvironmentVariableW(const WideChar* name, WideChar* buffer, uint32_t capacity) {
    for (const auto& [key, value] : Current().environment) {
        if (key != name) continue;
        if (value.size() + 1 > capacity) return static_cast<uint32_t>(value.size() + 1);
        std::memcpy(buffer, value.data(), value.size() * sizeof(WideChar));
        buffer[value.size()] = 0;
        return static_cast<uint32_t>(value.size());
    }
    Current().lastError = 203;  // ERROR_ENVVAR_NOT_FOUND
    return 0;
}

}  // namespace os
