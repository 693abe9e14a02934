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
static_assert(ds4::kMaxRecordSize <= kDetachedRecordBytes, "a teardown sends any report record");

bool SerialInUse(const Bridge& bridge, int player, uint32_t serial) {
    for (int other = 0; other < kPlayerCount; ++other) {
        if (other != player && bridge.pads[other].serial == serial) return true;
    }
    return false;
}

// Tears the pad down, closes the player to new input for a while, and tells the host why (after
// the teardown lines).
void FailPad(Bridge& bridge, int player, uint32_t result, const char* code) {
    PadSlot& slot = bridge.pads[player];
    slot.failCode = code;
    slot.failResult = result;
    TeardownPad(bridge, player);
}

void SubmitLatestReport(Bridge& bridge, PadSlot& slot) {
    slot.reportDirty = false;
    slot.state = PadState::kReportPending;
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
        case PadState::kPlugInPending:
            if (result == os::kErrorInvalidParameter) {  // serial number taken: try the next one
                if (PlugInPad(bridge, player, slot.serial + 1)) return true;
                FailPad(bridge, player, os::kErrorNoMoreItems, kGamepadCreateFailed);
                return false;
            }
            if (result != os::kErrorSuccess) break;
            slot.state = PadState::kWaitReadyPending;
            vigem::EncodeSerial(slot.serial, slot.requestBuffer);
            StartPendingIo(bridge.backend.busHandle, slot.mainIo, vigem::kWaitReady,
                           slot.requestBuffer, vigem::kSerialRecordSize, nullptr, 0);
            return true;
        case PadState::kWaitReadyPending:
            if (result != os::kErrorSuccess && result != os::kErrorInvalidParameter) break;
            slot.connected = true;
            slot.state = PadState::kReady;
            WriteDeviceCreated(
                player, slot.kind == PadKind::kDualShock4 ? kBackendDualShock4 : kBackendVigem);
            StartRumbleWait(bridge, player);
            return true;
        case PadState::kReportPending:
            if (FallBackToShortReport(bridge, player, result)) return true;
            if (result != os::kErrorSuccess) {
                FailPad(bridge, player, result, kGamepadUpdateFailed);
                return false;
            }
            slot.state = PadState::kReady;
            return true;
        default:
            return true;
    }
    FailPad(bridge, player, result, kGamepadCreateFailed);
    return false;
}

// The frame becomes the pad's newest report, replacing any not yet submitted.
void StoreFrame(PadSlot& slot, const GamepadFrame& frame) {
    slot.latestReport = BuildPadReport(frame);
    if (slot.kind == PadKind::kDualShock4) AcceptDs4Frame(slot.ds4, frame);
    slot.reportDirty = true;
}

// Opens the free slot for a pad of the frame's kind, with the frame as its first report.
void StartNewPad(Bridge& bridge, int player, const GamepadFrame& frame) {
    PadSlot& slot = bridge.pads[player];
    slot.kind = frame.kind;
    slot.ds4 = Ds4Pad{};  // the first touch of a pad takes tracking number 0
    StoreFrame(slot, frame);
    OpenPad(bridge, player);
}

// Issues the request of a teardown step from the detached requests; one that cannot be sent is
// answered at once with its error.
void StartTeardownStep(Bridge& bridge, PadSlot& slot, TeardownStep step, uint32_t code,
                       const uint8_t* record, uint32_t length) {
    slot.teardownStep = step;
    slot.stepResult = 0;
    slot.teardownRequest = StartDetachedRequest(bridge.detachedRequests, bridge.backend.busHandle,
                                                code, record, length, &slot.stepResult);
}

void StartUnplug(Bridge& bridge, PadSlot& slot) {
    uint8_t record[vigem::kSerialRecordSize];
    vigem::EncodeSerial(slot.serial, record);
    StartTeardownStep(bridge, slot, TeardownStep::kUnplug, vigem::kUnplug, record,
                      vigem::kSerialRecordSize);
}

// The pad is gone from the game: tell the host, in the order it has always seen.
void WriteTeardownLines(Bridge& bridge, int player) {
    PadSlot& slot = bridge.pads[player];
    if (slot.stepResult != os::kErrorSuccess)
        WritePlayerError(player, kGamepadRemoveFailed, slot.stepResult);
    slot.lastLow = 0;
    slot.lastHigh = 0;
    WriteRumble(player, 0, 0);
    // Input that came during the teardown keeps the player's tick for the pad that follows.
    if (!slot.reopen) bridge.lastInputTick[player] = 0;
    WriteDeviceRemoved(player);
    if (slot.failCode != nullptr) {
        slot.createRetryTick = os::GetTickCount64() + kCreateRetryMs;
        WritePlayerError(player, slot.failCode, slot.failResult);
        slot.reopen = false;  // the retry window holds the player off
    }
}

// Moves a teardown on as far as the driver lets it. True once the slot is free again (and, if
// input came meanwhile, a new pad has been started for it).
bool AdvanceTeardown(Bridge& bridge, int player) {
    PadSlot& slot = bridge.pads[player];
    // Collect a cancelled request of the pad as soon as the driver lets go, whatever the step:
    // its signalled event must not keep waking the loop.
    const os::Handle bus = bridge.backend.busHandle;
    const bool rumbleReleased = ReleasePendingIo(bus, slot.rumbleIo);
    const bool released = ReleasePendingIo(bus, slot.mainIo) && rumbleReleased;
    if (slot.teardownRequest != kNoDetachedRequest) {
        if (!PollDetachedRequest(bridge.detachedRequests, slot.teardownRequest, &slot.stepResult))
            return false;
        slot.teardownRequest = kNoDetachedRequest;
    }
    if (slot.teardownStep == TeardownStep::kNeutral) {
        StartUnplug(bridge, slot);
        return AdvanceTeardown(bridge, player);
    }
    if (slot.teardownStep == TeardownStep::kUnplug) {
        WriteTeardownLines(bridge, player);
        slot.teardownStep = TeardownStep::kDraining;
    }
    if (!released) return false;
    const uint64_t createRetryTick = slot.createRetryTick;
    const GamepadFrame next = slot.reopenFrame;
    const bool reopen = slot.reopen;
    slot = PadSlot{};
    slot.createRetryTick = createRetryTick;
    if (reopen) StartNewPad(bridge, player, next);
    return true;
}

}  // namespace

bool PlugInPad(Bridge& bridge, int player, uint32_t candidate) {
    if (candidate > kLastSerial) return false;
    while (SerialInUse(bridge, player, candidate)) {
        if (++candidate > kLastSerial) return false;
    }
    PadSlot& slot = bridge.pads[player];
    slot.serial = candidate;
    slot.state = PadState::kPlugInPending;
    vigem::EncodePlugIn(candidate, slot.requestBuffer, slot.kind);
    StartPendingIo(bridge.backend.busHandle, slot.mainIo, vigem::kPlugIn, slot.requestBuffer,
                   vigem::kPlugInRecordSize, nullptr, 0);
    return true;
}

void AcceptReport(Bridge& bridge, int player, const GamepadFrame& frame) {
    PadSlot& slot = bridge.pads[player];
    if (os::GetTickCount64() < slot.createRetryTick) return;
    // A pad of another kind goes, with its lines, and the new kind comes as soon as it is gone.
    if (slot.state != PadState::kFree && slot.state != PadState::kTearingDown &&
        slot.kind != frame.kind)
        TeardownPad(bridge, player);
    if (slot.state == PadState::kTearingDown) {  // the next pad starts from the newest frame
        slot.reopen = true;
        slot.reopenFrame = frame;
        return;
    }
    if (slot.state == PadState::kFree) {
        StartNewPad(bridge, player, frame);
        return;
    }
    StoreFrame(slot, frame);
}

void OpenPad(Bridge& bridge, int player) {
    PadSlot& slot = bridge.pads[player];
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
    if (slot.state == PadState::kTearingDown && !AdvanceTeardown(bridge, player)) return;
    if (slot.serial == 0) return;
    int pass = 0;
    for (; pass < kMaxPassesPerTick; ++pass) {
        if (slot.state == PadState::kReady) {
            if (!slot.reportDirty) break;
            SubmitLatestReport(bridge, slot);
        }
        const uint64_t timeout =
            slot.state == PadState::kReportPending ? kReportTimeoutMs : kSetupTimeoutMs;
        if (!PollPendingIo(bridge.backend.busHandle, slot.mainIo, timeout)) break;
        if (!OnMainResult(bridge, player, slot.mainIo.lastError)) return;
    }
    if (pass == kMaxPassesPerTick) slot.busyPauseTick = os::GetTickCount64() + kBusyPumpPauseMs;
    PollRumble(bridge, player);
}

uint64_t NextPadDeadline(const Bridge& bridge, int player, uint64_t now) {
    const PadSlot& slot = bridge.pads[player];
    if (slot.serial == 0) return kNoDeadline;
    if (slot.state == PadState::kTearingDown) {
        // A step waits for its request; draining waits only for the events of the pad's own.
        return slot.teardownRequest != kNoDetachedRequest
                   ? NextDetachedRequestDeadline(bridge.detachedRequests, slot.teardownRequest)
                   : kNoDeadline;
    }
    if (slot.busyPauseTick > now) return slot.busyPauseTick;
    const uint64_t timeout =
        slot.state == PadState::kReportPending ? kReportTimeoutMs : kSetupTimeoutMs;
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
    if (slot.state != PadState::kTearingDown && slot.busyPauseTick > now) return 0;
    int count = 0;
    const os::Handle mainEvent = PendingIoEvent(slot.mainIo);
    const os::Handle rumbleEvent = PendingIoEvent(slot.rumbleIo);
    if (mainEvent != os::kNullHandle) events[count++] = mainEvent;
    if (rumbleEvent != os::kNullHandle) events[count++] = rumbleEvent;
    return count;
}

void TeardownPad(Bridge& bridge, int player) {
    PadSlot& slot = bridge.pads[player];
    if (slot.state == PadState::kFree) return;
    if (slot.state == PadState::kTearingDown) {  // already on its way out: no new pad after it
        slot.reopen = false;
        slot.reportDirty = false;
        return;
    }
    const os::Handle bus = bridge.backend.busHandle;
    slot.state = PadState::kTearingDown;
    slot.reportDirty = false;
    slot.reopen = false;
    bridge.lastInputTick[player] = 0;
    // Cancelled without waiting; a request the driver does not let go of at once keeps its
    // record until the slot drains.
    ReleasePendingIo(bus, slot.rumbleIo);
    ReleasePendingIo(bus, slot.mainIo);
    if (slot.connected) {
        // Leave the game a centred pad with nothing pressed; failing that is harmless.
        uint8_t record[ds4::kMaxRecordSize];
        uint32_t code = 0;
        const uint32_t length = EncodeNeutralReport(bridge, slot, record, &code);
        StartTeardownStep(bridge, slot, TeardownStep::kNeutral, code, record, length);
    } else {
        StartUnplug(bridge, slot);
    }
    AdvanceTeardown(bridge, player);
}

bool PadsBusy(const Bridge& bridge) {
    for (const PadSlot& slot : bridge.pads) {
        if (slot.state == PadState::kTearingDown || PendingIoHeld(slot.mainIo) ||
            PendingIoHeld(slot.rumbleIo))
            return true;
    }
    return false;
}

bool TeardownLinesPending(const Bridge& bridge) {
    for (const PadSlot& slot : bridge.pads) {
        if (slot.state == PadState::kTearingDown && slot.teardownStep != TeardownStep::kDraining)
            return true;
    }
    return false;
}

}  // namespace padbridge
