// The virtual clock as the bridge reads it, and the one wait on a single object that moves it.
// Only the scripted machine has these: padbridge-sim runs the same models on the real clock, with
// its own adapter in their place.
#include <optional>

#include "os/sim/sim.h"

namespace os {

using sim::Current;

uint64_t GetTickCount64() {
    return sim::TickNow(Current());
}

bool QueryPerformanceCounter(int64_t* count) {
    *count = static_cast<int64_t>(Current().now) * (sim::kPerformanceFrequency / 1000);
    return true;
}

bool QueryPerformanceFrequency(int64_t* frequency) {
    *frequency = sim::kPerformanceFrequency;
    return true;
}

uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) {
    constexpr uint32_t kInvalidHandleError = 6;
    sim::Machine& m = Current();
    sim::SettleBus();
    if (sim::IsStopRequestedEvent(object)) {
        // The loop looks at it between lines; a stop that comes within the wait ends it then.
        const std::optional<uint64_t> at = sim::StopRequestTime(m);
        const uint64_t timeoutEnd = sim::TimeoutEnd(m, milliseconds);
        if (at && *at <= m.now) return kWaitObject0;
        if (at && *at <= timeoutEnd) {
            m.now = *at;
            sim::SettleBus();
            return kWaitObject0;
        }
        m.now = timeoutEnd;
        sim::SettleBus();
        return kWaitTimeout;
    }
    auto it = m.bus.events.find(object);
    if (it == m.bus.events.end()) {
        m.bus.faults.push_back("wait on an event that is not open");
        m.lastError = kInvalidHandleError;
        return kWaitFailed;
    }
    if (it->second) return kWaitObject0;
    const uint64_t timeoutEnd = sim::TimeoutEnd(m, milliseconds);
    uint64_t first = timeoutEnd + 1;
    for (const sim::InFlight& io : m.bus.inFlight) {
        if (io.event == object && !io.done && !io.never && io.completeAt < first)
            first = io.completeAt;
    }
    if (first <= timeoutEnd) {
        m.now = first;
        sim::SettleBus();
        return kWaitObject0;
    }
    m.now = timeoutEnd;
    sim::SettleBus();
    return kWaitTimeout;
}

}  // namespace os
