// padbridge-sim: the bridge's core on the simulation's models, with the real clock, standard
// input and standard output (src/os/posix), for hosts developed and tested without Windows.
#pragma once

#include "app/bridge.h"

namespace padbridge::simulator {

// What the simulated PC has installed.
enum class Backend { kVigem, kVjoy, kNone };

// Sets up the simulated machine: for kVigem one bus interface of a compatible version that
// answers every request at once (feedback requests stay pending until the game sets something);
// for kVjoy the vJoy library where the bridge looks for it, with devices 1..8 as it needs them;
// for kNone neither.
void InstallBackend(Backend backend);

// The simulator's own lines, taken in their turn among the host's (the Bridge's OtherLines hook,
// with the Bridge as context): sim-rumble, sim-lightbar and sim-desktop. Any other line, and a
// malformed one, is dropped silently, as the bridge drops a line of an unknown type.
void HandleSimLine(void* bridge, const char* line);

}  // namespace padbridge::simulator
