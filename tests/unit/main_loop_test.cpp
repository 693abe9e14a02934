// The main loop as whole host sessions: start-up and the command line, reading and dispatching,
// how the loop waits, when it judges a lapse, and how a session ends from outside the pipe.
//
// The loop wakes when a line arrives, when a driver request completes and when a timer is due, at
// that very moment on the virtual clock, and at no other time. The heartbeat watchdog and the
// idle check count from when a line arrived, and never lapse while a line that would keep them
// waits, however long a handler took and however long the backlog; they fire within 1000 + 20 ms
// of the arrival of the last line that armed them, on a fine clock and on a clock that moves in
// the 15.6 ms steps of a real Windows clock. Ctrl+C, Ctrl+Break, a closed console and the end of
// the Windows session stop the bridge as cleanly as a closed input, even in a stall.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "desktop_fixture.h"
#include "os/sim/sim.h"
#include "session.h"
#include "version.h"
#include "vigem_fixture.h"

namespace padbridge {
namespace {

using sim::ClockMode;
using test::DeviceCreated;
using test::DeviceRemoved;
using test::Down;
using test::Events;
using test::ExpectBusClean;
using test::InputLine;
using test::InstallBus;
using test::kBusReady;
using test::kDriverRequired;
using test::kGrant;
using test::kGranted;
using test::kNoDriverCapabilities;
using test::PlayerError;
using test::SerialsOf;
using test::Session;
using test::Up;
using test::ZeroRumble;
using Lines = std::vector<std::string>;

constexpr uint16_t kTab = 0x09;
const char* const kHeartbeat = R"({"type":"system-heartbeat"})";
const char* const kTabDown = R"({"type":"system","action":"key","key":"Tab","down":true})";
const char* const kMove = R"({"type":"system","action":"move","x":1,"y":1})";
const std::string kMoveEvent = sim::MouseEvent(1, 1, 0, 0x1);
// A key held and a pad alive from 0 on, through the bus.
void StartHoldingTabAndPad() {
    InstallBus();
    sim::SendLine(0, kGrant);
    sim::SendLine(0, kTabDown);
    sim::SendLine(0, InputLine(0));
}

void KeepAlive(uint64_t atMs) {
    sim::SendLine(atMs, kHeartbeat);
    sim::SendLine(atMs, InputLine(0, {0.125, -0.5, 0.25, 1}));
}

// What the host reads when the key and the pad are let go, by a lapse or by a shutdown.
const Lines kHeldThenLetGo = {kBusReady, kGranted, DeviceCreated(0), ZeroRumble(0),
                              DeviceRemoved(0)};

uint64_t TabUpAt() {
    const std::vector<sim::InjectedEvent>& events = sim::Current().input.events;
    return events.empty() ? 0 : events.back().at;
}

uint64_t UnplugAt() {
    const std::vector<sim::Request> unplugs = sim::Current().bus.RequestsOf(sim::kUnplug);
    return unplugs.size() == 1 ? unplugs[0].atMs : 0;
}

std::vector<uint64_t> WakeTimes() {
    std::vector<uint64_t> times;
    for (const sim::Wait& wait : sim::Current().waits) times.push_back(wait.wokeAtMs);
    return times;
}

// ---- Start-up, the command line, reading and dispatching ----

TEST(MainLoopTest, StartUpOrderAndAnEmptyInput) {
    // Nothing scripted: the input ends at once, as `padbridge.exe < NUL` does.
    Session session;
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), std::vector<std::string>{kNoDriverCapabilities});
    EXPECT_EQ(sim::Current().defaultDllDirectories, 0x800u);
    EXPECT_TRUE(sim::Current().streamsPrepared);
    EXPECT_TRUE(sim::Current().pipe.readerStarted);
    EXPECT_TRUE(sim::Current().console.shutdownFinished);
}

TEST(MainLoopTest, InputThatCannotBeReadEndsTheSessionCleanly) {
    Session session;
    sim::Current().pipe.readerFails = true;
    sim::SendLine(0, R"({"type":"probe"})");
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), std::vector<std::string>{kNoDriverCapabilities});
    EXPECT_TRUE(sim::Current().console.shutdownFinished);
}

TEST(MainLoopTest, CommandLineRules) {
    struct Case {
        std::vector<std::u16string> arguments;
        const char16_t* expectedPath;  // null: no vJoy library path
    };
    const Case cases[] = {
        {{}, nullptr},
        {{u"--vjoy-dll"}, nullptr},
        {{u"--vjoy-dll", u"C:\\v.dll"}, u"C:\\v.dll"},
        {{u"--vjoy-dll", u"C:\\v.dll", u"extra"}, u"C:\\v.dll"},
        {{u"--VJOY-DLL", u"C:\\v.dll"}, nullptr},
        {{u"--other", u"--vjoy-dll", u"C:\\v.dll"}, u"C:\\v.dll"},  // in any place
        {{u"--self-testing"}, nullptr},
        {{u"--Version"}, nullptr},
        {{u"--version2"}, nullptr},
        {{u"--versio"}, nullptr},
        {{u"--other", u"--version"}, nullptr},
        {{u"--vjoy-dll", u"--version"}, u"--version"},
    };
    for (const Case& c : cases) {
        Session session;
        sim::CloseInput(0);
        std::vector<std::u16string> arguments = c.arguments;
        EXPECT_EQ(session.Run(arguments), 0);
        const os::WideChar* path = session.bridge->vjoy.libraryPath;
        if (c.expectedPath == nullptr) {
            EXPECT_EQ(path, nullptr);
        } else {
            ASSERT_NE(path, nullptr);
            EXPECT_EQ(std::u16string(path), c.expectedPath);
        }
        EXPECT_EQ(session.Lines(),
                  std::vector<std::string>{kNoDriverCapabilities});  // a normal run
    }
}

TEST(MainLoopTest, VersionFirstPrintsOneLineAndNothingElseRuns) {
    const std::vector<std::u16string> commandLines[] = {
        {u"--version"},
        {u"--version", u"--self-test"},
        {u"--version", u"--vjoy-dll", u"C:\\v.dll"},
    };
    for (const std::vector<std::u16string>& arguments : commandLines) {
        Session session;
        InstallBus();
        sim::Current().vjoy.installedPath = u"C:\\v.dll";
        sim::SendLine(0, R"({"type":"probe"})");  // waits unread: stdin is never looked at
        sim::CloseInput(0);
        EXPECT_EQ(session.Run(arguments), 0);
        EXPECT_EQ(sim::Current().output, test::Crlf(test::VersionLine(PADBRIDGE_VERSION)));
        EXPECT_EQ(sim::Current().outputWrites, 1u);
        EXPECT_EQ(sim::Current().defaultDllDirectories, 0u);
        EXPECT_FALSE(sim::Current().streamsPrepared);
        EXPECT_FALSE(sim::Current().pipe.readerStarted);
        EXPECT_FALSE(sim::Current().console.watched);
        EXPECT_EQ(sim::Current().bus.enumCalls, 0u);
        EXPECT_TRUE(sim::Current().vjoy.loadAttempts.empty());
    }
}

// Everything that waits is taken in 2048-byte chunks and dispatched in the same pass.
TEST(MainLoopTest, ReadsInChunksAndDispatchesEverythingThatWaits) {
    Session session;
    std::string burst;
    for (int i = 0; i < 60; ++i) burst += InputLine(i % 8) + "\n";  // about 5 KB at once
    ASSERT_GT(burst.size(), 4096u);
    sim::Send(0, burst);
    sim::CloseInput(0);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(sim::Current().pipe.largestTake, 2048u);
    EXPECT_EQ(session.Lines().size(), 61u);
    // While input waited, no wait slept.
    for (const sim::Wait& wait : sim::Current().waits) EXPECT_EQ(wait.wokeAtMs, 0u);
}

// A burst longer than a chunk: the pad's lines come after the lines of the chunk that created it
// and before the rest, as when each chunk had a pass of its own.
TEST(MainLoopTest, PadLinesFollowTheChunkThatCreatedThePad) {
    Session session;
    InstallBus();
    const std::string probe = R"({"type":"probe"})";
    std::string burst = InputLine(0) + "\n";
    const std::size_t firstChunkProbes = (2048 - burst.size()) / (probe.size() + 1);
    while (burst.size() < 3000) burst += probe + "\n";
    const std::size_t probes = (burst.size() - InputLine(0).size() - 1) / (probe.size() + 1);
    sim::Send(0, burst);
    sim::CloseInput(0);
    EXPECT_EQ(session.Run(), 0);
    std::vector<std::string> expected(1 + firstChunkProbes, kBusReady);
    expected.push_back(DeviceCreated(0));
    expected.insert(expected.end(), probes - firstChunkProbes, kBusReady);
    expected.push_back(ZeroRumble(0));
    expected.push_back(DeviceRemoved(0));
    EXPECT_EQ(session.Lines(), expected);
}

TEST(MainLoopTest, EveryLineWrittenWholeEndingInCrLf) {
    Session session;
    sim::SendLine(0, InputLine(0));
    sim::SendLine(0, R"({"type":"probe"})");
    sim::CloseInput(0);
    session.Run();
    const std::string& out = sim::Current().output;
    EXPECT_EQ(out, test::Crlf(kNoDriverCapabilities, kDriverRequired, kNoDriverCapabilities));
    EXPECT_EQ(sim::Current().outputWrites, 3u);
}

TEST(MainLoopTest, PipeClosedMidLineDropsThePartialLine) {
    Session session;
    sim::Send(0, InputLine(0));  // no line feed
    sim::CloseInput(50);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), std::vector<std::string>{kNoDriverCapabilities});
}

TEST(MainLoopTest, PlayersExpiringInOneTickAreTornDownInAscendingOrder) {
    test::OnEachClock([](Session& session, sim::ClockMode mode) {
        InstallBus();
        sim::SendLine(0, InputLine(5));
        sim::SendLine(0, InputLine(2));
        sim::SendLine(400, InputLine(5));
        sim::SendLine(400, InputLine(2));
        sim::CloseInput(3000);
        session.Run();
        EXPECT_EQ(session.Lines(), (std::vector<std::string>{
                                       kBusReady, DeviceCreated(2), DeviceCreated(5), ZeroRumble(2),
                                       DeviceRemoved(2), ZeroRumble(5), DeviceRemoved(5)}));
        // Player 5 asked first and got serial 1. Both went in the same pass, 1001 ms after
        // their last input at 400; on the coarse clock that input read the tick of 390, and the
        // lapse due at 1391 is seen at the interrupt of 1406.25.
        const std::vector<sim::Request> unplugs = sim::Current().bus.RequestsOf(sim::kUnplug);
        ASSERT_EQ(unplugs.size(), 2u);
        EXPECT_EQ(unplugs[0].atMs, mode == sim::ClockMode::kFine ? 1401u : 1407u);
        EXPECT_EQ(SerialsOf(sim::kUnplug), (std::vector<uint32_t>{2, 1}));
    });
}

TEST(IdlePlayerCheckTest, MoreThanOneSecondOnUnsignedTicks) {
    struct Case {
        uint64_t last;
        uint64_t now;
        bool tornDown;
    };
    const Case cases[] = {
        {0, 99999, false},  // not set
        {1000, 2000, false},
        {1000, 2001, true},
        {1000, 1000, false},
        // A stamp taken after the loop's tick sample, by a line handled later in the same pass:
        // not a lapse, however the unsigned difference would wrap.
        {5000, 900, false},
        {~uint64_t{0}, 1, false},
        {1, ~uint64_t{0}, true},
    };
    for (const Case& c : cases) {
        Session session;
        session.bridge->players.lastInputTick[4] = c.last;
        EXPECT_EQ(CheckIdlePlayer(session.bridge->players, session.bridge->bus,
                                  session.bridge->vjoy, session.bridge->output, 4, c.now),
                  c.tornDown)
            << c.last << " " << c.now;
        EXPECT_EQ(session.bridge->players.lastInputTick[4], c.tornDown ? 0u : c.last);
    }
}

// ---- How the loop waits ----

TEST(LoopWaitTest, NothingLiveWaitsForInputAloneHoweverLong) {
    Session session;
    sim::SendLine(0, R"({"type":"probe"})");
    sim::SendLine(600000, R"({"type":"probe"})");
    sim::CloseInput(3600000);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(),
              (Lines{kNoDriverCapabilities, kNoDriverCapabilities, kNoDriverCapabilities}));
    // One wake-up per line and one for the end of the input, nothing in the silences between.
    EXPECT_EQ(WakeTimes(), (std::vector<uint64_t>{0, 600000, 3600000}));
    for (const sim::Wait& wait : sim::Current().waits) EXPECT_EQ(wait.timeoutMs, os::kInfinite);
}

TEST(LoopWaitTest, LineIsHandledTheMillisecondItArrives) {
    Session session;
    InstallBus();
    sim::SendLine(0, kGrant);
    sim::SendLine(0, InputLine(0));
    sim::SendLine(37, InputLine(0, {0.5, 0, 0, 0}));
    sim::SendLine(38, R"({"type":"system","action":"move","x":3,"y":4})");
    sim::SendLine(501, kHeartbeat);
    sim::CloseInput(503);
    session.Run();
    const std::vector<sim::Request> reports = sim::Current().bus.RequestsOf(sim::kSubmitReport);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[1].atMs, 37u);
    ASSERT_EQ(sim::Current().input.events.size(), 1u);
    EXPECT_EQ(sim::Current().input.events[0].at, 38u);
    // Woken by each line and by nothing else: the pad and the watchdog were not due yet.
    EXPECT_EQ(WakeTimes(), (std::vector<uint64_t>{0, 37, 38, 501, 503}));
    ExpectBusClean();
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
        InstallBus();
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
        ExpectBusClean();
    }
}

TEST(LoopWaitTest, RequestTimeOutWakesTheLoopWhileThePlayerKeepsSending) {
    Session session;
    InstallBus();
    sim::Current().bus.Queue(sim::kPlugIn, sim::Never());
    for (uint64_t at = 0; at <= 10500; at += 700) sim::SendLine(at, InputLine(0));
    sim::CloseInput(10600);
    session.Run();
    const std::vector<uint64_t> wakes = WakeTimes();
    // Woken by every line and once by the plug-in's time-out at exactly 10 s.
    EXPECT_EQ(std::count(wakes.begin(), wakes.end(), 10000u), 1);
    EXPECT_EQ(session.Lines(), (Lines{kBusReady, ZeroRumble(0), DeviceRemoved(0),
                                      PlayerError(0, "gamepad_create_failed", 1460)}));
    ExpectBusClean();
}

TEST(LoopWaitTest, DriverAnsweringWithoutDelayCannotKeepTheLoopBusy) {
    // Inside DeviceIoControl, or pending and complete at the same moment (its event is set by
    // the time the loop waits): either way the driver hands back a new rumble every pass.
    const sim::Answer answers[] = {test::RumbleAtOnce(7, 0), sim::Rumble(7, 0, 0)};
    for (const sim::Answer& answer : answers) {
        Session session;
        InstallBus();
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
        ExpectBusClean();
    }
}

TEST(LoopWaitTest, ConsoleControlEndsASessionCleanly) {
    Session session;
    InstallBus();
    sim::SendLine(0, kGrant);
    sim::SendLine(0, R"({"type":"system","action":"key","key":"Tab","down":true})");
    sim::SendLine(0, InputLine(0));
    for (uint64_t at = 300; at <= 900; at += 300) {
        sim::SendLine(at, InputLine(0));
        sim::SendLine(at, kHeartbeat);
    }
    sim::SendConsoleControl(700);
    sim::CloseInput(5000);
    EXPECT_EQ(session.Run(), 0);
    // Everything held is let go and the pad unplugged with its lines; the line at 900 is never
    // handled, and nothing is written after the shutdown has finished.
    EXPECT_EQ(session.Lines(),
              (Lines{kBusReady, kGranted, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0)}));
    EXPECT_EQ(sim::InjectedEvents(), (Events{Down(kTab), Up(kTab)}));
    EXPECT_EQ(sim::Current().input.events[1].at, 700u);
    EXPECT_EQ(sim::Current().bus.RequestsOf(sim::kUnplug)[0].atMs, 700u);
    EXPECT_TRUE(sim::Current().console.shutdownFinished);
    EXPECT_EQ(sim::Current().console.outputAtFinish, sim::Current().output.size());
    ExpectBusClean();
}

// ---- When the loop judges a lapse, and stops asked from outside ----

// Lines every `gap` ms, each just in time: nothing lapses until the host falls silent. The
// expected times are the first clock interrupt at or after the last stamp plus 1001 ms.
TEST(LoopLapseTest, HeartbeatsAndInputSentInTimeAreNeverJudgedLapsed) {
    struct Case {
        uint64_t startMs;
        uint64_t gapMs;
        int count;
        uint64_t fineReleaseMs;
        uint64_t coarseReleaseMs;
    };
    const Case cases[] = {
        {0, 1000, 4, 5001, 5016},   {15, 1000, 4, 5016, 5016},  {16, 1000, 4, 5017, 5032},
        {7, 999, 5, 6003, 6016},    {500, 250, 10, 4001, 4016}, {31, 1000, 2, 3032, 3032},
        {999, 1000, 1, 3000, 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("start " + std::to_string(c.startMs) + ", gap " + std::to_string(c.gapMs));
        test::OnEachClock([&](Session& session, ClockMode mode) {
            InstallBus();
            sim::SendLine(c.startMs, kGrant);
            sim::SendLine(c.startMs, kTabDown);
            sim::SendLine(c.startMs, InputLine(0));
            uint64_t last = c.startMs;
            for (int i = 1; i <= c.count; ++i) {
                last = c.startMs + c.gapMs * static_cast<uint64_t>(i);
                KeepAlive(last);
            }
            sim::CloseInput(last + 3000);
            EXPECT_EQ(session.Run(), 0);
            const uint64_t release = mode == ClockMode::kFine ? c.fineReleaseMs : c.coarseReleaseMs;
            EXPECT_EQ(sim::InjectedEvents(), (Events{Down(kTab), Up(kTab)}));
            EXPECT_EQ(TabUpAt(), release);
            EXPECT_EQ(UnplugAt(), release);
            EXPECT_LE(release - last, 1020u);
            EXPECT_EQ(session.Lines(), kHeldThenLetGo);
            ExpectBusClean();
        });
    }
}

// A SendInput held up by a slow low-level hook stalls the loop while the host goes on sending:
// more than 20 KB of heartbeats and input arrive meanwhile. Nothing may lapse on their account,
// whether the stalling line ends its delivery or lines stamped after the stall follow it.
TEST(LoopLapseTest, BacklogArrivingDuringAStallIsHandledBeforeAnyLapse) {
    struct Case {
        const char* name;
        bool linesAfterStall;  // heartbeat and input in the stalling line's own delivery
        uint64_t stallMs;
        uint64_t lastMs;
        uint64_t fineReleaseMs;
        uint64_t coarseReleaseMs;
    };
    const Case cases[] = {
        {"stalling line alone", false, 1500, 3000, 4001, 4016},
        {"lines stamped after the stall follow it", true, 1500, 3000, 4001, 4016},
        {"a stall just short of the limit", false, 990, 3007, 4008, 4016},
        {"a stall of several seconds", true, 4000, 6000, 7001, 7016},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, ClockMode mode) {
            StartHoldingTabAndPad();
            sim::Current().input.slowCalls[1] = c.stallMs;  // the move; Tab's down is call 0
            for (uint64_t at = 100; at <= 400; at += 100) KeepAlive(at);
            std::string stallDelivery = std::string(kMove) + "\n";
            if (c.linesAfterStall)
                stallDelivery += std::string(kHeartbeat) + "\n" + InputLine(0) + "\n";
            sim::Send(500, stallDelivery);
            const std::size_t before = sim::Current().pipe.bytes.size();
            for (uint64_t at = 505; at < 500 + c.stallMs; at += 5) KeepAlive(at);
            ASSERT_GE(sim::Current().pipe.bytes.size() - before, 20u * 1024);
            for (uint64_t at = 600 + c.stallMs; at <= c.lastMs; at += 100) KeepAlive(at);
            KeepAlive(c.lastMs);
            sim::CloseInput(c.lastMs + 3000);
            EXPECT_EQ(session.Run(), 0);

            const uint64_t release = mode == ClockMode::kFine ? c.fineReleaseMs : c.coarseReleaseMs;
            EXPECT_EQ(sim::InjectedEvents(), (Events{Down(kTab), kMoveEvent, Up(kTab)}));
            EXPECT_EQ(TabUpAt(), release);
            EXPECT_EQ(UnplugAt(), release);
            EXPECT_LE(release - c.lastMs, 1020u);
            EXPECT_EQ(session.Lines(), kHeldThenLetGo);
            ExpectBusClean();
        });
    }
}

// A host that writes faster than the handlers run: each pass takes only what had arrived when it
// began, so the timers still run between passes instead of after the flood.
TEST(LoopLapseTest, FloodingHostCannotHoldTheTimersBack) {
    test::OnEachClock([&](Session& session, ClockMode mode) {
        sim::SendLine(0, kGrant);
        sim::SendLine(0, kTabDown);
        for (uint32_t call = 1; call <= 401; ++call) sim::Current().input.slowCalls[call] = 10;
        for (uint64_t at = 0; at <= 2000; at += 5) sim::SendLine(at, kMove);
        sim::CloseInput(10000);
        EXPECT_EQ(session.Run(), 0);
        // 401 moves of 10 ms each arrive twice as fast as they are handled, yet the loop comes
        // back to its wait (and its timers) every few of them.
        uint32_t passesDuringFlood = 0;
        for (const sim::Wait& wait : sim::Current().waits) {
            EXPECT_NE(wait.result, os::kWaitFailed);
            passesDuringFlood += wait.atMs > 0 && wait.atMs < 4000;
        }
        EXPECT_GE(passesDuringFlood, 5u);
        const std::vector<sim::InjectedEvent>& events = sim::Current().input.events;
        ASSERT_EQ(events.size(), 403u);
        // The last move arrived at 2000, and the watchdog counts from its arrival: Tab goes up
        // between two moves once a second has passed since then (a move's SendInput, 10 ms, is
        // the one thing a lapse waits for), while the rest of the backlog is still being
        // handled (on the coarse clock, the first look after the tick of 3000). The release is
        // one more slow call, so the last move is handled from 4010 to 4020, when the backlog
        // runs out.
        std::size_t up = 0;
        while (up < events.size() && sim::DescribeEvent(events[up]) != Up(kTab)) ++up;
        ASSERT_LT(up, events.size());
        EXPECT_EQ(events[up].at, mode == ClockMode::kFine ? 3010u : 3020u);
        EXPECT_LE(events[up].at - 2000, 1020u);
        EXPECT_EQ(sim::DescribeEvent(events[402]), kMoveEvent);
        EXPECT_EQ(events[402].at, 4010u);
    });
}

// A press whose line waited more than a second for its turn (behind a SendInput that a hook held)
// is not carried out; a release, and every other action, is, however late. The host keeps the
// watchdog armed with heartbeats throughout, so only the line's own age counts.
TEST(LoopLapseTest, PressThatLapsedBeforeItsTurnDoesNothing) {
    const std::string kMouseDown = R"({"type":"system","action":"click","button":0,"down":true})";
    const std::string kSideDown =
        R"({"type":"system","action":"button","button":"back","down":true})";
    const char* const kTabUp = R"({"type":"system","action":"key","key":"Tab","down":false})";
    struct Case {
        const char* name;
        bool holdTab;      // Tab goes down at 0
        std::string line;  // sent at 200, during the stall of the move at 100
        uint64_t stallMs;
        Events events;
        uint64_t fineUpAt;  // the last event's time: Tab's up, by the host or at the end
        uint64_t coarseUpAt;
    };
    const Case cases[] = {
        {"key down 800 ms late",
         false,
         kTabDown,
         900,
         {kMoveEvent, Down(kTab), Up(kTab)},
         3500,
         3500},
        {"key down 1200 ms late", false, kTabDown, 1300, {kMoveEvent}, 100, 100},
        {"click down 1200 ms late", false, kMouseDown, 1300, {kMoveEvent}, 100, 100},
        {"side button down 1200 ms late", false, kSideDown, 1300, {kMoveEvent}, 100, 100},
        {"key up 1400 ms late", true, kTabUp, 1500, {Down(kTab), kMoveEvent, Up(kTab)}, 1600, 1600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, ClockMode mode) {
            sim::SendLine(0, kGrant);
            if (c.holdTab) sim::SendLine(0, kTabDown);
            sim::SendLine(100, kMove);
            sim::Current().input.slowCalls[c.holdTab ? 1 : 0] = c.stallMs;
            sim::SendLine(200, c.line);
            for (uint64_t at = 300; at <= 3000; at += 100) sim::SendLine(at, kHeartbeat);
            sim::CloseInput(3500);
            EXPECT_EQ(session.Run(), 0);
            EXPECT_EQ(sim::InjectedEvents(), c.events);
            EXPECT_EQ(TabUpAt(), mode == ClockMode::kFine ? c.fineUpAt : c.coarseUpAt);
            EXPECT_EQ(session.Lines(), (Lines{kNoDriverCapabilities, kGranted}));
        });
    }
}

// Asking the bridge to stop at 700, while a SendInput stalls it from 600 to 1400. What reaches it
// stops it at the end of the stall with everything let go; what Windows withholds (log-off and
// shutdown as console events, or the session's end with no window to tell) leaves it running
// until the host falls silent at 2000 and closes at 5000.
TEST(LoopLapseTest, StopRequestsDuringAStall) {
    enum class Request { kConsole, kSessionEnd, kSessionEndWithoutWindow };
    struct Case {
        const char* name;
        Request request;
        sim::ConsoleEvent event;
        bool stops;
    };
    const Case cases[] = {
        {"Ctrl+C", Request::kConsole, sim::ConsoleEvent::kCtrlC, true},
        {"Ctrl+Break", Request::kConsole, sim::ConsoleEvent::kCtrlBreak, true},
        {"console closed", Request::kConsole, sim::ConsoleEvent::kClose, true},
        {"log-off", Request::kSessionEnd, {}, true},
        {"log-off as a console event", Request::kConsole, sim::ConsoleEvent::kLogoff, false},
        {"shutdown as a console event", Request::kConsole, sim::ConsoleEvent::kShutdown, false},
        {"log-off with no window", Request::kSessionEndWithoutWindow, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, ClockMode mode) {
            StartHoldingTabAndPad();
            sim::Current().input.slowCalls[1] = 800;
            std::size_t takenBeforeStall = 0;
            for (uint64_t at = 100; at <= 2000; at += 100) {
                KeepAlive(at);
                if (at != 600) continue;
                sim::SendLine(at, kMove);
                takenBeforeStall = sim::Current().pipe.bytes.size();
            }
            if (c.request == Request::kConsole) {
                sim::SendConsoleControl(700, c.event);
                sim::SendConsoleControl(800, c.event);  // a second press changes nothing
            } else {
                sim::EndSession(700);
                sim::Current().console.windowFails = c.request == Request::kSessionEndWithoutWindow;
            }
            sim::CloseInput(5000);
            EXPECT_EQ(session.Run(), 0);

            const uint64_t coarseLapse = 3016;  // the interrupt after 2000 + 1001
            const uint64_t letGoAt = c.stops ? 1400 : mode == ClockMode::kFine ? 3001 : coarseLapse;
            EXPECT_EQ(sim::InjectedEvents(), (Events{Down(kTab), kMoveEvent, Up(kTab)}));
            EXPECT_EQ(TabUpAt(), letGoAt);
            EXPECT_EQ(UnplugAt(), letGoAt);
            EXPECT_EQ(session.Lines(), kHeldThenLetGo);
            const sim::ConsoleControl& console = sim::Current().console;
            EXPECT_TRUE(console.shutdownFinished);
            EXPECT_EQ(console.finishedAtMs, c.stops ? 1400u : 5000u);
            EXPECT_EQ(console.outputAtFinish, sim::Current().output.size());
            if (c.stops) {
                EXPECT_LT(console.finishedAtMs - 700, sim::kEndOfSessionLimitMs);
            }
            // Stopped at the end of the stall, none of the lines sent during it is taken.
            if (c.stops) {
                EXPECT_EQ(sim::Current().pipe.consumed, takenBeforeStall);
            }
            ExpectBusClean();
        });
    }
}

// A closed console or the session's end holds the process only about 5 s: a shutdown that comes
// later than that is one Windows would have cut short, and the simulation says so.
TEST(LoopLapseTest, ShutdownLaterThanTheSystemWaitsIsAFault) {
    struct Case {
        const char* name;
        sim::ConsoleEvent event;
        bool sessionEnd;
        uint64_t stallMs;
        bool cutShort;
    };
    const Case cases[] = {
        {"console closed, shut down in time", sim::ConsoleEvent::kClose, false, 4000, false},
        {"console closed, stalled too long", sim::ConsoleEvent::kClose, false, 6000, true},
        {"log-off, shut down in time", {}, true, 4000, false},
        {"log-off, stalled too long", {}, true, 6000, true},
        {"Ctrl+C holds nothing", sim::ConsoleEvent::kCtrlC, false, 6000, false},
    };
    for (const Case& c : cases) {
        Session session;
        sim::SendLine(0, kGrant);
        sim::SendLine(0, kTabDown);
        sim::SendLine(600, kMove);
        sim::Current().input.slowCalls[1] = c.stallMs;
        if (c.sessionEnd) {
            sim::EndSession(700);
        } else {
            sim::SendConsoleControl(700, c.event);
        }
        sim::CloseInput(20000);
        EXPECT_EQ(session.Run(), 0) << c.name;
        EXPECT_EQ(sim::Current().console.finishedAtMs, 600 + c.stallMs) << c.name;
        const std::vector<std::string>& faults = sim::Current().bus.faults;
        EXPECT_EQ(faults, c.cutShort ? std::vector<std::string>{"the system ended the process "
                                                                "before its shutdown finished"}
                                     : std::vector<std::string>{})
            << c.name;
    }
}

// The simulation's wait fails as Win32's does for what Win32 refuses, and the loop never asks it.
TEST(LoopLapseTest, WaitForMultipleObjectsRefusesWhatWin32Refuses) {
    struct Case {
        const char* name;
        uint32_t count;
        bool duplicate;
        bool refused;
    };
    const Case cases[] = {
        {"no handles", 0, false, true},      {"one handle", 1, false, false},
        {"64 handles", 64, false, false},    {"65 handles", 65, false, true},
        {"one handle twice", 2, true, true}, {"the last of 64 twice", 64, true, true},
    };
    for (const Case& c : cases) {
        sim::Reset();
        std::vector<os::Handle> handles;
        for (uint32_t i = 0; i < c.count; ++i) handles.push_back(os::CreateManualResetEvent());
        if (c.duplicate) handles.back() = handles.front();
        sim::Current().lastError = 0;
        const uint32_t result = os::WaitForMultipleObjects(c.count, handles.data(), 10);
        EXPECT_EQ(result == os::kWaitFailed, c.refused) << c.name;
        EXPECT_EQ(os::GetLastError(), c.refused ? os::kErrorInvalidParameter : 0u) << c.name;
        EXPECT_EQ(sim::Current().bus.faults.size(), c.refused ? 1u : 0u) << c.name;
        EXPECT_EQ(sim::Elapsed(), c.refused ? 0u : 10u) << c.name;  // a refused wait waits not
    }
}

}  // namespace
}  // namespace padbridge
