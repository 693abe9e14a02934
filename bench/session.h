// A bridge on the simulated machine, set up for the benchmarks: ViGEmBus installed and answering
// every request at once, all eight pads created and ready, desktop control granted.
#pragma once

#include <cstddef>

#include "app/bridge.h"

namespace bench {

// Null when the set-up did not reach the expected state (the benchmark then reports an error).
// `dualShock4` makes the eight pads DualShock 4s, else Xbox 360 pads.
padbridge::Bridge* ReadyBridge(bool dualShock4 = false);

// What the main loop does with one read: every line it completes is dispatched at once.
void Feed(padbridge::Bridge& bridge, const char* bytes, std::size_t count);

// One tick's timers, as the main loop runs them after the read.
void RunTick(padbridge::Bridge& bridge);

// Drops what the simulation recorded (requests, injected events, output) so a long run does not
// grow it without bound; the core keeps no reference into it. The room for it is made once, by
// ReadyBridge, so clearing is cheap and a run does not time the records' growth.
void ForgetRecordings();
bool RecordingsNearlyFull();

}  // namespace bench
