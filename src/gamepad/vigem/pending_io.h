// One overlapped request to the bus driver, polled from the main loop.
//
// Nothing here waits without a bound. A request that outlives its time-out is cancelled, and
// when the driver does not finish the cancellation at once the record is left `cancelled`: its
// OVERLAPPED, event and buffers stay out of use (the driver may still write them) until the
// loop, woken by its event, collects it.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace padbridge {

struct Bridge;

struct PendingIo {
    os::Overlapped overlapped;  // its event belongs to this record
    uint32_t active;            // issued and its result not yet collected
    uint32_t pending;           // DeviceIoControl answered ERROR_IO_PENDING
    uint32_t lastError;
    uint32_t bytesReturned;
    uint64_t startTick;
    uint32_t cancelled;  // cancelled, and the driver has not let go of the record yet
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

// ---- Requests that outlive their issuer ----
//
// The probe's version check and the two requests of a pad teardown use records of this table,
// owned by the bridge state, so that a record whose cancellation has not finished can be left
// behind while the loop goes on. The loop collects such records (their events are in its wait)
// and only then closes their events and reuses them. A device handle whose requests are still
// held is closed when the last of them is collected.

inline constexpr int kSpareRequestCount = 20;
inline constexpr uint32_t kSpareRecordBytes = 72;  // the longest: a DualShock 4's full report
// What a request gets when every record of the table is held by the driver: the error for an
// event that cannot be created (ERROR_NO_SYSTEM_RESOURCES), since it needs a record and an event.
inline constexpr uint32_t kErrorNoSpareRequest = 1450;
// A spare request waits this long for its answer.
inline constexpr uint64_t kSpareRequestTimeoutMs = 1000;

struct SpareRequest {
    PendingIo io;
    uint8_t record[kSpareRecordBytes];
    os::Handle device;       // the handle the request went to
    os::Handle closeDevice;  // close this device handle once the request is collected
    uint32_t inUse;          // taken by an issuer, or left behind with its cancellation running
    uint32_t abandoned;      // left behind: the table collects it
};

struct SpareRequests {
    SpareRequest entries[kSpareRequestCount];
};

// Issues one request without output from a free record of the table and returns the record's
// index, or -1 with *result set when no record or event is available (nothing is sent then).
int StartSpareRequest(SpareRequests& table, os::Handle device, uint32_t code, const void* record,
                      uint32_t length, uint32_t* result);

// Polls the request of `index` with the spare request time-out. True once its result is known
// (in *result); the record then goes back to the table, or is left behind while its cancellation
// runs.
bool PollSpareRequest(SpareRequests& table, int index, uint32_t* result);

// Gives up on the request of `index` at once: cancelled, left behind, collected later.
void AbandonSpareRequest(SpareRequests& table, int index);

// Collects every left-behind record whose cancellation has finished.
void CollectSpareRequests(SpareRequests& table);

// True while any record of the table is held by the driver.
bool SpareRequestsHeld(const SpareRequests& table);

// Adds the events of every held record to `events` and returns how many.
int AddSpareRequestEvents(const SpareRequests& table, os::Handle* events);

// The deadline of the request of `index`: its time-out, or right away once it has an answer.
uint64_t NextSpareRequestDeadline(const SpareRequests& table, int index);

// Closes a device handle now, or, while a record of the table still holds a request on it, once
// the last of them is collected.
void CloseDeviceWhenIdle(SpareRequests& table, os::Handle device);

// Sends one request without output and waits for it about a second at most; returns its Win32
// result. The heartbeat watchdog keeps its time meanwhile. A request still running then is
// cancelled and left behind, not awaited.
uint32_t SendSyncRequest(Bridge& bridge, os::Handle device, uint32_t code, const void* record,
                         uint32_t length);

}  // namespace padbridge
