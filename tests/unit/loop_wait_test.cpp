// How the loop waits: it wakes when a line arrives, when a driver request completes and when a
// timer is due, at that very moment on the virtual clock, and at no other time; a console control
// event ends the session as cleanly as a closed input does.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "desktop_fixture.h"
#include "os/sim/sim.h"
#include "session.h"
#include "vigem_fixture.h"

namespace padbridge {
namespace {

using test::InputLine;
using test::kBusReady;
using test::kGrant;
using test::Session;
using Lines = std::vector<std::string>;

const std::string kNoDriver = test::kNoDriverCapabilities;

std::vector<uint64_t> WakeTimes() {
    std::vector<uint64_t> times;
    for (const sim::Wait& wait : sim::Current().waits) times.push_back(wait.wokeAtMs);
    return times;
}

TEST(LoopWaitTest, NothingLiveWaitsForInputAloneHoweverLong) {
    Session session;
    sim::SendLine(0, R"({"type":"probe"})");
    sim::SendLine(600000, R"({"type":"probe"})");
    sim::CloseInput(3600000);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), (Lines{kNoDriver, kNoDriver, kNoDriver}));
    // One wake-up per line and one for the end of the input, nothing in the silences between.
    EXPECT_EQ(WakeTimes(), (std::vector<uint64_t>{0, 600000, 3600000}));
    for (const sim::Wait& wait : sim::Current().waits) EXPECT_EQ(wait.timeoutMs, os::kInfinite);
}

TEST(LoopWaitTest, LineIsHandledTheMillisecondItArrives) {
    Session session;
    test::InstallBus();
    sim::SendLine(0, kGrant);
    sim::SendLine(0, InputLine(0));
    sim::SendLine(37, InputLine(0, {0.5, 0, 0, 0}));
    sim::SendLine(38, R"({"type":"system","action":"move","x":3,"y":4})");
    sim::SendLine(501, R"({"type":"system-heartbeat"})");
    sim::CloseInput(503);
    session.Run();
    const std::vector<sim::Request> reports = sim::Current().bus.RequestsOf(sim::kSubmitReport);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[1].atMs, 37u);
    ASSERT_EQ(sim::Current().input.events.size(), 1u);
    EXPECT_EQ(sim::Current().input.events[0].at, 38u);
    // Woken by each line and by nothing else: the pad and the watchdog were not due yet.
    EXPECT_EQ(WakeTimes(), (std::vector<uint64_t>{0, 37, 38, 501, 503}));
    test::ExpectBusClean();
}

TEST(LoopWaitTest, CompletionsAndDeadlinesWakeTheLoopAtTheirTime) {
    struct Case {
        const char* name;
        sim::Answer plugIn;
        std::vector<uint64_t> wakeTimes;
        uint64_t waitReadyAt;  // when the pad moved on to its next request
    };
    const Case cases[] = {
        // The driver completes the plug-in 30 ms after its issue: the loop wakes then.
        {"completion", sim::Later(30), {0, 30, 1001}, 30},
        // It never does: the request's event is waited on, but the idle teardown comes first.
        {"held", sim::Never(), {0, 1001}, 0},
    };
    for (const Case& c : cases) {
        Session session;
        test::InstallBus();
        sim::Current().bus.Queue(sim::kPlugIn, c.plugIn);
        sim::SendLine(0, InputLine(0));
        sim::CloseInput(20000);
        session.Run();
        // The idle player is torn down at 1001, the first moment more than 1000 ms after its
        // line; after that nothing is live until the input ends.
        std::vector<uint64_t> expected = c.wakeTimes;
        expected.push_back(20000);
        EXPECT_EQ(WakeTimes(), expected) << c.name;
        const std::vector<sim::Request> ready = sim::Current().bus.RequestsOf(sim::kWaitReady);
        if (c.waitReadyAt != 0) {
            ASSERT_EQ(ready.size(), 1u) << c.name;
            EXPECT_EQ(ready[0].atMs, c.waitReadyAt) << c.name;
        } else {
            EXPECT_TRUE(ready.empty()) << c.name;
        }
        test::ExpectBusClean();
    }
}

TEST(LoopWaitTest, RequestTimeOutWakesTheLoopWhileThePlayerKeepsSending) {
    Session session;
    test::InstallBus();
    sim::Current().bus.Queue(sim::kPlugIn, sim::Never());
    for (uint64_t at = 0; at <= 10500; at += 700) sim::SendLine(at, InputLine(0));
    sim::CloseInput(10600);
    session.Run();
    const std::vector<uint64_t> wakes = WakeTimes();
    // Woken by every line and once by the plug-in's time-out at exactly 10 s.
    EXPECT_EQ(std::count(wakes.begin(), wakes.end(), 10000u), 1);
    EXPECT_EQ(session.Lines(), (Lines{kBusReady, test::ZeroRumble(0), test::DeviceRemoved(0),
                                      test::PlayerError(0, "gamepad_create_failed", 1460)}));
    test::ExpectBusClean();
}

TEST(LoopWaitTest, DriverAnsweringWithoutDelayCannotKeepTheLoopBusy) {
    // Inside DeviceIoControl, or pending and complete at the same moment (its event is set by
    // the time the loop waits): either way the driver hands back a new rumble every pass.
    const sim::Answer answers[] = {test::RumbleAtOnce(7, 0), sim::Rumble(7, 0, 0)};
    for (const sim::Answer& answer : answers) {
        Session session;
        test::InstallBus();
        sim::Current().bus.defaults[sim::kAwaitRumble] = answer;
        sim::SendLine(0, InputLine(0));
        sim::CloseInput(3000);
        EXPECT_EQ(session.Run(), 0);
        // Sixteen completions a pass, then a pause of 5 ms, until the idle teardown at 1001;
        // then nothing until the input ends.
        const std::vector<uint64_t> wakes = WakeTimes();
        ASSERT_GE(wakes.size(), 3u);
        for (std::size_t i = 1; i + 2 < wakes.size(); ++i)
            EXPECT_EQ(wakes[i] - wakes[i - 1], 5u) << i;
        EXPECT_EQ(wakes[wakes.size() - 2], 1001u);
        EXPECT_EQ(wakes.back(), 3000u);
        test::ExpectBusClean();
    }
}

TEST(LoopWaitTest, ConsoleControlEndsASessionCleanly) {
    Session session;
    test::InstallBus();
    sim::SendLine(0, kGrant);
    sim::SendLine(0, R"({"type":"system","action":"key","key":"Tab","down":true})");
    sim::SendLine(0, InputLine(0));
    for (uint64_t at = 300; at <= 900; at += 300) {
        sim::SendLine(at, InputLine(0));
        sim::SendLine(at, R"({"type":"system-heartbeat"})");
    }
    sim::SendConsoleControl(700);
    sim::CloseInput(5000);
    EXPECT_EQ(session.Run(), 0);
    // Everything held is let go and the pad unplugged with its lines; the line at 900 is never
    // handled, and nothing is written after the shutdown has finished.
    EXPECT_EQ(session.Lines(), (Lines{kBusReady, test::kGranted, test::DeviceCreated(0),
                                      test::ZeroRumble(0), test::DeviceRemoved(0)}));
    EXPECT_EQ(sim::InjectedEvents(), (test::Events{test::Down(0x09), test::Up(0x09)}));
    EXPECT_EQ(sim::Current().input.events[1].at, 700u);
    EXPECT_EQ(sim::Current().bus.RequestsOf(sim::kUnplug)[0].atMs, 700u);
    EXPECT_TRUE(sim::Current().console.shutdownFinished);
    EXPECT_EQ(sim::Current().console.outputAtFinish, sim::Current().output.size());
    test::ExpectBusClean();
}

}  // namespace
}  // namespace padbridge
