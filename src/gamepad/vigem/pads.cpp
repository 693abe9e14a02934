#include "gamepad/vigem/pads.h"

#include "deadline.h"
#include "gamepad/vigem/bus.h"
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

bool SerialInUse(const BusPads& bus, int player, uint32_t serial) {
    for (int other = 0; other < kPlayerCount; ++other) {
        if (other != player && bus.pads[other].serial == serial) return true;
    }
    return false;
}

// Plugs the player's pad in under the first serial number from `candidate` on that no other
// slot uses. False when none is left.
bool PlugInPad(BusPads& bus, int player, uint32_t candidate) {
    if (candidate > kLastSerial) return false;
    while (SerialInUse(bus, player, candidate)) {
        if (++candidate > kLastSerial) return false;
    }
    PadSlot& slot = bus.pads[player];
    slot.serial = candidate;
    slot.state = PadState::kPlugInPending;
    vigem::EncodePlugIn(candidate, slot.requestBuffer, slot.kind);
    StartPendingIo(bus.handle, slot.mainIo, vigem::kPlugIn, slot.requestBuffer,
                   vigem::kPlugInRecordSize, nullptr, 0);
    return true;
}

// Opens the player's free slot for its newest report and plugs a pad in; reports a failure to
// create the slot's events.
void OpenPad(BusPads& bus, OutputQueue& out, int player) {
    PadSlot& slot = bus.pads[player];
    slot.mainIo = PendingIo{};
    slot.mainIo.player = static_cast<int8_t>(player);
    slot.mainIo.overlapped.event = os::CreateManualResetEvent();
    if (slot.mainIo.overlapped.event != os::kNullHandle) {
        slot.rumbleIo = PendingIo{};
        slot.rumbleIo.player = static_cast<int8_t>(player);
        slot.rumbleIo.overlapped.event = os::CreateManualResetEvent();
        if (slot.rumbleIo.overlapped.event != os::kNullHandle) {
            PlugInPad(bus, player, 1);
            return;
        }
    }
    const uint32_t error = os::GetLastError();
    ReleasePendingIo(bus.handle, slot.mainIo);
    ReleasePendingIo(bus.handle, slot.rumbleIo);
    slot.createRetryTick = os::GetTickCount64() + kCreateRetryMs;
    WritePlayerError(out, player, kGamepadCreateFailed, error);
}

// Tears the pad down, closes the player to new input for a while, and tells the host why (after
// the teardown lines).
void FailPad(BusPads& bus, OutputQueue& out, int player, uint32_t result, const char* code) {
    PadSlot& slot = bus.pads[player];
    slot.failCode = code;
    slot.failResult = result;
    TeardownPad(bus, out, player);
}

void SubmitLatestReport(BusPads& bus, PadSlot& slot) {
    slot.reportDirty = false;
    slot.state = PadState::kReportPending;
    if (slot.kind == PadKind::kDualShock4) {
        SubmitDs4Report(bus, slot);
        return;
    }
    vigem::EncodeReport(slot.serial, slot.latestReport, slot.requestBuffer);
    StartPendingIo(bus.handle, slot.mainIo, vigem::kSubmitReport, slot.requestBuffer,
                   vigem::kReportRecordSize, nullptr, 0);
}

// Acts on the collected result of the request on `mainIo`. False when the pad failed.
bool OnMainResult(BusPads& bus, OutputQueue& out, int player, uint32_t result) {
    PadSlot& slot = bus.pads[player];
    switch (slot.state) {
        case PadState::kPlugInPending:
            if (result == os::kErrorInvalidParameter) {  // serial number taken: try the next one
                if (PlugInPad(bus, player, slot.serial + 1)) return true;
                FailPad(bus, out, player, os::kErrorNoMoreItems, kGamepadCreateFailed);
                return false;
            }
            if (result != os::kErrorSuccess) break;
            slot.state = PadState::kWaitReadyPending;
            vigem::EncodeSerial(slot.serial, slot.requestBuffer);
            StartPendingIo(bus.handle, slot.mainIo, vigem::kWaitReady, slot.requestBuffer,
                           vigem::kSerialRecordSize, nullptr, 0);
            return true;
        case PadState::kWaitReadyPending:
            if (result != os::kErrorSuccess && result != os::kErrorInvalidParameter) break;
            slot.connected = true;
            slot.state = PadState::kReady;
            WriteDeviceCreated(
                out, player,
                slot.kind == PadKind::kDualShock4 ? kBackendDualShock4 : kBackendVigem);
            StartRumbleWait(bus, player);
            return true;
        case PadState::kReportPending:
            if (FallBackToShortReport(bus, out, player, result)) return true;
            if (result != os::kErrorSuccess) {
                FailPad(bus, out, player, result, kGamepadUpdateFailed);
                return false;
            }
            slot.state = PadState::kReady;
            return true;
        default:
            return true;
    }
    FailPad(bus, out, player, result, kGamepadCreateFailed);
    return false;
}

// The frame becomes the pad's newest report, replacing any not yet submitted.
void StoreFrame(PadSlot& slot, const GamepadFrame& frame) {
    slot.latestReport = BuildPadReport(frame);
    if (slot.kind == PadKind::kDualShock4) AcceptDs4Frame(slot.ds4, frame);
    slot.reportDirty = true;
}

// Opens the free slot for a pad of the frame's kind, with the frame as its first report.
void StartNewPad(BusPads& bus, OutputQueue& out, int player, const GamepadFrame& frame) {
    PadSlot& slot = bus.pads[player];
    slot.kind = frame.kind;
    slot.ds4 = Ds4Pad{};  // the first touch of a pad takes tracking number 0
    StoreFrame(slot, frame);
    OpenPad(bus, out, player);
}

// Issues the request of a teardown step from the detached requests; one that cannot be sent is
// answered at once with its error.
void StartTeardownStep(BusPads& bus, PadSlot& slot, TeardownStep step, uint32_t code,
                       const uint8_t* record, uint32_t length) {
    slot.teardownStep = step;
    slot.stepResult = 0;
    const int player = static_cast<int>(&slot - bus.pads);
    slot.teardownRequest = StartDetachedRequest(bus.detached, bus.handle, code, record, length,
                                                &slot.stepResult, player);
}

void StartUnplug(BusPads& bus, PadSlot& slot) {
    uint8_t record[vigem::kSerialRecordSize];
    vigem::EncodeSerial(slot.serial, record);
    StartTeardownStep(bus, slot, TeardownStep::kUnplug, vigem::kUnplug, record,
                      vigem::kSerialRecordSize);
}

// The pad is gone from the game: tell the host, in this order. True when the player's input
// stops counting: no input came during the teardown, or the pad failed.
bool WriteTeardownLines(BusPads& bus, OutputQueue& out, int player) {
    PadSlot& slot = bus.pads[player];
    if (slot.stepResult != os::kErrorSuccess)
        WritePlayerError(out, player, kGamepadRemoveFailed, slot.stepResult);
    slot.lastLow = 0;
    slot.lastHigh = 0;
    WriteRumble(out, player, 0, 0);
    // Input that came during the teardown keeps counting, for the pad that follows.
    const bool inputDropped = !slot.reopen;
    WriteDeviceRemoved(out, player);
    if (slot.failCode != nullptr) {
        slot.createRetryTick = os::GetTickCount64() + kCreateRetryMs;
        WritePlayerError(out, player, slot.failCode, slot.failResult);
        slot.reopen = false;  // the retry window holds the player off
    }
    return inputDropped;
}

// Moves a teardown on as far as the driver lets it. True once the slot is free again (and, if
// input came meanwhile, a new pad has been started for it). Sets *inputDropped when the teardown
// lines went out with no input to keep.
bool AdvanceTeardown(BusPads& bus, OutputQueue& out, int player, bool* inputDropped) {
    PadSlot& slot = bus.pads[player];
    // Collect a cancelled request of the pad as soon as the driver lets go, whatever the step:
    // its signalled event must not keep waking the loop.
    const bool rumbleReleased = ReleasePendingIo(bus.handle, slot.rumbleIo);
    const bool released = ReleasePendingIo(bus.handle, slot.mainIo) && rumbleReleased;
    if (slot.teardownRequest != kNoDetachedRequest) {
        if (!PollDetachedRequest(bus.detached, slot.teardownRequest, &slot.stepResult))
            return false;
        slot.teardownRequest = kNoDetachedRequest;
    }
    if (slot.teardownStep == TeardownStep::kNeutral) {
        StartUnplug(bus, slot);
        return AdvanceTeardown(bus, out, player, inputDropped);
    }
    if (slot.teardownStep == TeardownStep::kUnplug) {
        if (WriteTeardownLines(bus, out, player)) *inputDropped = true;
        slot.teardownStep = TeardownStep::kDraining;
    }
    if (!released) return false;
    const uint64_t createRetryTick = slot.createRetryTick;
    const GamepadFrame next = slot.reopenFrame;
    const bool reopen = slot.reopen;
    slot = PadSlot{};
    slot.createRetryTick = createRetryTick;
    if (reopen) StartNewPad(bus, out, player, next);
    return true;
}

}  // namespace

void AcceptReport(BusPads& bus, OutputQueue& out, int player, const GamepadFrame& frame) {
    PadSlot& slot = bus.pads[player];
    if (os::GetTickCount64() < slot.createRetryTick) return;
    // A pad of another kind goes, with its lines, and the new kind comes as soon as it is gone.
    if (slot.state != PadState::kFree && slot.state != PadState::kTearingDown &&
        slot.kind != frame.kind)
        TeardownPad(bus, out, player);
    if (slot.state == PadState::kTearingDown) {  // the next pad starts from the newest frame
        slot.reopen = true;
        slot.reopenFrame = frame;
        return;
    }
    if (slot.state == PadState::kFree) {
        StartNewPad(bus, out, player, frame);
        return;
    }
    StoreFrame(slot, frame);
}

bool PumpPad(BusPads& bus, OutputQueue& out, int player) {
    PadSlot& slot = bus.pads[player];
    bool inputDropped = false;
    if (slot.state == PadState::kTearingDown && !AdvanceTeardown(bus, out, player, &inputDropped))
        return inputDropped;
    if (slot.serial == 0) return inputDropped;
    int pass = 0;
    for (; pass < kMaxPassesPerTick; ++pass) {
        if (slot.state == PadState::kReady) {
            if (!slot.reportDirty) break;
            SubmitLatestReport(bus, slot);
        }
        const uint64_t timeout =
            slot.state == PadState::kReportPending ? kReportTimeoutMs : kSetupTimeoutMs;
        if (!PollPendingIo(bus.handle, slot.mainIo, timeout)) break;
        if (!OnMainResult(bus, out, player, slot.mainIo.lastError)) return true;  // it failed
    }
    if (pass == kMaxPassesPerTick) slot.busyPauseTick = os::GetTickCount64() + kBusyPumpPauseMs;
    PollRumble(bus, out, player);
    return inputDropped;
}

uint64_t NextPadDeadline(const BusPads& bus, int player, uint64_t now) {
    const PadSlot& slot = bus.pads[player];
    if (slot.serial == 0) return kNoDeadline;
    if (slot.state == PadState::kTearingDown) {
        // A step waits for its request; draining waits only for the events of the pad's own.
        return slot.teardownRequest != kNoDetachedRequest
                   ? NextDetachedRequestDeadline(bus.detached, slot.teardownRequest)
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

int AddPadEvents(const BusPads& bus, int player, uint64_t now, os::Handle* events) {
    const PadSlot& slot = bus.pads[player];
    if (slot.state != PadState::kTearingDown && slot.busyPauseTick > now) return 0;
    int count = 0;
    const os::Handle mainEvent = PendingIoEvent(slot.mainIo);
    const os::Handle rumbleEvent = PendingIoEvent(slot.rumbleIo);
    if (mainEvent != os::kNullHandle) events[count++] = mainEvent;
    if (rumbleEvent != os::kNullHandle) events[count++] = rumbleEvent;
    return count;
}

void TeardownPad(BusPads& bus, OutputQueue& out, int player) {
    PadSlot& slot = bus.pads[player];
    if (slot.state == PadState::kFree) return;
    if (slot.state == PadState::kTearingDown) {  // already on its way out: no new pad after it
        slot.reopen = false;
        slot.reportDirty = false;
        return;
    }
    slot.state = PadState::kTearingDown;
    slot.reportDirty = false;
    slot.reopen = false;
    // Cancelled without waiting; a request the driver does not let go of at once keeps its
    // record until the slot drains.
    ReleasePendingIo(bus.handle, slot.rumbleIo);
    ReleasePendingIo(bus.handle, slot.mainIo);
    if (slot.connected) {
        // Leave the game a centred pad with nothing pressed; failing that is harmless.
        uint8_t record[ds4::kMaxRecordSize];
        uint32_t code = 0;
        const uint32_t length = EncodeNeutralReport(bus, slot, record, &code);
        StartTeardownStep(bus, slot, TeardownStep::kNeutral, code, record, length);
    } else {
        StartUnplug(bus, slot);
    }
    bool inputDropped = false;  // the caller forgets the player's input in any case
    AdvanceTeardown(bus, out, player, &inputDropped);
}

bool PadHeld(const BusPads& bus, int player) {
    const PadSlot& slot = bus.pads[player];
    return slot.state == PadState::kTearingDown || PendingIoHeld(slot.mainIo) ||
           PendingIoHeld(slot.rumbleIo);
}

bool PadOwesLines(const BusPads& bus, int player) {
    const PadSlot& slot = bus.pads[player];
    return slot.state == PadState::kTearingDown && slot.teardownStep != TeardownStep::kDraining;
}

}  // namespace padbridge
