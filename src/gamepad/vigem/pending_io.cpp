#include "gamepad/vigem/pending_io.h"

#include "deadline.h"
#include "gamepad/dualshock4_report.h"
#include "gamepad/vigem/driver_interface.h"

namespace padbridge {
namespace {

uint32_t GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

uint16_t GetU16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | in[1] << 8);
}

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

// A stick as the pad shows it: -1..1 from the report's integer, whose two ends reach -1 and 1.
double StickFraction(int value, int negativeEnd, int positiveEnd) {
    return value < 0 ? static_cast<double>(value) / -negativeEnd
                     : static_cast<double>(value) / positiveEnd;
}

// Standard-gamepad buttons 0..17 behind the Xbox 360 report's bits 0..15.
constexpr int kXbox360Buttons[16] = {12, 13, 14, 15, 9, 8, 10, 11, 4, 5, 16, -1, 0, 1, 2, 3};

// The Xbox 360 report of a SubmitReport record as the pad now shows it.
TracedPad Xbox360Pad(const uint8_t* record) {
    const uint8_t* report = record + 8;
    TracedPad pad{"xbox360", 0, {}, {}};
    const uint16_t bits = GetU16(report);
    for (int bit = 0; bit < 16; ++bit) {
        if ((bits >> bit & 1) != 0 && kXbox360Buttons[bit] >= 0)
            pad.buttons |= 1U << kXbox360Buttons[bit];
    }
    pad.triggers[0] = report[2] / 255.0;
    pad.triggers[1] = report[3] / 255.0;
    for (int axis = 0; axis < 4; ++axis) {  // the pad's vertical axes point up
        const double value =
            StickFraction(static_cast<int16_t>(GetU16(report + 4 + 2 * axis)), -32768, 32767);
        pad.axes[axis] = axis % 2 == 1 ? -value : value;
    }
    return pad;
}

// Standard-gamepad buttons behind the DualShock 4 report's bits 4..15 (hat in 0..3): square,
// cross, circle, triangle, L1, R1, L2, R2, share, options, L3, R3. The triggers' own bits are
// left to the triggers.
constexpr int kDs4Buttons[12] = {2, 0, 1, 3, 4, 5, -1, -1, 8, 9, 10, 11};
// The d-pad buttons (up 12, down 13, left 14, right 15) of each hat direction, clockwise from up.
constexpr uint32_t kDs4Hat[8] = {1U << 12, 1U << 12 | 1U << 15, 1U << 15, 1U << 13 | 1U << 15,
                                 1U << 13, 1U << 13 | 1U << 14, 1U << 14, 1U << 12 | 1U << 14};

// The DualShock 4 report of a report record (full or short: both begin the same).
TracedPad DualShock4Pad(const uint8_t* record) {
    const uint8_t* report = record + 8;
    TracedPad pad{"dualshock4", 0, {}, {}};
    const uint16_t bits = GetU16(report + 4);
    if ((bits & 0xF) < 8) pad.buttons |= kDs4Hat[bits & 0xF];
    for (int bit = 4; bit < 16; ++bit) {
        if ((bits >> bit & 1) != 0 && kDs4Buttons[bit - 4] >= 0)
            pad.buttons |= 1U << kDs4Buttons[bit - 4];
    }
    if ((report[6] & 1) != 0) pad.buttons |= 1U << kCentreButton;
    if ((report[6] & 2) != 0) pad.buttons |= 1U << kTouchpadButton;
    for (int axis = 0; axis < 4; ++axis)
        pad.axes[axis] = StickFraction(report[axis] - 128, -128, 127);
    pad.triggers[0] = report[7] / 255.0;
    pad.triggers[1] = report[8] / 255.0;
    return pad;
}

// The request's record in the trace, and for a report the driver took, the pad it now shows.
void TraceCompletion(const PendingIo& io, uint32_t result) {
    TraceRequest(RequestName(io.code), io.code, io.player, io.serial, result);
    if (result != os::kErrorSuccess || io.player == kNoTracedPlayer || io.inputLength < 17) return;
    if (io.code == vigem::kSubmitReport) WritePadRecord(io.player, Xbox360Pad(io.input));
    if (io.code == ds4::kSubmitReport) WritePadRecord(io.player, DualShock4Pad(io.input));
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
    io.serial = io.player != kNoTracedPlayer && inputLength >= 8 ? GetU32(io.input + 4) : 0;
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
