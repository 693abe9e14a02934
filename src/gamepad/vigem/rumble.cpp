#include "gamepad/vigem/rumble.h"

#include "bridge.h"
#include "gamepad/vigem/driver_interface.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

constexpr int kMaxCompletionsPerTick = 16;
constexpr uint64_t kRumbleRetryMs = 1000;

void FailRumble(Bridge& bridge, int player, uint32_t result) {
    PadSlot& slot = bridge.pads[player];
    // The host must not keep a motor running that we can no longer report on.
    if (slot.lastLow != 0 || slot.lastHigh != 0) {
        slot.lastLow = 0;
        slot.lastHigh = 0;
        WriteRumble(player, 0, 0);
    }
    WritePlayerError(player, kGamepadRumbleUnavailable, result);
    slot.rumbleRetryTick = os::GetTickCount64() + kRumbleRetryMs;
}

}  // namespace

void StartRumbleWait(Bridge& bridge, int player) {
    PadSlot& slot = bridge.pads[player];
    vigem::EncodeRumbleWait(slot.serial, slot.rumbleRecord);
    StartPendingIo(bridge.backend.busHandle, slot.rumbleIo, vigem::kAwaitRumble, slot.rumbleRecord,
                   vigem::kRumbleRecordSize, slot.rumbleRecord, vigem::kRumbleRecordSize);
}

void PollRumble(Bridge& bridge, int player) {
    PadSlot& slot = bridge.pads[player];
    if (!slot.connected) return;
    for (int completions = 0; completions < kMaxCompletionsPerTick; ++completions) {
        if (!slot.rumbleIo.active) {
            if (os::GetTickCount64() < slot.rumbleRetryTick) return;
            StartRumbleWait(bridge, player);
        }
        // AwaitRumble has no time-out: it may wait as long as the pad lives.
        if (!PollPendingIo(bridge.backend.busHandle, slot.rumbleIo, kNoTimeout)) return;
        if (slot.rumbleIo.lastError != os::kErrorSuccess) {
            FailRumble(bridge, player, slot.rumbleIo.lastError);
            return;
        }
        const vigem::RumbleRecord record = vigem::DecodeRumble(slot.rumbleRecord);
        if (slot.rumbleIo.bytesReturned != vigem::kRumbleRecordSize ||
            record.size != vigem::kRumbleRecordSize || record.serial != slot.serial) {
            FailRumble(bridge, player, os::kErrorInvalidData);
            return;
        }
        if (record.lowMotor != slot.lastLow || record.highMotor != slot.lastHigh) {
            slot.lastLow = record.lowMotor;
            slot.lastHigh = record.highMotor;
            WriteRumble(player, slot.lastLow, slot.lastHigh);
        }
        StartRumbleWait(bridge, player);
    }
    slot.busyPauseTick = os::GetTickCount64() + kBusyPumpPauseMs;
}

}  // namespace padbridge
