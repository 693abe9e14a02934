// The players: which backend serves them, the `input` line routed to it, each player's idle
// check, and the end of a player.
//
// While a ViGEmBus interface is open the bus serves every player; otherwise vJoy does, when its
// library is available. Functions here take the records of both backends and the output, since
// a player may move from one backend to the other.
#pragma once

#include <cstdint>

#include "deadline.h"
#include "gamepad/input.h"
#include "os/os.h"

namespace padbridge {

struct BusPads;
struct OutputQueue;
struct VjoyBackend;

constexpr uint64_t kIdleTimeoutMs = 1000;  // a gap of more than this tears the player down

struct Players {
    uint64_t lastInputTick[kPlayerCount];  // 0: no input to judge
};

// The probe: discovers ViGEmBus (or loads vJoy when no bus interface exists at all), hands vJoy
// players over to the bus when it appears, and writes one capabilities line with
// `systemEnabled`. A version check of the discovery may take a second; it runs as a step of its
// own. True when the probe finished at once; else ContinueProbe finishes it later.
bool StartProbe(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                bool systemEnabled);
// Moves a running probe on; its capabilities line is out once BusDiscoveryRunning is false.
void ContinueProbe(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                   bool systemEnabled);

// The `input` handler, given the values FindValues found for kInputKeys: hands the frame to the
// backend and stamps the player's last-input tick with `stamp` (when the line arrived), or
// answers `driver_required` when no backend is available.
void HandleInput(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                 const char* const inputValues[kInputKeyCount], int player, uint64_t stamp);

// Releases the player's vJoy device, tears its bus pad down and forgets its last input.
void TeardownPlayer(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                    int player);

// Tears the player down when its last input is more than kIdleTimeoutMs older than `now`; true
// when it did. `waiting`: the stamp of a line not yet handled that keeps the player (0: none),
// which counts as its last input.
bool CheckIdlePlayer(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out,
                     int player, uint64_t now, uint64_t waiting = 0);
// The tick at which the player's idle check fires; kNoDeadline while it has no input.
uint64_t NextIdleDeadline(const Players& players, int player, uint64_t waiting = 0);

// Pumps the player's bus pad while the bus is the backend, and forgets the player's last input
// when the pad lets go of it.
void PumpPlayerPad(Players& players, BusPads& bus, OutputQueue& out, int player);

// The player as an owner of time and waits: its idle check and its bus pad.
// When it must next run: its idle check's deadline, or its pad's.
uint64_t NextPlayerDeadline(const Players& players, const BusPads& bus, int player, uint64_t now,
                            uint64_t waiting);
// Adds the events of the player's pad to `events` and returns how many (at most kEventsPerPad).
int AddPlayerEvents(const BusPads& bus, int player, uint64_t now, os::Handle* events);
// Its turn in a pass, with the pass's tick: the idle check, then, unless that tore the player
// down, its pad's pump.
void RunPlayer(Players& players, BusPads& bus, VjoyBackend& vjoy, OutputQueue& out, int player,
               uint64_t now, uint64_t waiting);

}  // namespace padbridge
