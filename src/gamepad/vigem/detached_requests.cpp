#include "gamepad/vigem/detached_requests.h"

#include "deadline.h"

namespace padbridge {
namespace {

bool DeviceStillUsed(const DetachedRequests& table, os::Handle device) {
    for (const DetachedRequest& entry : table.entries) {
        if (entry.inUse && entry.device == device && PendingIoHeld(entry.io)) return true;
    }
    return false;
}

// Hands a record the driver no longer holds back to the table.
void FreeDetached(DetachedRequests& table, int index) {
    DetachedRequest& entry = table.entries[index];
    if (entry.io.overlapped.event != os::kNullHandle) os::CloseHandle(entry.io.overlapped.event);
    const os::Handle closeDevice = entry.closeDevice;
    entry = DetachedRequest{};
    if (closeDevice != os::kNullHandle && !DeviceStillUsed(table, closeDevice))
        os::CloseHandle(closeDevice);
}

}  // namespace

int StartDetachedRequest(DetachedRequests& table, os::Handle device, uint32_t code,
                         const void* record, uint32_t length, uint32_t* result, int player) {
    int index = 0;
    while (index < kDetachedRequestCount && table.entries[index].inUse) ++index;
    if (index == kDetachedRequestCount || length > kDetachedRecordBytes) {
        *result = kErrorNoDetachedRequest;
        return kNoDetachedRequest;
    }
    DetachedRequest& entry = table.entries[index];
    entry.io.overlapped.event = os::CreateManualResetEvent();
    if (entry.io.overlapped.event == os::kNullHandle) {
        *result = os::GetLastError();
        return kNoDetachedRequest;
    }
    entry.inUse = true;
    entry.device = device;
    entry.io.player = static_cast<int8_t>(player);
    const auto* bytes = static_cast<const uint8_t*>(record);
    for (uint32_t i = 0; i < length; ++i) entry.record[i] = bytes[i];
    StartPendingIo(device, entry.io, code, entry.record, length, nullptr, 0);
    return index;
}

bool PollDetachedRequest(DetachedRequests& table, int index, uint32_t* result) {
    DetachedRequest& entry = table.entries[index];
    if (!PollPendingIo(entry.device, entry.io, kDetachedRequestTimeoutMs)) return false;
    *result = entry.io.lastError;
    if (entry.io.cancelled) {
        entry.abandoned = true;
    } else {
        FreeDetached(table, index);
    }
    return true;
}

void AbandonDetachedRequest(DetachedRequests& table, int index) {
    DetachedRequest& entry = table.entries[index];
    if (ReleasePendingIo(entry.device, entry.io)) {
        FreeDetached(table, index);
    } else {
        entry.abandoned = true;
    }
}

void CollectDetachedRequests(DetachedRequests& table) {
    for (int i = 0; i < kDetachedRequestCount; ++i) {
        DetachedRequest& entry = table.entries[i];
        if (entry.inUse && entry.abandoned && CollectCancelled(entry.device, entry.io))
            FreeDetached(table, i);
    }
}

bool DetachedRequestsHeld(const DetachedRequests& table) {
    for (const DetachedRequest& entry : table.entries) {
        if (entry.inUse && PendingIoHeld(entry.io)) return true;
    }
    return false;
}

int AddDetachedRequestEvents(const DetachedRequests& table, os::Handle* events) {
    int count = 0;
    for (const DetachedRequest& entry : table.entries) {
        const os::Handle event = entry.inUse ? PendingIoEvent(entry.io) : os::kNullHandle;
        if (event != os::kNullHandle) events[count++] = event;
    }
    return count;
}

uint64_t NextDetachedRequestDeadline(const DetachedRequests& table, int index) {
    return NextPendingIoDeadline(table.entries[index].io, kDetachedRequestTimeoutMs);
}

void CloseDeviceWhenIdle(DetachedRequests& table, os::Handle device) {
    if (!DeviceStillUsed(table, device)) {
        os::CloseHandle(device);
        return;
    }
    for (DetachedRequest& entry : table.entries) {
        if (entry.inUse && entry.device == device && PendingIoHeld(entry.io))
            entry.closeDevice = device;
    }
}

}  // namespace padbridge
