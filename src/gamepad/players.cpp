#include "gamepad/players.h"

#include "gamepad/vigem/bus.h"
#include "gamepad/vjoy.h"
#include "os/os.h"
#include "protocol/output.h"
#include "trace/trace.h"

namespace padbridge {
namespace {

// The bus serves every pad from now on: players held on vJoy are released.
void HandOverToBus(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out) {
    for (int player = 0; player < kPlayerCount; ++player) {
        if (vjoy.acquired[player]) TeardownPlayer(players, bus, vjoy, out, player);
    }
    vjoy.available = false;
}

// The probe's end: hands vJoy players over to a bus it found, or loads vJoy when no bus
// interface exists at all, and writes the capabilities line.
void FinishProbe(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                 bool systemEnabled) {
    if (BusIsBackend(bus)) {
        HandOverToBus(players, bus, vjoy, out);
    } else if (bus.status == BusStatus::kMissing && !vjoy.available) {
        // Only when no bus interface exists at all; an interface that failed may yet recover.
        LoadVjoy(vjoy);
    }
    const bool busOpen = BusIsBackend(bus);
    const char* name = busOpen ? kBackendVigem : (vjoy.available ? kBackendVjoy : kBackendNone);
    TraceProbe(busOpen ? "vigem" : (vjoy.available ? "vjoy" : "none"));
    WriteCapabilities(out, name, VigemBusWord(bus.status), busOpen || vjoy.available,
                      systemEnabled);
}

}  // namespace

bool StartProbe(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                bool systemEnabled) {
    if (!BusIsBackend(bus) && !StartBusDiscovery(bus)) return false;
    FinishProbe(players, bus, vjoy, out, systemEnabled);
    return true;
}

void ContinueProbe(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                   bool systemEnabled) {
    if (!BusDiscoveryRunning(bus) || !ContinueBusDiscovery(bus)) return;
    FinishProbe(players, bus, vjoy, out, systemEnabled);
}

void HandleInput(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                 const char* const inputValues[kInputKeyCount], int player, uint64_t stamp) {
    GamepadFrame frame;
    if (!ParseGamepadValues(inputValues, &frame)) return;
    if (BusIsBackend(bus)) {
        AcceptReport(bus, out, player, frame);
    } else if (vjoy.available) {
        UpdateVjoyPad(vjoy, out, player, frame);
    } else {
        WriteDriverRequired(out);
        return;
    }
    // Stamped whatever the backend did with the frame (retry window, failed acquisition), with
    // when the line arrived; a later line handled earlier keeps its later stamp.
    if (stamp > players.lastInputTick[player]) players.lastInputTick[player] = stamp;
}

void TeardownPlayer(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                    int player) {
    if (vjoy.acquired[player]) ReleaseVjoyPad(vjoy, out, player);
    TeardownPad(bus, out, player);
    players.lastInputTick[player] = 0;
}

bool CheckIdlePlayer(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                     int player, uint64_t now, uint64_t waiting) {
    const uint64_t last = players.lastInputTick[player];
    if (last == 0 || !LimitPassed(LaterOf(last, waiting), now, kIdleTimeoutMs)) return false;
    TraceLapse(player);
    TeardownPlayer(players, bus, vjoy, out, player);
    return true;
}

uint64_t NextIdleDeadline(const Players& players, int player, uint64_t waiting) {
    const uint64_t last = players.lastInputTick[player];
    return last == 0 ? kNoDeadline : AfterLimit(LaterOf(last, waiting), kIdleTimeoutMs);
}

void PumpPlayerPad(Players& players, BusPads& bus, OutputQueue& out, int player) {
    if (!BusIsBackend(bus)) return;
    if (PumpPad(bus, out, player)) players.lastInputTick[player] = 0;
}

uint64_t NextPlayerDeadline(const Players& players, const BusPads& bus, int player, uint64_t now,
                            uint64_t waiting) {
    const uint64_t idle = NextIdleDeadline(players, player, waiting);
    return BusIsBackend(bus) ? EarlierOf(idle, NextPadDeadline(bus, player, now)) : idle;
}

int AddPlayerEvents(const BusPads& bus, int player, uint64_t now, os::Handle* events) {
    return BusIsBackend(bus) ? AddPadEvents(bus, player, now, events) : 0;
}

void RunPlayer(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out, int player,
               uint64_t now, uint64_t waiting) {
    if (CheckIdlePlayer(players, bus, vjoy, out, player, now, waiting)) return;
    PumpPlayerPad(players, bus, out, player);
}

}  // namespace padbridge
