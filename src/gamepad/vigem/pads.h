// Virtual Xbox 360 pads on the ViGEmBus driver, one slot per player.
#pragma once

#include <cstdint>

#include "gamepad/dualshock4_report.h"
#include "gamepad/input.h"
#include "gamepad/vigem/pending_io.h"

namespace padbridge {

struct Bridge;

enum PadState : uint32_t {
    kPadFree = 0,
    kPadPlugInPending = 1,
    kPadWaitReadyPending = 2,
    kPadReady = 3,
    kPadReportPending = 4,
};

struct PadSlot {
    uint32_t serial;  // 0 while the slot is free, else 1..65535
    uint32_t state;   // a PadState
    PendingIo mainIo;
    PendingIo rumbleIo;
    uint8_t requestBuffer[20];
    uint8_t rumbleRecord[12];
    PadReport latestReport;
    uint32_t reportDirty;
    uint32_t connected;
    uint8_t lastLow;
    uint8_t lastHigh;
    uint64_t rumbleRetryTick;
    uint64_t createRetryTick;
    uint64_t busyPauseTick;  // the pump or the rumble polling stopped at its limit: resume here
    PadKind kind;            // set as the slot opens
    Ds4Pad ds4;              // a DualShock 4's report state, records and lightbar
};

// How long a pump that stopped at its limit, with a driver answering every request at once or at
// the same moment, leaves the pad before it goes on.
inline constexpr uint64_t kBusyPumpPauseMs = 5;

// Stores the frame as the newest report; opens the slot and plugs a pad in when it is free.
// Ignored while the player's retry window lasts.
void AcceptReport(Bridge& bridge, int player, const GamepadFrame& frame);

// Plugs the player's pad in under the first serial number from `candidate` on that no other
// slot uses. False when none is left.
bool PlugInPad(Bridge& bridge, int player, uint32_t candidate);

// Collects the pad's completions, moves it through its states and submits the newest report;
// then polls rumble, unless the pad failed.
void PumpPad(Bridge& bridge, int player);

// When the pad next needs PumpPad without anything arriving: a request's time-out, the end of a
// rumble retry pause, or the end of the pause after a pump that stopped at its limit. kNoDeadline
// when only a completion can move it on.
uint64_t NextPadDeadline(const Bridge& bridge, int player, uint64_t now);

// Adds the events of the pad's requests that the driver holds to `events` and returns how many;
// none during the pause after a pump that stopped at its limit.
int AddPadEvents(const Bridge& bridge, int player, uint64_t now, os::Handle* events);

// Unplugs the pad, prints its lines and frees the slot. Nothing for a free slot.
void TeardownPad(Bridge& bridge, int player);

}  // namespace padbridge
