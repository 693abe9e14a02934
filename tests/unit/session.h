// Runs the bridge on the simulated machine the way a host session would.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/bridge.h"
#include "os/sim/sim.h"
#include "wire.h"

namespace padbridge::test {

// A fresh machine on the given clock and a fresh bridge state. Script the host with sim::Send /
// sim::SendLine / sim::CloseInput, then Run().
struct Session {
    explicit Session(sim::ClockMode clock = sim::ClockMode::kFine);
    // Runs the whole process with these arguments after the program name; returns the exit code.
    int Run(std::vector<std::u16string> arguments = {});
    std::vector<std::string> Lines() const { return sim::OutputLines(); }

    std::unique_ptr<Bridge> bridge;
    // The command line outlives the run, as a real process's does: the bridge borrows from it.
    std::vector<std::u16string> arguments;
};

// The two ways the simulated clock moves; a scenario that judges time runs in both.
inline constexpr sim::ClockMode kClockModes[] = {sim::ClockMode::kFine, sim::ClockMode::kCoarse};
inline const char* ClockModeName(sim::ClockMode mode) {
    return mode == sim::ClockMode::kFine ? "fine clock" : "coarse clock";
}

// Runs `scenario(session, mode)` once on each clock, each time on a fresh session; a failure
// names the clock it happened on.
template <typename Scenario>
void OnEachClock(Scenario&& scenario) {
    for (sim::ClockMode mode : kClockModes) {
        SCOPED_TRACE(ClockModeName(mode));
        Session session(mode);
        scenario(session, mode);
    }
}

// An `input` line for `player` with the given axes and buttons (all zero when left out).
std::string InputLine(int player, const std::vector<double>& axes = {0, 0, 0, 0},
                      const std::vector<double>& buttons = std::vector<double>(16, 0.0));

}  // namespace padbridge::test
