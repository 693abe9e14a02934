#include "gamepad/vigem/rumble.h"

#include "gamepad/vigem/bus.h"
#include "gamepad/vigem/driver_interface.h"
#include "gamepad/vigem/dualshock4_pad.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

constexpr int kMaxCompletionsPerTick = 16;
constexpr uint64_t kRumbleRetryMs = 1000;

void FailRumble(BusPads& bus, OutputQueue& out, int player, uint32_t result) {
    PadSlot& slot = bus.pads[player];
    // The host must not keep a motor running that we can no longer report on.
    if (slot.lastLow != 0 || slot.lastHigh != 0) {
        slot.lastLow = 0;
        slot.lastHigh = 0;
        WriteRumble(out, player, 0, 0);
    }
    WritePlayerError(out, player, kGamepadRumbleUnavailable, result);
    slot.rumbleRetryTick = os::GetTickCount64() + kRumbleRetryMs;
}

}  // namespace

void StartRumbleWait(BusPads& bus, int player) {
    PadSlot& slot = bus.pads[player];
    if (slot.kind == PadKind::kDualShock4) {
        StartDs4FeedbackWait(bus, slot);
        return;
    }
    vigem::EncodeRumbleWait(slot.serial, slot.rumbleRecord);
    StartPendingIo(bus.handle, slot.rumbleIo, vigem::kAwaitRumble, slot.rumbleRecord,
                   vigem::kRumbleRecordSize, slot.rumbleRecord, vigem::kRumbleRecordSize);
}

void PollRumble(BusPads& bus, OutputQueue& out, int player) {
    PadSlot& slot = bus.pads[player];
    if (!slot.connected) return;
    for (int completions = 0; completions < kMaxCompletionsPerTick; ++completions) {
        if (!slot.rumbleIo.active) {
            if (os::GetTickCount64() < slot.rumbleRetryTick) return;
            StartRumbleWait(bus, player);
        }
        // AwaitRumble has no time-out: it may wait as long as the pad lives.
        if (!PollPendingIo(bus.handle, slot.rumbleIo, kNoTimeout)) return;
        if (slot.rumbleIo.lastError != os::kErrorSuccess) {
            FailRumble(bus, out, player, slot.rumbleIo.lastError);
            return;
        }
        const PadFeedback feedback = ReadFeedback(slot);
        if (!feedback.valid) {
            FailRumble(bus, out, player, os::kErrorInvalidData);
            return;
        }
        if (feedback.low != slot.lastLow || feedback.high != slot.lastHigh) {
            slot.lastLow = feedback.low;
            slot.lastHigh = feedback.high;
            WriteRumble(out, player, slot.lastLow, slot.lastHigh);
        }
        uint8_t* lightbar = slot.ds4.lightbar;  // rumble first when one completion changes both
        if (feedback.hasLightbar && (feedback.red != lightbar[0] || feedback.green != lightbar[1] ||
                                     feedback.blue != lightbar[2])) {
            lightbar[0] = feedback.red;
            lightbar[1] = feedback.green;
            lightbar[2] = feedback.blue;
            WriteLightbar(out, player, feedback.red, feedback.green, feedback.blue);
        }
        StartRumbleWait(bus, player);
    }
    slot.busyPauseTick = os::GetTickCount64() + kBusyPumpPauseMs;
}

}  // namespace padbridge
