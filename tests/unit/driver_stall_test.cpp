// A bus driver that is slow or stuck never holds the loop: the watchdog lifts a held key on
// time, other players keep their pads, and a pad's teardown lines still come in their order.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "desktop_fixture.h"
#include "os/sim/sim.h"
#include "session.h"
#include "vigem_fixture.h"

namespace padbridge {
namespace {

using testing::DeviceCreated;
using testing::DeviceRemoved;
using testing::ExpectBusClean;
using testing::InputLine;
using testing::kBusReady;
using testing::PlayerError;
using testing::Session;
using testing::ZeroRumble;
using Lines = std::vector<std::string>;

const std::string kGranted = "{\"type\":\"system-permission\",\"enabled\":true}";
const char* const kHeartbeat = R"({"type":"system-heartbeat"})";
const std::string kKeyADown = testing::System(R"("action":"key","key":"KeyA","down":true)");

// When each KeyA up was injected, in milliseconds after the start.
std::vector<uint64_t> KeyAUps() {
    std::vector<uint64_t> at;
    const std::string up = testing::Up(0x41);
    for (const sim::InjectedEvent& event : sim::Current().input.events) {
        if (sim::DescribeEvent(event) == up) at.push_back(event.at);
    }
    return at;
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
        Session session;
        testing::InstallBus();
        sim::Bus& bus = sim::Current().bus;
        bus.cancelMs = c.cancelMs;
        bus.Queue(sim::kSubmitReport, sim::Never());
        bus.Queue(sim::kAwaitRumble, sim::Never());
        sim::Answer quickToCancel = sim::Never();  // the second pad's, so that shutdown is quick
        quickToCancel.cancelMs = 0;
        bus.Queue(sim::kAwaitRumble, quickToCancel);
        sim::SendLine(0, testing::kGrant);
        sim::SendLine(0, kKeyADown);
        sim::SendLine(0, InputLine(0));
        sim::SendLine(500, InputLine(0));
        sim::SendLine(6500, InputLine(0));  // after the retry window: a new pad
        sim::CloseInput(7000);
        EXPECT_EQ(session.Run(), 0);

        EXPECT_EQ(KeyAUps(), std::vector<uint64_t>{1001});
        EXPECT_EQ(session.Lines(),
                  (Lines{kBusReady, kGranted, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0),
                         PlayerError(0, "gamepad_update_failed", 1460), DeviceCreated(0),
                         ZeroRumble(0), DeviceRemoved(0)}));
        EXPECT_EQ(TimesOf(sim::kUnplug), (std::vector<uint64_t>{1000, 7000}));
        EXPECT_EQ(TimesOf(sim::kPlugIn), (std::vector<uint64_t>{0, 6500}));
        EXPECT_EQ(testing::SerialsOf(sim::kPlugIn), (std::vector<uint32_t>{1, 1}));
        // The loop never slept through the cancellation: it woke for the watchdog at 1001.
        bool wokeForWatchdog = false;
        for (const sim::Wait& wait : sim::Current().waits) wokeForWatchdog |= wait.wokeAtMs == 1001;
        EXPECT_TRUE(wokeForWatchdog);
        ExpectBusClean();
    }
}

// Another player's teardown with a driver that takes 990 ms for each of its two requests: the
// player who keeps sending keeps the pad, the key held with heartbeats stays down, and the
// torn-down player's lines come in order once the driver has answered.
TEST(DriverStallTest, SlowTeardownOfAnotherPlayer) {
    struct Case {
        const char* name;
        uint64_t answerMs;
        std::vector<uint64_t> unplugs;  // player 1's, then player 0's at shutdown
    };
    const Case cases[] = {
        {"driver answers at once", 0, {100, 3000}},
        {"driver takes 990 ms a request", 990, {100 + 990, 3000 + 990}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session;
        testing::InstallBus();
        sim::Bus& bus = sim::Current().bus;
        if (c.answerMs > 0) {
            bus.defaults[sim::kSubmitReport] = sim::Later(c.answerMs);
            bus.defaults[sim::kUnplug] = sim::Later(c.answerMs);
        }
        sim::SendLine(0, testing::kGrant);
        sim::SendLine(0, kKeyADown);
        sim::SendLine(0, InputLine(1));
        for (uint64_t at = 0; at < 3000; at += 250) {
            sim::SendLine(at, InputLine(0));
            sim::SendLine(at, kHeartbeat);
            if (at == 0) sim::SendLine(100, R"({"type":"remove","player":1})");
        }
        sim::CloseInput(3000);
        EXPECT_EQ(session.Run(), 0);

        EXPECT_EQ(KeyAUps(), std::vector<uint64_t>{3000});  // only shutdown lifts it
        EXPECT_EQ(session.Lines(),
                  (Lines{kBusReady, kGranted, DeviceCreated(0), DeviceCreated(1), ZeroRumble(1),
                         DeviceRemoved(1), ZeroRumble(0), DeviceRemoved(0)}));
        EXPECT_EQ(testing::SerialsOf(sim::kUnplug), (std::vector<uint32_t>{1, 2}));
        // Player 0 was never idle for the loop, however long player 1's teardown took.
        EXPECT_EQ(TimesOf(sim::kUnplug), c.unplugs);  // each after its neutral report
        EXPECT_EQ(sim::Current().bus.RequestsOf(sim::kPlugIn).size(), 2u);  // player 0 kept its pad
        ExpectBusClean();
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
         {0, 2080}},
        {"removed again meanwhile",
         true,
         {kBusReady, DeviceCreated(1), ZeroRumble(1), DeviceRemoved(1)},
         {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session;
        testing::InstallBus();
        sim::Bus& bus = sim::Current().bus;
        bus.Queue(sim::kSubmitReport, sim::AtOnce());    // the first report
        bus.Queue(sim::kSubmitReport, sim::Later(990));  // the neutral one of the teardown
        bus.Queue(sim::kUnplug, sim::Later(990));
        sim::SendLine(0, InputLine(1));
        sim::SendLine(100, R"({"type":"remove","player":1})");
        for (uint64_t at = 500; at <= (c.removeAgain ? 1500 : 2500); at += 500)
            sim::SendLine(at, InputLine(1));
        if (c.removeAgain) sim::SendLine(1600, R"({"type":"remove","player":1})");
        sim::CloseInput(c.removeAgain ? 1700 : 2600);
        EXPECT_EQ(session.Run(), 0);
        EXPECT_EQ(session.Lines(), c.lines);
        EXPECT_EQ(TimesOf(sim::kPlugIn), c.plugIns);
        EXPECT_EQ(testing::SerialsOf(sim::kPlugIn), std::vector<uint32_t>(c.plugIns.size(), 1));
        ExpectBusClean();
    }
}

// The probe's version check may hold the loop for its second, but not the watchdog.
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
        Session session;
        sim::DeviceInterface busInterface;
        busInterface.presentFromMs = 550;
        busInterface.checkVersion = sim::Never();
        sim::Current().bus.interfaces = {busInterface};
        sim::Current().bus.cancelMs = 5000;
        sim::SendLine(0, testing::kGrant);
        sim::SendLine(0, kKeyADown);
        sim::SendLine(c.heartbeatAt, kHeartbeat);
        sim::SendLine(c.heartbeatAt + 100, R"({"type":"probe"})");
        sim::CloseInput(8000);
        EXPECT_EQ(session.Run(), 0);
        EXPECT_EQ(KeyAUps(), std::vector<uint64_t>{c.keyUpAt});
        const std::string none =
            testing::CapabilitiesLine("No gamepad driver installed", "missing", false, false);
        const std::string failed =
            testing::CapabilitiesLine("No gamepad driver installed", "unavailable", false, true);
        EXPECT_EQ(session.Lines(), (Lines{none, kGranted, failed}));
        // The check's cancellation finished long after: its record and the interface's handle
        // were given back then.
        ExpectBusClean();
    }
}

}  // namespace
}  // namespace padbridge
