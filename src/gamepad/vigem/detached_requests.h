// Requests that may outlive their issuer: the probe's version check and the two requests of a pad
// teardown.
//
// Their issuers cannot wait for the driver to let go of a cancelled request, so the records live
// in this table rather than with them: a record whose cancellation has not finished is detached
// from its issuer and left behind while the loop goes on. The loop collects such records (their
// events are in its wait) and only then closes their events and reuses them. A device handle
// whose requests are still held is closed when the last of them is collected.
#pragma once

#include <cstdint>

#include "deadline.h"
#include "gamepad/vigem/pending_io.h"
#include "os/os.h"

namespace padbridge {

inline constexpr int kDetachedRequestCount = 20;
inline constexpr uint32_t kDetachedRecordBytes = 72;  // the longest: a DualShock 4's full report
// What a request gets when every record of the table is held by the driver: the error for an
// event that cannot be created (ERROR_NO_SYSTEM_RESOURCES), since it needs a record and an event.
inline constexpr uint32_t kErrorNoDetachedRequest = 1450;
// A detached request waits this long for its answer.
inline constexpr uint64_t kDetachedRequestTimeoutMs = 1000;
// The index of no request of the table.
inline constexpr int kNoDetachedRequest = -1;

struct DetachedRequest {
    PendingIo io;
    uint8_t record[kDetachedRecordBytes];
    os::Handle device;       // the handle the request went to
    os::Handle closeDevice;  // close this device handle once the request is collected
    bool inUse;              // taken by an issuer, or left behind with its cancellation running
    bool abandoned;          // left behind: the table collects it
};

struct DetachedRequests {
    DetachedRequest entries[kDetachedRequestCount];
};

// Issues one request without output from a free record of the table and returns the record's
// index, or kNoDetachedRequest with *result set when no record or event is available (nothing is
// sent then). `player`: the pad it serves, for the trace.
int StartDetachedRequest(DetachedRequests& table, os::Handle device, uint32_t code,
                         const void* record, uint32_t length, uint32_t* result,
                         int player = kNoTracedPlayer);

// Polls the request of `index` with the detached request time-out. True once its result is known
// (in *result); the record then goes back to the table, or is left behind while its cancellation
// runs.
bool PollDetachedRequest(DetachedRequests& table, int index, uint32_t* result);

// Gives up on the request of `index` at once: cancelled, left behind, collected later.
void AbandonDetachedRequest(DetachedRequests& table, int index);

// Collects every left-behind record whose cancellation has finished.
void CollectDetachedRequests(DetachedRequests& table);

// True while any record of the table is held by the driver.
bool DetachedRequestsHeld(const DetachedRequests& table);

// Adds the events of every held record to `events` and returns how many.
int AddDetachedRequestEvents(const DetachedRequests& table, os::Handle* events);

// The deadline of the request of `index`: its time-out, or right away once it has an answer.
uint64_t NextDetachedRequestDeadline(const DetachedRequests& table, int index);

// Closes a device handle now, or, while a record of the table still holds a request on it, once
// the last of them is collected.
void CloseDeviceWhenIdle(DetachedRequests& table, os::Handle device);

}  // namespace padbridge
