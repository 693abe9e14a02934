#include "gamepad/vigem/pads.h"

#include "bridge.h"
#include "deadline.h"
#include "gamepad/vigem/driver_interface.h"
#include "gamepad/vigem/dualshock4_pad.h"
#include "gamepad/vigem/rumble.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

constexpr uint32_t kLastSerial = 65535;
constexpr int kMaxPassesPerTick = 16;
constexpr uint64_t kCreateRetryMs = 5000;
constexpr uint64_t kSetupTimeoutMs = 10000;  // PlugIn and WaitReady
constexpr uint64_t kReportTimeoutMs = 1000;

bool SerialInUse(const Bridge& bridge, int player, uint32_t serial) {
    for (int other = 0; other < kPlayerCount; ++other) {
        if (other != player && bridge.pads[other].serial == serial) return true;
    }
    return false;
}

// Tears the pad down, closes the player to new input for a while, and tells the host why.
void FailPad(Bridge& bridge, int player, uint32_t result, const char* code) {
    TeardownPad(bridge, player);
    bridge.pads[player].createRetryTick = os::GetTickCount64() + kCreateRetryMs;
    WritePlayerError(player, code, result);
}

void SubmitLatestReport(Bridge& bridge, PadSlot& slot) {
    slot.reportDirty = 0;
    slot.state = kPadReportPending;
    if (slot.kind == PadKind::kDualShock4) {
        SubmitDs4Report(bridge, slot);
        return;
    }
    vigem::EncodeReport(slot.serial, slot.latestReport, slot.requestBuffer);
    StartPendingIo(bridge.backend.busHandle, slot.mainIo, vigem::kSubmitReport, slot.requestBuffer,
                   vigem::kReportRecordSize, nullptr, 0);
}

// Acts on the collected result of the request on `mainIo`. False when the pad failed.
bool OnMainResult(Bridge& bridge, int player, uint32_t result) {
    PadSlot& slot = bridge.pads[player];
    switch (slot.state) {
        case kPadPlugInPending:
            if (result == os::kErrorInvalidParameter) {  // serial number taken: try the next one
                if (PlugInPad(bridge, player, slot.serial + 1)) return true;
                FailPad(bridge, player, os::kErrorNoMoreItems, kGamepadCreateFailed);
                return false;
            }
            if (result != os::kErrorSuccess) break;
            slot.state = kPadWaitReadyPending;
            vigem::EncodeSerial(slot.serial, slot.requestBuffer);
            StartPendingIo(bridge.backend.busHandle, slot.mainIo, vigem::kWaitReady,
                           slot.requestBuffer, vigem::kSerialRecordSize, nullptr, 0);
            return true;
        case kPadWaitReadyPending:
            if (result != os::kErrorSuccess && result != os::kErrorInvalidParameter) break;
            slot.connected = 1;
            slot.state = kPadReady;
            WriteDeviceCreated(
                player, slot.kind == PadKind::kDualShock4 ? kBackendDualShock4 : kBackendVigem);
            StartRumbleWait(bridge, player);
            return true;
        case kPadReportPending:
            if (FallBackToShortReport(bridge, player, result)) return true;
            if (result != os::kErrorSuccess) {
                FailPad(bridge, player, result, kGamepadUpdateFailed);
                return false;
            }
            slot.state = kPadReady;
            return true;
        default:
            return true;
    }
    FailPad(bridge, player, result, kGamepadCreateFailed);
    return false;
}

}  // namespace

bool PlugInPad(Bridge& bridge, int player, uint32_t candidate) {
    if (candidate > kLastSerial) return false;
    while (SerialInUse(bridge, player, candidate)) {
        if (++candidate > kLastSerial) return false;
    }
    PadSlot& slot = bridge.pads[player];
    slot.serial = candidate;
    slot.state = kPadPlugInPending;
    vigem::EncodePlugIn(candidate, slot.requestBuffer, slot.kind);
    StartPendingIo(bridge.backend.busHandle, slot.mainIo, vigem::kPlugIn, slot.requestBuffer,
                   vigem::kPlugInRecordSize, nullptr, 0);
    return true;
}

void AcceptReport(Bridge& bridge, int player, const GamepadFrame& frame) {
    PadSlot& slot = bridge.pads[player];
    if (os::GetTickCount64() < slot.createRetryTick) return;
    // A pad of another kind goes, with its lines, and the new kind comes at once.
    if (slot.state != kPadFree && slot.kind != frame.kind) TeardownPad(bridge, player);
    if (slot.state == kPadFree) {
        slot.kind = frame.kind;
        slot.ds4 = Ds4Pad{};  // the first touch of a pad takes tracking number 0
    }
    slot.latestReport = BuildPadReport(frame);  // replaces any report not yet submitted
    if (slot.kind == PadKind::kDualShock4) AcceptDs4Frame(slot.ds4, frame);
    slot.reportDirty = 1;
    if (slot.state != kPadFree) return;

    slot.mainIo = PendingIo{};
    slot.mainIo.overlapped.event = os::CreateManualResetEvent();
    if (slot.mainIo.overlapped.event != os::kNullHandle) {
        slot.rumbleIo = PendingIo{};
        slot.rumbleIo.overlapped.event = os::CreateManualResetEvent();
        if (slot.rumbleIo.overlapped.event != os::kNullHandle) {
            PlugInPad(bridge, player, 1);
            return;
        }
    }
    const uint32_t error = os::GetLastError();
    ReleasePendingIo(bridge.backend.busHandle, slot.mainIo);
    ReleasePendingIo(bridge.backend.busHandle, slot.rumbleIo);
    slot.createRetryTick = os::GetTickCount64() + kCreateRetryMs;
    WritePlayerError(player, kGamepadCreateFailed, error);
}

void PumpPad(Bridge& bridge, int player) {
    PadSlot& slot = bridge.pads[player];
    if (slot.serial == 0) return;
    int pass = 0;
    for (; pass < kMaxPassesPerTick; ++pass) {
        if (slot.state == kPadReady) {
            if (!slot.reportDirty) break;
            SubmitLatestReport(bridge, slot);
        }
        const uint64_t timeout =
            slot.state == kPadReportPending ? kReportTimeoutMs : kSetupTimeoutMs;
        if (!PollPendingIo(bridge.backend.busHandle, slot.mainIo, timeout)) break;
        if (!OnMainResult(bridge, player, slot.mainIo.lastError)) return;
    }
    if (pass == kMaxPassesPerTick) slot.busyPauseTick = os::GetTickCount64() + kBusyPumpPauseMs;
    PollRumble(bridge, player);
}

uint64_t NextPadDeadline(const Bridge& bridge, int player, uint64_t now) {
    const PadSlot& slot = bridge.pads[player];
    if (slot.serial == 0) return kNoDeadline;
    if (slot.busyPauseTick > now) return slot.busyPauseTick;
    const uint64_t timeout = slot.state == kPadReportPending ? kReportTimeoutMs : kSetupTimeoutMs;
    uint64_t next = NextPendingIoDeadline(slot.mainIo, timeout);
    if (slot.connected) {
        const uint64_t rumble = slot.rumbleIo.active
                                    ? NextPendingIoDeadline(slot.rumbleIo, kNoTimeout)
                                    : slot.rumbleRetryTick;
        next = EarlierOf(next, rumble);
    }
    return next;
}

int AddPadEvents(const Bridge& bridge, int player, uint64_t now, os::Handle* events) {
    const PadSlot& slot = bridge.pads[player];
    if (slot.busyPauseTick > now) return 0;
    int count = 0;
    const os::Handle mainEvent = PendingIoEvent(slot.mainIo);
    const os::Handle rumbleEvent = PendingIoEvent(slot.rumbleIo);
    if (mainEvent != os::kNullHandle) events[count++] = mainEvent;
    if (rumbleEvent != os::kNullHandle) events[count++] = rumbleEvent;
    return count;
}

void TeardownPad(Bridge& bridge, int player) {
    PadSlot& slot = bridge.pads[player];
    if (slot.serial == 0) return;
    const os::Handle bus = bridge.backend.busHandle;
    ReleasePendingIo(bus, slot.rumbleIo);
    ReleasePendingIo(bus, slot.mainIo);
    uint8_t record[ds4::kMaxRecordSize];
    if (slot.connected) {
        // Leave the game a centred pad with nothing pressed; failing that is harmless.
        uint32_t code = 0;
        const uint32_t length = EncodeNeutralReport(bridge, slot, record, &code);
        SendSyncRequest(bus, code, record, length);
    }
    vigem::EncodeSerial(slot.serial, record);
    const uint32_t result = SendSyncRequest(bus, vigem::kUnplug, record, vigem::kSerialRecordSize);
    if (result != os::kErrorSuccess) WritePlayerError(player, kGamepadRemoveFailed, result);
    slot.lastLow = 0;
    slot.lastHigh = 0;
    WriteRumble(player, 0, 0);
    slot = PadSlot{};
    bridge.lastInputTick[player] = 0;
    WriteDeviceRemoved(player);
}

}  // namespace padbridge
