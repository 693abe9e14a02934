#include "gamepad/vigem/pending_io.h"

#include "deadline.h"

namespace padbridge {
namespace {

constexpr uint32_t kSyncWaitMs = 1000;

// The driver may write the record and its buffers until the cancelled request has finished, so
// wait for it before anything is reused or zeroed.
void CancelAndAwait(os::Handle bus, PendingIo& io) {
    os::CancelIoEx(bus, &io.overlapped);
    uint32_t bytes = 0;
    os::GetOverlappedResult(bus, &io.overlapped, &bytes, true);
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
                CancelAndAwait(bus, io);
                io.active = 0;
                io.pending = 0;
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

os::Handle PendingIoEvent(const PendingIo& io) {
    return io.active && io.pending ? io.overlapped.event : os::kNullHandle;
}

uint64_t NextPendingIoDeadline(const PendingIo& io, uint64_t timeoutMs) {
    if (!io.active) return kNoDeadline;
    if (!io.pending) return kRightAway;
    if (timeoutMs == kNoTimeout) return kNoDeadline;
    return io.startTick + timeoutMs;  // PollPendingIo gives up once this much has passed
}

void ReleasePendingIo(os::Handle bus, PendingIo& io) {
    if (io.active && io.pending) CancelAndAwait(bus, io);
    if (io.overlapped.event != os::kNullHandle) os::CloseHandle(io.overlapped.event);
    io = PendingIo{};
}

uint32_t SendSyncRequest(os::Handle bus, uint32_t code, const void* record, uint32_t length) {
    PendingIo io{};
    io.overlapped.event = os::CreateManualResetEvent();
    if (io.overlapped.event == os::kNullHandle) return os::GetLastError();
    StartPendingIo(bus, io, code, record, length, nullptr, 0);
    if (io.pending) os::WaitForSingleObject(io.overlapped.event, kSyncWaitMs);
    PollPendingIo(bus, io, kSyncWaitMs);
    // The wait ended before the clock showed the full time-out: give up on the request all the
    // same, and leave its result at 997.
    if (io.active && io.pending) CancelAndAwait(bus, io);
    os::CloseHandle(io.overlapped.event);
    return io.lastError;
}

}  // namespace padbridge
