#include "gamepad/vigem/pending_io.h"

#include "bridge.h"
#include "deadline.h"

namespace padbridge {
namespace {

// Asks the driver to give the request up, without waiting for it to do so.
void Cancel(os::Handle bus, PendingIo& io) {
    os::CancelIoEx(bus, &io.overlapped);
    io.active = 0;
    io.pending = 0;
    io.cancelled = 1;
}

// True once the driver has let go of a cancelled request (or there was none).
bool CollectCancelled(os::Handle bus, PendingIo& io) {
    if (!io.cancelled) return true;
    uint32_t bytes = 0;
    if (!os::GetOverlappedResult(bus, &io.overlapped, &bytes, false) &&
        os::GetLastError() == os::kErrorIoIncomplete) {
        return false;
    }
    io.cancelled = 0;
    return true;
}

bool DeviceStillUsed(const SpareRequests& table, os::Handle device) {
    for (const SpareRequest& entry : table.entries) {
        if (entry.inUse && entry.device == device && PendingIoHeld(entry.io)) return true;
    }
    return false;
}

// Hands a record the driver no longer holds back to the table.
void FreeSpare(SpareRequests& table, int index) {
    SpareRequest& entry = table.entries[index];
    if (entry.io.overlapped.event != os::kNullHandle) os::CloseHandle(entry.io.overlapped.event);
    const os::Handle closeDevice = entry.closeDevice;
    entry = SpareRequest{};
    if (closeDevice != os::kNullHandle && !DeviceStillUsed(table, closeDevice))
        os::CloseHandle(closeDevice);
}

}  // namespace

void StartPendingIo(os::Handle bus, PendingIo& io, uint32_t code, const void* input,
                    uint32_t inputLength, void* output, uint32_t outputLength) {
    io.overlapped.internal = 0;
    io.overlapped.internalHigh = 0;
    io.overlapped.offset = 0;
    io.overlapped.offsetHigh = 0;
    os::ResetEvent(io.overlapped.event);
    io.active = 1;
    io.startTick = os::GetTickCount64();
    io.bytesReturned = 0;
    const bool done = os::DeviceIoControl(bus, code, input, inputLength, output, outputLength,
                                          &io.bytesReturned, &io.overlapped);
    io.lastError = done ? os::kErrorSuccess : os::GetLastError();
    io.pending = io.lastError == os::kErrorIoPending ? 1 : 0;
}

bool PollPendingIo(os::Handle bus, PendingIo& io, uint64_t timeoutMs) {
    if (!io.active) return false;
    if (io.pending) {
        if (os::GetOverlappedResult(bus, &io.overlapped, &io.bytesReturned, false)) {
            io.lastError = os::kErrorSuccess;
        } else {
            const uint32_t error = os::GetLastError();
            if (error == os::kErrorIoIncomplete) {
                if (os::GetTickCount64() - io.startTick < timeoutMs) return false;
                // A driver that does not finish the cancellation must not hold the loop: the
                // record stays out of use until it does.
                Cancel(bus, io);
                CollectCancelled(bus, io);
                io.lastError = os::kErrorTimeout;
                return true;
            }
            io.lastError = error;
        }
    }
    // A request that completed at issue keeps the result recorded then.
    io.active = 0;
    io.pending = 0;
    return true;
}

bool PendingIoHeld(const PendingIo& io) {
    return (io.active && io.pending) || io.cancelled;
}

os::Handle PendingIoEvent(const PendingIo& io) {
    return PendingIoHeld(io) ? io.overlapped.event : os::kNullHandle;
}

uint64_t NextPendingIoDeadline(const PendingIo& io, uint64_t timeoutMs) {
    if (!io.active) return kNoDeadline;
    if (!io.pending) return kRightAway;
    if (timeoutMs == kNoTimeout) return kNoDeadline;
    return io.startTick + timeoutMs;  // PollPendingIo gives up once this much has passed
}

bool ReleasePendingIo(os::Handle bus, PendingIo& io) {
    if (io.active && io.pending) Cancel(bus, io);
    if (!CollectCancelled(bus, io)) return false;
    if (io.overlapped.event != os::kNullHandle) os::CloseHandle(io.overlapped.event);
    io = PendingIo{};
    return true;
}

int StartSpareRequest(SpareRequests& table, os::Handle device, uint32_t code, const void* record,
                      uint32_t length, uint32_t* result) {
    int index = 0;
    while (index < kSpareRequestCount && table.entries[index].inUse) ++index;
    if (index == kSpareRequestCount || length > kSpareRecordBytes) {
        *result = kErrorNoSpareRequest;
        return -1;
    }
    SpareRequest& entry = table.entries[index];
    entry.io.overlapped.event = os::CreateManualResetEvent();
    if (entry.io.overlapped.event == os::kNullHandle) {
        *result = os::GetLastError();
        return -1;
    }
    entry.inUse = 1;
    entry.device = device;
    const auto* bytes = static_cast<const uint8_t*>(record);
    for (uint32_t i = 0; i < length; ++i) entry.record[i] = bytes[i];
    StartPendingIo(device, entry.io, code, entry.record, length, nullptr, 0);
    return index;
}

bool PollSpareRequest(SpareRequests& table, int index, uint32_t* result) {
    SpareRequest& entry = table.entries[index];
    if (!PollPendingIo(entry.device, entry.io, kSpareRequestTimeoutMs)) return false;
    *result = entry.io.lastError;
    if (entry.io.cancelled) {
        entry.abandoned = 1;
    } else {
        FreeSpare(table, index);
    }
    return true;
}

void AbandonSpareRequest(SpareRequests& table, int index) {
    SpareRequest& entry = table.entries[index];
    if (ReleasePendingIo(entry.device, entry.io)) {
        FreeSpare(table, index);
    } else {
        entry.abandoned = 1;
    }
}

void CollectSpareRequests(SpareRequests& table) {
    for (int i = 0; i < kSpareRequestCount; ++i) {
        SpareRequest& entry = table.entries[i];
        if (entry.inUse && entry.abandoned && CollectCancelled(entry.device, entry.io))
            FreeSpare(table, i);
    }
}

bool SpareRequestsHeld(const SpareRequests& table) {
    for (const SpareRequest& entry : table.entries) {
        if (entry.inUse && PendingIoHeld(entry.io)) return true;
    }
    return false;
}

int AddSpareRequestEvents(const SpareRequests& table, os::Handle* events) {
    int count = 0;
    for (const SpareRequest& entry : table.entries) {
        const os::Handle event = entry.inUse ? PendingIoEvent(entry.io) : os::kNullHandle;
        if (event != os::kNullHandle) events[count++] = event;
    }
    return count;
}

uint64_t NextSpareRequestDeadline(const SpareRequests& table, int index) {
    return NextPendingIoDeadline(table.entries[index].io, kSpareRequestTimeoutMs);
}

void CloseDeviceWhenIdle(SpareRequests& table, os::Handle device) {
    if (!DeviceStillUsed(table, device)) {
        os::CloseHandle(device);
        return;
    }
    for (SpareRequest& entry : table.entries) {
        if (entry.inUse && entry.device == device && PendingIoHeld(entry.io))
            entry.closeDevice = device;
    }
}

uint32_t SendSyncRequest(Bridge& bridge, os::Handle device, uint32_t code, const void* record,
                         uint32_t length) {
    SpareRequests& table = bridge.spareRequests;
    uint32_t result = 0;
    const int index = StartSpareRequest(table, device, code, record, length, &result);
    if (index < 0) return result;
    const PendingIo& io = table.entries[index].io;
    if (io.pending) {
        // Wait for the answer, but wake for the heartbeat watchdog: a key must go up on time
        // even while the driver keeps the loop here.
        const uint64_t giveUpAt = io.startTick + kSpareRequestTimeoutMs;
        for (;;) {
            const uint64_t now = os::GetTickCount64();
            if (now >= giveUpAt) break;
            const uint64_t wakeAt = EarlierOf(giveUpAt, NextHeartbeatDeadline(bridge.system));
            const uint32_t waitMs = wakeAt > now ? static_cast<uint32_t>(wakeAt - now) : 0;
            if (os::WaitForSingleObject(io.overlapped.event, waitMs) != os::kWaitTimeout) break;
            RunHeartbeatWatchdog(bridge.system, os::GetTickCount64());
        }
    }
    if (PollSpareRequest(table, index, &result)) return result;
    // The wait ended before the clock showed the full time-out: give up on the request all the
    // same, and leave its result at 997.
    AbandonSpareRequest(table, index);
    return os::kErrorIoPending;
}

}  // namespace padbridge
