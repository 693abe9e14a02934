// The simulated bus driver: device interfaces, handles, events and overlapped requests.
#pragma once

#include <cstdint>

namespace sim {

struct Bus {
    uint32_t openHandles = 0;  // device handles and events not yet closed
    uint32_t openEvents = 0;
    uint32_t openDeviceInfoLists = 0;
};

}  // namespace sim
