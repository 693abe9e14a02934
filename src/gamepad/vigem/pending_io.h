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

// PollPendingIo with this time-out never gives up on a request.
inline constexpr uint64_t kNoTimeout = ~uint64_t{0};

// Issues one request on `io` (whose event must exist). The outcome lands in the record.
void StartPendingIo(os::Handle bus, PendingIo& io, uint32_t code, const void* input,
                    uint32_t inputLength, void* output, uint32_t outputLength);

// True once the request's result is in `lastError`; false while it runs or when nothing is active.
// A request still running `timeoutMs` after its issue is cancelled, awaited and given 1460.
bool PollPendingIo(os::Handle bus, PendingIo& io, uint64_t timeoutMs);

// The event that signals the request's completion while the driver holds it; else kNullHandle.
os::Handle PendingIoEvent(const PendingIo& io);

// When PollPendingIo must next look at the request: right away for a result already in, the
// time-out for one the driver holds (never, with kNoTimeout), never when nothing is active.
uint64_t NextPendingIoDeadline(const PendingIo& io, uint64_t timeoutMs);

// Cancels and awaits whatever is in flight, closes the event and zeroes the record.
void ReleasePendingIo(os::Handle bus, PendingIo& io);

// Sends one request without output and waits about a second at most; returns its Win32 result.
uint32_t SendSyncRequest(os::Handle bus, uint32_t code, const void* record, uint32_t length);

}  // namespace padbridge
