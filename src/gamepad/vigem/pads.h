// Virtual pads on the ViGEmBus driver, one slot per player: an Xbox 360 or a DualShock 4.
#pragma once

#include <cstdint>

#include "gamepad/dualshock4_report.h"
#include "gamepad/input.h"
#include "gamepad/vigem/detached_requests.h"
#include "gamepad/vigem/pending_io.h"

namespace padbridge {

struct BusPads;
struct OutputQueue;

enum class PadState : uint8_t {
    kFree,
    kPlugInPending,
    kWaitReadyPending,
    kReady,
    kReportPending,
    kTearingDown,  // being unplugged; its lines come when the driver has answered
};

// The steps of a teardown, each driven by the pump and the loop's wait.
enum class TeardownStep : uint8_t {
    kNone,
    kNeutral,   // the neutral report is in flight
    kUnplug,    // Unplug is in flight
    kDraining,  // lines printed; the pad's cancelled requests are not yet given back
};

struct PadSlot {
    uint32_t serial;  // 0 while the slot is free, else 1..65535
    PadState state;
    PendingIo mainIo;
    PendingIo rumbleIo;
    uint8_t requestBuffer[20];
    uint8_t rumbleRecord[12];
    PadReport latestReport;
    bool reportDirty;  // latestReport has not been submitted yet
    bool connected;    // WaitReady answered: the game sees the pad
    uint8_t lastLow;
    uint8_t lastHigh;
    uint64_t rumbleRetryTick;
    uint64_t createRetryTick;
    uint64_t busyPauseTick;  // the pump or the rumble polling stopped at its limit: resume here
    TeardownStep teardownStep;
    int teardownRequest = kNoDetachedRequest;  // the step's request while it is in flight
    uint32_t stepResult;                       // the step's result once answered
    uint32_t failResult;  // with failCode: the failure to report after the teardown lines
    const char* failCode;
    bool reopen;  // input came during the teardown: a new pad once the old one is gone...
    GamepadFrame reopenFrame;  // ...from the newest frame, of its kind
    PadKind kind;              // set as the slot opens
    Ds4Pad ds4;                // a DualShock 4's report state, records and lightbar
};

// How long a pump that stopped at its limit, with a driver answering every request at once or at
// the same moment, leaves the pad before it goes on.
inline constexpr uint64_t kBusyPumpPauseMs = 5;

// Every function below writes the pad's lines to `out` and sends its requests on `bus.handle`,
// the open bus.

// Stores the frame as the newest report; opens the slot and plugs a pad in when it is free. While
// the player's pad is being torn down, the report waits for the pad that follows it. Ignored
// while the player's retry window lasts.
void AcceptReport(BusPads& bus, OutputQueue& out, int player, const GamepadFrame& frame);

// Collects the pad's completions, moves it through its states and submits the newest report;
// then polls rumble, unless the pad failed. True when the pad let go of the player's input: it
// failed, or its teardown ended with no pad to follow. The player's input then stops counting
// (the caller forgets its last-input tick).
bool PumpPad(BusPads& bus, OutputQueue& out, int player);

// When the pad next needs PumpPad without anything arriving: a request's time-out, the end of a
// rumble retry pause, or the end of the pause after a pump that stopped at its limit. kNoDeadline
// when only a completion can move it on.
uint64_t NextPadDeadline(const BusPads& bus, int player, uint64_t now);

// Adds the events of the pad's requests that the driver holds to `events` and returns how many;
// none during the pause after a pump that stopped at its limit.
int AddPadEvents(const BusPads& bus, int player, uint64_t now, os::Handle* events);
inline constexpr int kEventsPerPad = 2;  // its main request and its rumble wait

// Starts unplugging the pad: its lines come, in order, once the driver has answered, which with a
// driver that answers at once is before this returns; PumpPad carries the rest, each request
// bounded by a second. Nothing for a free slot; for a pad already being torn down, it drops
// the input that came meanwhile, so no new pad follows. The player's input stops counting: the
// caller forgets its last-input tick, or stamps a new one.
void TeardownPad(BusPads& bus, OutputQueue& out, int player);

// True while the pad is being torn down or the driver still holds one of its requests.
bool PadHeld(const BusPads& bus, int player);
// True while the pad's teardown lines are still to come.
bool PadOwesLines(const BusPads& bus, int player);

}  // namespace padbridge
