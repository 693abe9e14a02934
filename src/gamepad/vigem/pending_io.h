// One overlapped request to the bus driver, polled from the main loop.
//
// Nothing here waits without a bound. A request that outlives its time-out is cancelled, and
// when the driver does not finish the cancellation at once the record is left `cancelled`: its
// OVERLAPPED, event and buffers stay out of use (the driver may still write them) until the
// loop, woken by its event, collects it.
#pragma once

#include <cstdint>

#include "os/os.h"
#include "trace/trace.h"

namespace padbridge {

struct PendingIo {
    os::Overlapped overlapped;  // its event belongs to this record
    bool active;                // issued and its result not yet collected
    bool pending;               // DeviceIoControl answered ERROR_IO_PENDING
    uint32_t lastError;
    uint32_t bytesReturned;
    uint64_t startTick;
    bool cancelled;  // cancelled, and the driver has not let go of the record yet
    // For the trace: the pad the request serves (kNoTracedPlayer for none, set by its owner), and
    // what the last issue sent.
    int8_t player = kNoTracedPlayer;
    uint32_t code;
    uint32_t serial;
    const uint8_t* input;
    uint32_t inputLength;
};

// PollPendingIo with this time-out never gives up on a request.
inline constexpr uint64_t kNoTimeout = ~uint64_t{0};

// Issues one request on `io` (whose event must exist and which the driver must not hold). The
// outcome lands in the record.
void StartPendingIo(os::Handle bus, PendingIo& io, uint32_t code, const void* input,
                    uint32_t inputLength, void* output, uint32_t outputLength);

// True once the request's result is in `lastError`; false while it runs or when nothing is active.
// A request still running `timeoutMs` after its issue is cancelled and given 1460 without waiting
// for the cancellation; if the driver has not finished it yet, the record stays `cancelled`.
bool PollPendingIo(os::Handle bus, PendingIo& io, uint64_t timeoutMs);

// True while the driver may still write the record or its buffers.
bool PendingIoHeld(const PendingIo& io);

// The event that signals the request's completion while the driver holds it; else kNullHandle.
os::Handle PendingIoEvent(const PendingIo& io);

// When PollPendingIo must next look at the request: right away for a result already in, the
// time-out for one the driver holds (never, with kNoTimeout), never when nothing is active.
uint64_t NextPendingIoDeadline(const PendingIo& io, uint64_t timeoutMs);

// Cancels whatever is in flight without waiting. Once the driver has let go, closes the event,
// zeroes the record and returns true; until then returns false, leaves the record `cancelled`
// with its event, and is called again when that event is signalled.
bool ReleasePendingIo(os::Handle bus, PendingIo& io);

// True once the driver has let go of a cancelled request (or there was none); the record may then
// be reused or its event closed.
bool CollectCancelled(os::Handle bus, PendingIo& io);

}  // namespace padbridge
