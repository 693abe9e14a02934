// The owners of time and waits: every part of the bridge that has a deadline, waits on an event,
// or both. Each answers the same three questions: when it must next run, which events it waits
// on, and what it does when woken. The loop's wait, its passes and shutdown's drain all walk the
// one table of owners in owners.cpp, so a new owner is one row there, and the wait's handle
// table is sized from the rows at compile time.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace padbridge {

struct Bridge;

// When in a pass the loop runs an owner's work.
enum class PassStep : uint8_t {
    kOnWaking,    // as soon as the wait returns, before the pass takes its tick and its lines
    kAfterLines,  // after the pass's lines, judged with the tick taken before them
};

// The loop's own events, which come first in each of its waits: the stop event and the input's.
inline constexpr uint32_t kLoopEventSlots = 2;

// One wait of the loop on `loopEvents` (at most kLoopEventSlots, in the caller's order) and then
// every owner's events, until the earliest owner deadline; with no deadline, until an event.
// Returns WaitForMultipleObjects' result.
uint32_t WaitForOwners(const Bridge& bridge, const os::Handle* loopEvents, uint32_t loopEventCount);

// Runs the work of every owner of `step`, in table order, with the pass's tick `now`.
void WakeOwners(Bridge& bridge, PassStep step, uint64_t now);

// Shutdown's drain, once every player's teardown has started: runs and waits on the owners that
// shutdown waits for until their lines are out (each request bounded by its time-out), then gives
// their cancelled requests a bounded while to be let go of.
void DrainOwners(Bridge& bridge);

}  // namespace padbridge
