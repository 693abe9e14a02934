// Shared by the ViGEmBus tests: a bus that is installed, the requests it recorded, and the checks
// every scenario ends with.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "os/sim/sim.h"
#include "session.h"

namespace padbridge::test {

// One interface that opens and answers every request at once with success, AwaitRumble aside,
// which the driver holds until the motors change.
inline void InstallBus() {
    sim::Current().bus.interfaces = {sim::DeviceInterface{}};
}

// A successful AwaitRumble that the driver completes inside DeviceIoControl.
inline sim::Answer RumbleAtOnce(uint8_t low, uint8_t high) {
    sim::Answer answer = sim::Rumble(low, high);
    answer.kind = sim::Answer::Kind::kAtOnce;
    return answer;
}

inline uint32_t U32At(const std::vector<uint8_t>& bytes, std::size_t offset) {
    return static_cast<uint32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                 bytes[offset + 3] << 24);
}

// The serial numbers carried by the recorded requests of one kind, in order.
inline std::vector<uint32_t> SerialsOf(uint32_t code) {
    std::vector<uint32_t> serials;
    for (const sim::Request& r : sim::Current().bus.RequestsOf(code))
        serials.push_back(U32At(r.input, 4));
    return serials;
}

// After a whole session: everything given back, and nothing done that Windows would punish.
inline void ExpectBusClean() {
    const sim::Bus& bus = sim::Current().bus;
    EXPECT_EQ(bus.OpenHandles(), 0u);
    EXPECT_EQ(bus.openDeviceInfoLists, 0u);
    EXPECT_TRUE(bus.inFlight.empty());
    EXPECT_EQ(bus.faults, std::vector<std::string>{});
}

// Every record the bridge sent had the shape and fixed bytes the driver takes, for the target
// its serial was plugged in as.
inline void ExpectRecordsValid() {
    EXPECT_EQ(sim::Current().bus.recordFaults, std::vector<std::string>{});
}

}  // namespace padbridge::test
