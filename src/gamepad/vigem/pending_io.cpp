#include "gamepad/vigem/pending_io.h"

#include "deadline.h"

namespace padbridge {
namespace {

// Asks the driver to give the request up, without waiting for it to do so.
void Cancel(os::Handle bus, PendingIo& io) {
    os::CancelIoEx(bus, &io.overlapped);
    io.active = false;
    io.pending = false;
    io.cancelled = true;
}

}  // namespace

bool CollectCancelled(os::Handle bus, PendingIo& io) {
    if (!io.cancelled) return true;
    uint32_t bytes = 0;
    if (!os::GetOverlappedResult(bus, &io.overlapped, &bytes, false) &&
        os::GetLastError() == os::kErrorIoIncomplete) {
        return false;
    }
    io.cancelled = false;
    return true;
}

void StartPendingIo(os::Handle bus, PendingIo& io, uint32_t code, const void* input,
                    uint32_t inputLength, void* output, uint32_t outputLength) {
    io.overlapped.internal = 0;
    io.overlapped.internalHigh = 0;
    io.overlapped.offset = 0;
    io.overlapped.offsetHigh = 0;
    os::ResetEvent(io.overlapped.event);
    io.active = true;
    io.startTick = os::GetTickCount64();
    io.bytesReturned = 0;
    const bool done = os::DeviceIoControl(bus, code, input, inputLength, output, outputLength,
                                          &io.bytesReturned, &io.overlapped);
    io.lastError = done ? os::kErrorSuccess : os::GetLastError();
    io.pending = io.lastError == os::kErrorIoPending;
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
    io.active = false;
    io.pending = false;
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

}  // namespace padbridge
