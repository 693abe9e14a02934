#include "gamepad/vigem/pending_io.h"

#include "deadline.h"
#include "gamepad/dualshock4_report.h"
#include "gamepad/vigem/driver_interface.h"

namespace padbridge {
namespace {

const char* RequestName(uint32_t code) {
    switch (code) {
        case vigem::kCheckVersion:
            return "CheckVersion";
        case vigem::kPlugIn:
            return "PlugIn";
        case vigem::kWaitReady:
            return "WaitReady";
        case vigem::kSubmitReport:
            return "SubmitReport";
        case vigem::kUnplug:
            return "Unplug";
        case vigem::kAwaitRumble:
            return "AwaitRumble";
        case ds4::kSubmitReport:
            return "SubmitDs4Report";
        case ds4::kAwaitFeedback:
            return "AwaitDs4Feedback";
        default:
            return "Unknown";
    }
}

// The request's record in the trace, and for a report the driver took, the pad it now shows.
void TraceCompletion(const PendingIo& io, uint32_t result) {
    TraceRequest(RequestName(io.code), io.code, io.player, io.serial, result);
    if (result != os::kErrorSuccess || io.player == kNoTracedPlayer || io.inputLength < 17) return;
    if (io.code == vigem::kSubmitReport)
        WritePadRecord(io.player, ShownPad(vigem::DecodeReport(io.input)));
    if (io.code == ds4::kSubmitReport) WritePadRecord(io.player, ShownDs4Pad(io.input + 8));
}

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
    io.code = code;
    io.input = static_cast<const uint8_t*>(input);
    io.inputLength = inputLength;
    io.serial =
        io.player != kNoTracedPlayer && inputLength >= 8 ? vigem::DecodeSerial(io.input) : 0;
    const bool done = os::DeviceIoControl(bus, code, input, inputLength, output, outputLength,
                                          &io.bytesReturned, &io.overlapped);
    io.lastError = done ? os::kErrorSuccess : os::GetLastError();
    io.pending = io.lastError == os::kErrorIoPending;
    if (!io.pending && Tracing()) TraceCompletion(io, io.lastError);
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
                if (Tracing()) TraceCompletion(io, io.lastError);
                return true;
            }
            io.lastError = error;
        }
        if (Tracing()) TraceCompletion(io, io.lastError);
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
    if (io.active && io.pending) {
        Cancel(bus, io);
        if (Tracing()) TraceCompletion(io, os::kErrorOperationAborted);
    }
    if (!CollectCancelled(bus, io)) return false;
    if (io.overlapped.event != os::kNullHandle) os::CloseHandle(io.overlapped.event);
    io = PendingIo{};
    return true;
}

}  // namespace padbridge
