// One overlapped request to the bus driver, polled from the main loop.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace padbridge {

struct PendingIo {
    os::Overlapped overlapped;  // its event belongs to this record
    uint32_t active;            // issued and its result not yet collected
    uint32_t pending;           // DeviceIoControl answered ERROR_IO_PENDING
    uint32_t lastError;
    uint32_t bytesReturned;
    uint64_t startTick;
};

}  // namespace padbridge
