// The simulated clock: in the coarse mode it reads and waits as a real Windows clock does, in
// 15 and 16 ms steps, while events still wake a waiter the moment they happen.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "os/os.h"
#include "os/sim/sim.h"

namespace {

// Moves the true time to `elapsedMs`, as a handler that takes that long would.
void AdvanceTo(uint64_t elapsedMs) {
    sim::Current().now = sim::kStartTick + elapsedMs;
}

uint64_t TickElapsed() {
    return os::GetTickCount64() - sim::kStartTick;
}

TEST(SimClockTest, CoarseTickShowsOnlyTheLastInterrupt) {
    struct Case {
        uint64_t trueMs;
        uint64_t tickMs;
    };
    // Interrupt k falls at k * 15.625 ms and shows as that time rounded down; a whole-millisecond
    // true time sees it from the millisecond at or after it.
    const Case cases[] = {
        {0, 0},       {1, 0},       {15, 0},      {16, 15},     {31, 15},     {32, 31},
        {47, 46},     {62, 46},     {63, 62},     {78, 62},     {79, 78},     {999, 984},
        {1000, 1000}, {1015, 1000}, {1016, 1015}, {2000, 2000}, {2031, 2015}, {2032, 2031},
    };
    for (const Case& c : cases) {
        sim::Reset();
        sim::SetClockMode(sim::ClockMode::kCoarse);
        AdvanceTo(c.trueMs);
        EXPECT_EQ(TickElapsed(), c.tickMs) << "true " << c.trueMs;
        sim::SetClockMode(sim::ClockMode::kFine);
        EXPECT_EQ(TickElapsed(), c.trueMs) << "true " << c.trueMs;
    }
}

TEST(SimClockTest, CoarseStepsAreFifteenOrSixteenAndAverageThePeriod) {
    sim::Reset();
    sim::SetClockMode(sim::ClockMode::kCoarse);
    std::vector<uint64_t> steps;
    uint64_t last = TickElapsed();
    for (uint64_t ms = 1; ms <= 1000; ++ms) {
        AdvanceTo(ms);
        const uint64_t tick = TickElapsed();
        if (tick != last) steps.push_back(tick - last);
        last = tick;
    }
    ASSERT_EQ(steps.size(), 64u);  // 64 interrupts a second
    for (uint64_t step : steps) EXPECT_TRUE(step == 15 || step == 16) << step;
    EXPECT_EQ(last, 1000u);
}

TEST(SimClockTest, ResetGoesBackToTheFineClock) {
    sim::Reset();
    sim::SetClockMode(sim::ClockMode::kCoarse);
    sim::Reset();
    EXPECT_EQ(sim::Current().clockMode, sim::ClockMode::kFine);
    AdvanceTo(7);
    EXPECT_EQ(TickElapsed(), 7u);
}

// A time-out ends at the first interrupt at or after the last tick plus the time-out, through
// both of the simulation's waits.
TEST(SimClockTest, CoarseTimeOutsEndOnlyAtAnInterrupt) {
    struct Case {
        const char* name;
        uint64_t startMs;
        uint32_t timeoutMs;
        uint64_t fineEndMs;
        uint64_t coarseEndMs;
    };
    const Case cases[] = {
        {"no time-out returns at once", 7, 0, 7, 7},
        {"1 ms just after an interrupt lasts a whole step", 16, 1, 17, 32},
        {"1 ms between interrupts reaches the next", 20, 1, 21, 32},
        {"a step's length from an interrupt", 0, 15, 15, 16},
        {"a step's length from mid-step ends early", 10, 15, 25, 16},
        {"one more than a step", 0, 16, 16, 32},
        {"the watchdog's limit", 0, 1001, 1001, 1016},
        {"the watchdog's limit seen late in a step", 15, 1001, 1016, 1016},
        {"the watchdog's limit from the next step", 16, 1001, 1017, 1032},
    };
    for (const Case& c : cases) {
        for (const sim::ClockMode mode : {sim::ClockMode::kFine, sim::ClockMode::kCoarse}) {
            const uint64_t expected = mode == sim::ClockMode::kFine ? c.fineEndMs : c.coarseEndMs;
            sim::Reset();
            sim::SetClockMode(mode);
            AdvanceTo(c.startMs);
            const os::Handle event = os::CreateManualResetEvent();
            EXPECT_EQ(os::WaitForSingleObject(event, c.timeoutMs), os::kWaitTimeout) << c.name;
            EXPECT_EQ(sim::Elapsed(), expected) << c.name;

            sim::Reset();
            sim::SetClockMode(mode);
            sim::Send(1'000'000, "x");  // keeps the input open, far beyond every case
            const os::Handle ready = os::StartInputReader();
            AdvanceTo(c.startMs);
            EXPECT_EQ(os::WaitForMultipleObjects(1, &ready, c.timeoutMs), os::kWaitTimeout)
                << c.name;
            EXPECT_EQ(sim::Elapsed(), expected) << c.name;
        }
    }
}

// Bytes from the host wake the loop when they arrive; the tick it reads then is the last
// interrupt's, never a time between steps.
TEST(SimClockTest, CoarseWaitWakesForInputMidStep) {
    sim::Reset();
    sim::SetClockMode(sim::ClockMode::kCoarse);
    sim::Send(23, "x");
    sim::CloseInput(5000);
    const os::Handle ready = os::StartInputReader();
    EXPECT_EQ(os::WaitForMultipleObjects(1, &ready, 1000), os::kWaitObject0);
    EXPECT_EQ(sim::Elapsed(), 23u);
    EXPECT_EQ(TickElapsed(), 15u);
    EXPECT_EQ(os::WaitForMultipleObjects(1, &ready, 0), os::kWaitObject0);  // still unread
}

}  // namespace
