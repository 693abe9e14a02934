// A bus driver that is slow or stuck never holds the loop: the watchdog lifts a held key on
// time, other players keep their pads, and a pad's teardown lines still come in their order.
// Every scenario runs on the fine clock and on the coarse clock of a real Windows machine.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "desktop_fixture.h"
#include "os/sim/sim.h"
#include "session.h"
#include "vigem_fixture.h"
#include "vjoy_session.h"

namespace padbridge {
namespace {

using test::DeviceCreated;
using test::DeviceRemoved;
using test::ExpectBusClean;
using test::InputLine;
using test::kBusReady;
using test::kGranted;
using test::PlayerError;
using test::Session;
using test::ZeroRumble;
using Lines = std::vector<std::string>;

const char* const kHeartbeat = R"({"type":"system-heartbeat"})";
const std::string kKeyADown = test::System(R"("action":"key","key":"KeyA","down":true)");

// When each KeyA up was injected, in milliseconds after the start.
std::vector<uint64_t> KeyAUps() {
    std::vector<uint64_t> at;
    const std::string up = test::Up(0x41);
    for (const sim::InjectedEvent& event : sim::Current().input.events) {
        if (sim::DescribeEvent(event) == up) at.push_back(event.at);
    }
    return at;
}

// Times on the fine clock are exact. On the coarse one a tick is read up to a step late or early
// (15.6 ms), so a time may move by that much, and never more than the 20 ms a lapse may take.
void ExpectTimes(const std::vector<uint64_t>& actual, const std::vector<uint64_t>& fine,
                 sim::ClockMode mode) {
    if (mode == sim::ClockMode::kFine) {
        EXPECT_EQ(actual, fine);
        return;
    }
    ASSERT_EQ(actual.size(), fine.size());
    for (std::size_t i = 0; i < fine.size(); ++i) {
        EXPECT_LE(actual[i], fine[i] + 20) << i;
        EXPECT_GE(actual[i] + 16, fine[i]) << i;
    }
}

// The slowest answer that a request with a 1000 ms time-out surely gets in time. The time-out is
// counted on the ticks, and on the coarse clock the tick at issue may lag the true time by up to
// a step, so a request answered after 990 ms may already count as late there, as on Windows.
uint64_t SlowAnswerMs(sim::ClockMode mode) {
    return mode == sim::ClockMode::kFine ? 990 : 984;
}

std::vector<uint64_t> TimesOf(uint32_t code) {
    std::vector<uint64_t> at;
    for (const sim::Request& r : sim::Current().bus.RequestsOf(code)) at.push_back(r.atMs);
    return at;
}

// A report the driver never answers, and a cancellation that takes its time: the pad fails at
// the report's time-out, the key held since 0 goes up at 1001 all the same, and the pad's
// records are given back once the driver lets go of them.
TEST(DriverStallTest, UnansweredReportWithASlowCancellation) {
    struct Case {
        const char* name;
        uint64_t cancelMs;
    };
    for (const Case& c : {Case{"cancelled at once", 0}, Case{"cancellation takes 5 s", 5000},
                          Case{"cancellation takes 900 ms", 900}}) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, sim::ClockMode mode) {
            test::InstallBus();
            sim::Bus& bus = sim::Current().bus;
            bus.cancelMs = c.cancelMs;
            bus.Queue(sim::kSubmitReport, sim::Never());
            bus.Queue(sim::kAwaitRumble, sim::Never());
            sim::Answer quickToCancel =
                sim::Never();  // the second pad's, so that shutdown is quick
            quickToCancel.cancelMs = 0;
            bus.Queue(sim::kAwaitRumble, quickToCancel);
            sim::SendLine(0, test::kGrant);
            sim::SendLine(0, kKeyADown);
            sim::SendLine(0, InputLine(0));
            sim::SendLine(500, InputLine(0));
            sim::SendLine(6500, InputLine(0));  // after the retry window: a new pad
            sim::CloseInput(7000);
            EXPECT_EQ(session.Run(), 0);

            ExpectTimes(KeyAUps(), {1001}, mode);
            EXPECT_EQ(session.Lines(),
                      (Lines{kBusReady, kGranted, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0),
                             PlayerError(0, "gamepad_update_failed", 1460), DeviceCreated(0),
                             ZeroRumble(0), DeviceRemoved(0)}));
            ExpectTimes(TimesOf(sim::kUnplug), {1000, 7000}, mode);
            ExpectTimes(TimesOf(sim::kPlugIn), {0, 6500}, mode);
            EXPECT_EQ(test::SerialsOf(sim::kPlugIn), (std::vector<uint32_t>{1, 1}));
            // The loop never slept through the cancellation: it woke for the watchdog at 1001.
            bool wokeForWatchdog = false;
            for (const sim::Wait& wait : sim::Current().waits)
                wokeForWatchdog |= wait.wokeAtMs >= 1001 && wait.wokeAtMs <= 1020;
            EXPECT_TRUE(wokeForWatchdog);
            ExpectBusClean();
        });
    }
}

// Another player's teardown with a driver that takes 990 ms for each of its two requests: the
// player who keeps sending keeps the pad, the key held with heartbeats stays down, and the
// torn-down player's lines come in order once the driver has answered.
TEST(DriverStallTest, SlowTeardownOfAnotherPlayer) {
    struct Case {
        const char* name;
        bool slow;  // each request takes SlowAnswerMs, else the driver answers at once
    };
    const Case cases[] = {{"driver answers at once", false},
                          {"driver takes ~990 ms a request", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, sim::ClockMode mode) {
            test::InstallBus();
            sim::Bus& bus = sim::Current().bus;
            const uint64_t answerMs = c.slow ? SlowAnswerMs(mode) : 0;
            if (c.slow) {
                bus.defaults[sim::kSubmitReport] = sim::Later(answerMs);
                bus.defaults[sim::kUnplug] = sim::Later(answerMs);
            }
            sim::SendLine(0, test::kGrant);
            sim::SendLine(0, kKeyADown);
            sim::SendLine(0, InputLine(1));
            for (uint64_t at = 0; at < 3000; at += 250) {
                sim::SendLine(at, InputLine(0));
                sim::SendLine(at, kHeartbeat);
                if (at == 0) sim::SendLine(100, R"({"type":"remove","player":1})");
            }
            sim::CloseInput(3000);
            EXPECT_EQ(session.Run(), 0);

            ExpectTimes(KeyAUps(), {3000}, mode);  // only shutdown lifts it
            EXPECT_EQ(session.Lines(),
                      (Lines{kBusReady, kGranted, DeviceCreated(0), DeviceCreated(1), ZeroRumble(1),
                             DeviceRemoved(1), ZeroRumble(0), DeviceRemoved(0)}));
            EXPECT_EQ(test::SerialsOf(sim::kUnplug), (std::vector<uint32_t>{1, 2}));
            // Player 0 was never idle for the loop, however long player 1's teardown took.
            // Player 1's, then player 0's at shutdown, each after its neutral report.
            ExpectTimes(TimesOf(sim::kUnplug), {100 + answerMs, 3000 + answerMs}, mode);
            EXPECT_EQ(sim::Current().bus.RequestsOf(sim::kPlugIn).size(),
                      2u);  // player 0 kept its pad
            ExpectBusClean();
        });
    }
}

// Input for a player whose pad is being torn down is kept: the new pad is plugged in as soon as
// the old one is gone, under the serial number it gave back. A remove during the teardown drops
// that input again.
TEST(DriverStallTest, InputDuringATeardown) {
    struct Case {
        const char* name;
        bool removeAgain;
        Lines lines;
        std::vector<uint64_t> plugIns;
    };
    const Case cases[] = {
        {"new pad after the old one",
         false,
         {kBusReady, DeviceCreated(1), ZeroRumble(1), DeviceRemoved(1), DeviceCreated(1),
          ZeroRumble(1), DeviceRemoved(1)},
         {0, 100 + 2 * 990}},
        {"removed again meanwhile",
         true,
         {kBusReady, DeviceCreated(1), ZeroRumble(1), DeviceRemoved(1)},
         {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, sim::ClockMode mode) {
            test::InstallBus();
            sim::Bus& bus = sim::Current().bus;
            bus.Queue(sim::kSubmitReport, sim::AtOnce());  // the first report
            const uint64_t answerMs = SlowAnswerMs(mode);
            bus.Queue(sim::kSubmitReport, sim::Later(answerMs));  // the teardown's neutral one
            bus.Queue(sim::kUnplug, sim::Later(answerMs));
            sim::SendLine(0, InputLine(1));
            sim::SendLine(100, R"({"type":"remove","player":1})");
            for (uint64_t at = 500; at <= (c.removeAgain ? 1500 : 2500); at += 500)
                sim::SendLine(at, InputLine(1));
            if (c.removeAgain) sim::SendLine(1600, R"({"type":"remove","player":1})");
            sim::CloseInput(c.removeAgain ? 1700 : 2600);
            EXPECT_EQ(session.Run(), 0);
            EXPECT_EQ(session.Lines(), c.lines);
            std::vector<uint64_t> plugIns = c.plugIns;
            if (plugIns.size() > 1) plugIns[1] -= 2 * (990 - answerMs);
            ExpectTimes(TimesOf(sim::kPlugIn), plugIns, mode);
            EXPECT_EQ(test::SerialsOf(sim::kPlugIn), std::vector<uint32_t>(c.plugIns.size(), 1));
            ExpectBusClean();
        });
    }
}

// The probe's version check takes its second as a step of the loop: the watchdog keeps its time.
TEST(DriverStallTest, ProbeWhoseVersionCheckHangs) {
    struct Case {
        const char* name;
        uint64_t heartbeatAt;
        uint64_t keyUpAt;
    };
    const Case cases[] = {
        {"lapses early in the check", 500, 1501},
        {"lapses late in the check", 1000, 2001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, sim::ClockMode mode) {
            sim::DeviceInterface busInterface;
            busInterface.presentFromMs = 550;
            busInterface.checkVersion = sim::Never();
            sim::Current().bus.interfaces = {busInterface};
            sim::Current().bus.cancelMs = 5000;
            sim::SendLine(0, test::kGrant);
            sim::SendLine(0, kKeyADown);
            sim::SendLine(c.heartbeatAt, kHeartbeat);
            sim::SendLine(c.heartbeatAt + 100, R"({"type":"probe"})");
            sim::CloseInput(8000);
            EXPECT_EQ(session.Run(), 0);
            ExpectTimes(KeyAUps(), {c.keyUpAt}, mode);
            const std::string failed =
                test::CapabilitiesLine(test::kNoDriver, "unavailable", false, true);
            EXPECT_EQ(session.Lines(), (Lines{test::kNoDriverCapabilities, kGranted, failed}));
            // The check's cancellation finished long after: its record and the interface's handle
            // were given back then.
            ExpectBusClean();
        });
    }
}

// A bus interface whose version check never answers, present from 550 ms on (the start-up
// probe finds nothing), and whose cancellations take 5 s.
void InstallHangingBus() {
    sim::DeviceInterface busInterface;
    busInterface.presentFromMs = 550;
    busInterface.checkVersion = sim::Never();
    sim::Current().bus.interfaces = {busInterface};
    sim::Current().bus.cancelMs = 5000;
}

// The host writes `probe`s and a key-down in one write at 600 and then falls silent. The key
// waits behind the checks, which go on as steps of the loop; the watchdog counts from the key
// line's arrival. Behind one check it is pressed at 1600, a second old, and lifted at 1601;
// behind three, it is handled at 3600, long lapsed, and not pressed at all.
TEST(DriverStallTest, PressWaitingBehindHungVersionChecks) {
    struct Case {
        const char* name;
        int probes;
        std::vector<std::string> events;
        std::vector<uint64_t> keyUps;
    };
    const Case cases[] = {
        {"one probe", 1, {test::Down(0x41), test::Up(0x41)}, {1601}},
        {"three probes", 3, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, sim::ClockMode mode) {
            InstallHangingBus();
            sim::SendLine(0, test::kGrant);
            std::string write;
            for (int i = 0; i < c.probes; ++i)
                write += R"({"type":"probe"})"
                         "\n";
            sim::Send(600, write + kKeyADown + "\n");
            sim::CloseInput(8000);
            EXPECT_EQ(session.Run(), 0);
            EXPECT_EQ(sim::InjectedEvents(), c.events);
            ExpectTimes(KeyAUps(), c.keyUps, mode);
            // Each check gave up after its second, one after the other.
            std::vector<uint64_t> checks{600, 1600, 2600};
            checks.resize(static_cast<std::size_t>(c.probes));
            ExpectTimes(TimesOf(sim::kCheckVersion), checks, mode);
            Lines expected{test::kNoDriverCapabilities, kGranted};
            expected.insert(expected.end(), static_cast<std::size_t>(c.probes),
                            test::CapabilitiesLine(test::kNoDriver, "unavailable", false, true));
            EXPECT_EQ(session.Lines(), expected);
            ExpectBusClean();
        });
    }
}

// A vJoy pad fed at 0, 600 and 1500, its later input waiting behind a `probe` whose check hangs
// from 600 to 1600: the waiting input keeps the pad from its arrival, so it is not torn down at
// 1001 (and plugged in again at 1600), and goes 1001 ms after the last input arrived.
TEST(DriverStallTest, InputWaitingBehindAHungCheckKeepsItsPad) {
    test::OnEachClock([&](Session& session, sim::ClockMode mode) {
        test::InstallVjoy();
        InstallHangingBus();
        sim::SendLine(0, InputLine(0));
        sim::Send(600, std::string(R"({"type":"probe"})") + "\n" + InputLine(0) + "\n");
        sim::SendLine(1500, InputLine(0));
        sim::CloseInput(8000);
        EXPECT_EQ(session.Run(), 0);
        EXPECT_EQ(session.Lines(),
                  (Lines{test::kVjoyCapabilities, DeviceCreated(0, test::kVjoy),
                         test::CapabilitiesLine(test::kVjoy, "unavailable", true, false),
                         DeviceRemoved(0)}));
        // The idle teardown's wake: the only one after the check gave up and before its
        // cancellation ends (at 6600).
        std::vector<uint64_t> wakes;
        for (const sim::Wait& wait : sim::Current().waits) {
            if (wait.wokeAtMs > 1700 && wait.wokeAtMs < 6000) wakes.push_back(wait.wokeAtMs);
        }
        ExpectTimes(wakes, {2501}, mode);
    });
}

// Six probes whose checks hang arrive at 600, and the bridge is asked to stop at 700: the
// running check is given up at once (no capabilities line for it), the key held since 0 goes
// up, and the shutdown is over long before Windows would end the process.
TEST(DriverStallTest, StopDuringAHungVersionCheck) {
    struct Case {
        const char* name;
        bool sessionEnd;
        sim::ConsoleEvent event;
    };
    const Case cases[] = {
        {"Ctrl+C", false, sim::ConsoleEvent::kCtrlC},
        {"console closed", false, sim::ConsoleEvent::kClose},
        {"log-off", true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, sim::ClockMode mode) {
            InstallHangingBus();
            sim::SendLine(0, test::kGrant);
            sim::SendLine(0, kKeyADown);
            for (uint64_t at = 100; at <= 500; at += 100) sim::SendLine(at, kHeartbeat);
            std::string write;
            for (int i = 0; i < 6; ++i)
                write += R"({"type":"probe"})"
                         "\n";
            sim::Send(600, write);
            if (c.sessionEnd) {
                sim::EndSession(700);
            } else {
                sim::SendConsoleControl(700, c.event);
            }
            sim::CloseInput(20000);
            EXPECT_EQ(session.Run(), 0);
            ExpectTimes(KeyAUps(), {700}, mode);
            EXPECT_EQ(session.Lines(), (Lines{test::kNoDriverCapabilities, kGranted}));
            EXPECT_EQ(TimesOf(sim::kCheckVersion).size(), 1u);
            const sim::ConsoleControl& console = sim::Current().console;
            EXPECT_TRUE(console.shutdownFinished);
            // The given-up check's cancellation takes 5 s: shutdown waits a second for it.
            ExpectTimes({console.finishedAtMs}, {1700}, mode);
            EXPECT_EQ(sim::Current().bus.faults, std::vector<std::string>{});
        });
    }
}

// Shutdown still removes every pad with its lines, then waits a bounded while for cancelled
// requests: one the driver lets go of in time is given back, one it keeps is left to the
// process's end rather than closed under it.
TEST(DriverStallTest, ShutdownWaitsABoundedWhileForCancellations) {
    struct Case {
        const char* name;
        uint64_t cancelMs;
        uint64_t endsAtMs;
        bool givenBack;
    };
    const Case cases[] = {
        {"cancellation takes 500 ms", 500, 600, true},
        {"cancellation takes 900 ms", 900, 1000, true},
        {"cancellation takes 5 s", 5000, 1100, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, sim::ClockMode mode) {
            test::InstallBus();
            sim::Bus& bus = sim::Current().bus;
            bus.cancelMs = c.cancelMs;  // the rumble wait's, cancelled at the teardown
            sim::SendLine(0, InputLine(0));
            sim::CloseInput(100);
            EXPECT_EQ(session.Run(), 0);
            EXPECT_EQ(session.Lines(),
                      (Lines{kBusReady, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0)}));
            ExpectTimes(TimesOf(sim::kUnplug), {100}, mode);
            ExpectTimes({sim::Elapsed()}, {c.endsAtMs}, mode);
            EXPECT_TRUE(sim::Current().console.shutdownFinished);
            if (c.givenBack) {
                ExpectBusClean();
            } else {
                EXPECT_EQ(bus.faults, std::vector<std::string>{});
                ASSERT_EQ(bus.inFlight.size(), 1u);
                EXPECT_EQ(bus.inFlight[0].code, sim::kAwaitRumble);
                EXPECT_EQ(bus.OpenEvents(), 1u);
                EXPECT_EQ(bus.devices.size(), 1u);
            }
        });
    }
}

}  // namespace
}  // namespace padbridge
