// Xbox 360 pads on the simulated bus, as whole host sessions: plug-in, reports, serial numbers,
// failures with their retry window, and teardown.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/sim/sim.h"
#include "session.h"
#include "vigem_fixture.h"

namespace padbridge {
namespace {

using test::DeviceCreated;
using test::DeviceRemoved;
using test::ExpectBusClean;
using test::InputLine;
using test::kBusReady;
using test::PlayerError;
using test::RumbleLine;
using test::SerialsOf;
using test::Session;
using test::ZeroRumble;
using Lines = std::vector<std::string>;

std::vector<double> Buttons(std::initializer_list<int> pressed) {
    std::vector<double> buttons(16, 0.0);
    for (int b : pressed) buttons[static_cast<std::size_t>(b)] = 1.0;
    return buttons;
}

// Input for `player` every 500 ms from `fromMs` up to and including `toMs`.
void KeepSending(int player, uint64_t fromMs, uint64_t toMs) {
    for (uint64_t at = fromMs; at <= toMs; at += 500) sim::SendLine(at, InputLine(player));
}

TEST(VigemPadsTest, TypicalExchange) {
    Session session;
    test::InstallBus();
    sim::Current().bus.Queue(sim::kAwaitRumble, sim::Rumble(255, 0, 50));
    sim::SendLine(0, InputLine(0));
    sim::SendLine(500, R"({"type":"remove","player":0})");
    sim::CloseInput(600);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(),
              (Lines{kBusReady, DeviceCreated(0), RumbleLine(0, "1.000000", "0.000000"),
                     ZeroRumble(0), DeviceRemoved(0)}));
    const sim::Bus& bus = sim::Current().bus;
    ASSERT_EQ(bus.opens.size(), 1u);
    EXPECT_EQ(bus.opens[0].path, bus.interfaces[0].path);
    EXPECT_EQ(bus.opens[0].access, 0xC0000000u);
    EXPECT_EQ(bus.opens[0].shareMode, 3u);
    EXPECT_EQ(bus.opens[0].disposition, 3u);
    EXPECT_EQ(bus.opens[0].flags, 0x40000080u);
    // Every record byte for byte, in the order the driver saw them.
    using B = std::vector<uint8_t>;
    const std::vector<std::pair<uint32_t, B>> expected = {
        {sim::kCheckVersion, B{8, 0, 0, 0, 1, 0, 0, 0}},
        {sim::kPlugIn, B{16, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x5E, 0x04, 0x8E, 0x02}},
        {sim::kWaitReady, B{8, 0, 0, 0, 1, 0, 0, 0}},
        {sim::kAwaitRumble, B{12, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
        {sim::kSubmitReport, B{20, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {sim::kAwaitRumble, B{12, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},  // after the completion
        {sim::kSubmitReport, B{20, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {sim::kUnplug, B{8, 0, 0, 0, 1, 0, 0, 0}},
    };
    ASSERT_EQ(bus.requests.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(bus.requests[i].code, expected[i].first) << i;
        EXPECT_EQ(bus.requests[i].input, expected[i].second) << i;
    }
    EXPECT_EQ(bus.requests[3].outputSize, 12u);
    EXPECT_EQ(bus.cancels, 1u);  // the rumble wait, at teardown
    ExpectBusClean();
}

TEST(VigemPadsTest, DriverAnsweringAtOnceGetsTheFirstReportOutInTheSameTick) {
    Session session;
    test::InstallBus();
    // Left stick full left and pushed down, right stick half right, A and d-pad up, left trigger
    // half.
    sim::SendLine(
        0, InputLine(1, {-1, 1, 0.5, -0.5}, {1, 0, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    sim::CloseInput(100);
    session.Run();
    EXPECT_EQ(session.Lines(),
              (Lines{kBusReady, DeviceCreated(1), ZeroRumble(1), DeviceRemoved(1)}));
    const sim::Bus& bus = sim::Current().bus;
    ASSERT_GE(bus.requests.size(), 5u);
    const uint32_t order[] = {sim::kPlugIn, sim::kWaitReady, sim::kAwaitRumble, sim::kSubmitReport};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(bus.requests[i + 1].code, order[i]);
        EXPECT_EQ(bus.requests[i + 1].atMs, 0u);
    }
    const std::vector<uint8_t> report = {20,  0, 0,    0,    1,    0,    0,    0,    0x01, 0x10,
                                         127, 0, 0x00, 0x80, 0x00, 0x80, 0xFF, 0x3F, 0xFF, 0x3F};
    EXPECT_EQ(bus.requests[4].input, report);
    ExpectBusClean();
}

TEST(VigemPadsTest, SerialNumbersAreUniqueAndReusedAfterTeardown) {
    Session session;
    test::InstallBus();
    for (int player : {0, 1, 2}) sim::SendLine(0, InputLine(player));
    sim::SendLine(100, R"({"type":"neutral","player":1})");
    sim::SendLine(200, InputLine(3));  // the lowest free number is 2 again
    sim::SendLine(300, InputLine(1));  // 1, 2, 3 taken: 4
    sim::CloseInput(400);
    session.Run();
    EXPECT_EQ(SerialsOf(sim::kPlugIn), (std::vector<uint32_t>{1, 2, 3, 2, 4}));
    EXPECT_EQ(SerialsOf(sim::kUnplug), (std::vector<uint32_t>{2, 1, 4, 3, 2}));  // 1 at shutdown
    ExpectBusClean();
}

TEST(VigemPadsTest, TakenSerialNumberMovesOnSilently) {
    Session session;
    test::InstallBus();
    sim::SendLine(0, InputLine(0));  // serial 1
    sim::Current().bus.Queue(sim::kPlugIn, sim::AtOnce());
    sim::Current().bus.Queue(sim::kPlugIn, sim::AtOnce(87));     // 2 belongs to somebody else
    sim::Current().bus.Queue(sim::kPlugIn, sim::Later(20, 87));  // and so does 3
    sim::SendLine(10, InputLine(1));
    sim::CloseInput(100);
    session.Run();
    EXPECT_EQ(SerialsOf(sim::kPlugIn), (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(SerialsOf(sim::kWaitReady), (std::vector<uint32_t>{1, 4}));
    EXPECT_EQ(session.Lines(), (Lines{kBusReady, DeviceCreated(0), DeviceCreated(1), ZeroRumble(0),
                                      DeviceRemoved(0), ZeroRumble(1), DeviceRemoved(1)}));
    ExpectBusClean();
}

TEST(VigemPadsTest, NoSerialNumberLeft) {
    Session session;
    test::InstallBus();
    sim::Current().bus.defaults[sim::kPlugIn] = sim::AtOnce(87);  // every number is taken
    KeepSending(0, 0, 21000);
    sim::CloseInput(21100);
    session.Run();
    const std::vector<uint32_t> serials = SerialsOf(sim::kPlugIn);
    ASSERT_EQ(serials.size(), 65535u);
    EXPECT_EQ(serials.back(), 65535u);
    std::size_t firstTick = 0;
    for (const sim::Request& r : sim::Current().bus.RequestsOf(sim::kPlugIn))
        firstTick += r.atMs == 0;
    EXPECT_EQ(firstTick, 17u);  // the one the input issued, then one candidate per pass
    // 16 candidates a tick: the pad stays unplugged and the player gets one error.
    EXPECT_EQ(session.Lines(), (Lines{kBusReady, ZeroRumble(0), DeviceRemoved(0),
                                      PlayerError(0, "gamepad_create_failed", 259)}));
    EXPECT_EQ(SerialsOf(sim::kUnplug), std::vector<uint32_t>{65535});
    ExpectBusClean();
}

TEST(VigemPadsTest, OnlyTheNewestReportIsSubmittedAfterTheOneInFlight) {
    Session session;
    test::InstallBus();
    sim::Current().bus.Queue(sim::kSubmitReport, sim::Later(100));
    sim::SendLine(0, InputLine(0, {0, 0, 0, 0}, Buttons({0})));      // A
    sim::SendLine(20, InputLine(0, {0, 0, 0, 0}, Buttons({1})));     // B
    sim::SendLine(40, InputLine(0, {0, 0, 0, 0}, Buttons({2})));     // X
    sim::SendLine(60, InputLine(0, {0, 0, 0, 0}, Buttons({3, 9})));  // Y and start
    sim::CloseInput(300);
    session.Run();
    const std::vector<sim::Request> reports = sim::Current().bus.RequestsOf(sim::kSubmitReport);
    ASSERT_EQ(reports.size(), 3u);  // A, then only Y, then the neutral report of the teardown
    EXPECT_EQ(test::U32At(reports[0].input, 8) & 0xFFFF, 0x1000u);
    EXPECT_EQ(test::U32At(reports[1].input, 8) & 0xFFFF, 0x8010u);
    EXPECT_EQ(reports[1].atMs, 100u);  // the pass right after the completion
    EXPECT_EQ(test::U32At(reports[2].input, 8) & 0xFFFF, 0u);
    ExpectBusClean();
}

// One request kind failing: at once, later, or by outliving its time-out.
struct Failure {
    const char* name;
    uint32_t code;
    sim::Answer answer;
    uint64_t failedAtMs;
    bool wasCreated;  // device created was printed before the failure
    const char* error;
    uint32_t win32Error;
};

TEST(VigemPadsTest, EachRequestKindFailing) {
    const Failure failures[] = {
        {"PlugIn at once", sim::kPlugIn, sim::AtOnce(31), 0, false, "gamepad_create_failed", 31},
        {"PlugIn later", sim::kPlugIn, sim::Later(200, 1167), 200, false, "gamepad_create_failed",
         1167},
        {"PlugIn timed out", sim::kPlugIn, sim::Never(), 10000, false, "gamepad_create_failed",
         1460},
        {"WaitReady at once", sim::kWaitReady, sim::AtOnce(5), 0, false, "gamepad_create_failed",
         5},
        {"WaitReady later", sim::kWaitReady, sim::Later(350, 995), 350, false,
         "gamepad_create_failed", 995},
        {"WaitReady timed out", sim::kWaitReady, sim::Never(), 10000, false,
         "gamepad_create_failed", 1460},
        {"SubmitReport at once", sim::kSubmitReport, sim::AtOnce(31), 0, true,
         "gamepad_update_failed", 31},
        {"SubmitReport later", sim::kSubmitReport, sim::Later(200, 1167), 200, true,
         "gamepad_update_failed", 1167},
        {"SubmitReport timed out", sim::kSubmitReport, sim::Never(), 1000, true,
         "gamepad_update_failed", 1460},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.name);
        Session session;
        test::InstallBus();
        sim::Current().bus.Queue(f.code, f.answer);
        const uint64_t windowEnd = f.failedAtMs + 5000;
        const uint64_t nextPadAt = (windowEnd + 499) / 500 * 500;  // first input at or after it
        KeepSending(0, 0, nextPadAt);
        sim::CloseInput(nextPadAt + 100);
        session.Run();

        Lines expected = {kBusReady};
        if (f.wasCreated) expected.push_back(DeviceCreated(0));
        expected.insert(expected.end(),
                        {ZeroRumble(0), DeviceRemoved(0), PlayerError(0, f.error, f.win32Error)});
        expected.insert(expected.end(), {DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0)});
        EXPECT_EQ(session.Lines(), expected);

        // The failed pad is unplugged when it fails; no new pad before the window has passed.
        const std::vector<sim::Request> unplugs = sim::Current().bus.RequestsOf(sim::kUnplug);
        ASSERT_EQ(unplugs.size(), 2u);
        EXPECT_EQ(unplugs[0].atMs, f.failedAtMs);
        const std::vector<sim::Request> plugIns = sim::Current().bus.RequestsOf(sim::kPlugIn);
        ASSERT_EQ(plugIns.size(), 2u);
        EXPECT_EQ(plugIns[1].atMs, nextPadAt);
        EXPECT_EQ(test::U32At(plugIns[1].input, 4), 1u);  // numbering starts again from 1
        // A pad that never became ready gets no neutral report.
        const std::size_t neutralReports = f.wasCreated ? 1 : 0;
        std::size_t submitted = 0;
        for (const sim::Request& r : sim::Current().bus.RequestsOf(sim::kSubmitReport)) {
            if (r.atMs == f.failedAtMs && test::U32At(r.input, 8) == 0) ++submitted;
        }
        EXPECT_EQ(submitted, neutralReports + (f.code == sim::kSubmitReport && f.failedAtMs == 0));
        ExpectBusClean();
    }
}

TEST(VigemPadsTest, RetryWindowSurvivesRemoveAndIdleTimeout) {
    Session session;
    test::InstallBus();
    sim::Current().bus.Queue(sim::kPlugIn, sim::AtOnce(31));  // fails at 0: window until 5000
    sim::SendLine(0, InputLine(2));
    sim::SendLine(1000, InputLine(2));  // ignored, but keeps the player's tick
    sim::SendLine(1100, R"({"type":"remove","player":2})");
    sim::SendLine(2000, InputLine(2));  // ignored; then idle from 3001 on
    sim::SendLine(4995, InputLine(2));  // still inside the window
    sim::SendLine(5000, InputLine(2));  // the first one after it
    sim::CloseInput(5100);
    session.Run();
    EXPECT_EQ(session.Lines(), (Lines{kBusReady, ZeroRumble(2), DeviceRemoved(2),
                                      PlayerError(2, "gamepad_create_failed", 31), DeviceCreated(2),
                                      ZeroRumble(2), DeviceRemoved(2)}));
    const std::vector<sim::Request> plugIns = sim::Current().bus.RequestsOf(sim::kPlugIn);
    ASSERT_EQ(plugIns.size(), 2u);
    EXPECT_EQ(plugIns[1].atMs, 5000u);
    ExpectBusClean();
}

TEST(VigemPadsTest, FailedUnplugIsReportedAndTheTeardownGoesOn) {
    Session session;
    test::InstallBus();
    sim::Current().bus.Queue(sim::kUnplug, sim::Never());
    sim::Current().bus.Queue(sim::kSubmitReport, sim::AtOnce());
    sim::Current().bus.Queue(sim::kSubmitReport, sim::AtOnce(31));  // the neutral one fails quietly
    sim::SendLine(0, InputLine(4));
    sim::SendLine(50, R"({"type":"remove","player":4})");
    sim::SendLine(60, R"({"type":"remove","player":4})");  // a free slot: nothing
    sim::CloseInput(100);
    session.Run();
    EXPECT_EQ(session.Lines(),
              (Lines{kBusReady, DeviceCreated(4), PlayerError(4, "gamepad_remove_failed", 1460),
                     ZeroRumble(4), DeviceRemoved(4)}));
    ExpectBusClean();
}

TEST(VigemPadsTest, EventThatCannotBeCreated) {
    struct Case {
        uint32_t failingCreation;  // 0: the main request's event, 1: the rumble event's
    };
    for (const Case& c : {Case{0}, Case{1}}) {
        Session session;
        test::InstallBus();
        // Creation 0 is the probe's CheckVersion wait; the slot's events come after it.
        sim::Current().bus.failingEventCreations = {1 + c.failingCreation};
        sim::SendLine(0, InputLine(6));
        sim::SendLine(4990, InputLine(6));  // inside the window
        sim::SendLine(5000, InputLine(6));
        sim::CloseInput(5100);
        session.Run();
        EXPECT_EQ(session.Lines(), (Lines{kBusReady, PlayerError(6, "gamepad_create_failed", 1450),
                                          DeviceCreated(6), ZeroRumble(6), DeviceRemoved(6)}));
        EXPECT_EQ(sim::Current().bus.RequestsOf(sim::kPlugIn).size(), 1u);
        ExpectBusClean();
    }
}

TEST(VigemPadsTest, IdlePlayerIsUnpluggedAfterMoreThanASecond) {
    Session session;
    test::InstallBus();
    sim::SendLine(0, InputLine(0));
    sim::SendLine(900, InputLine(0));  // keeps the pad
    sim::CloseInput(3000);
    session.Run();
    EXPECT_EQ(session.Lines(),
              (Lines{kBusReady, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0)}));
    const std::vector<sim::Request> unplugs = sim::Current().bus.RequestsOf(sim::kUnplug);
    ASSERT_EQ(unplugs.size(), 1u);
    EXPECT_EQ(unplugs[0].atMs, 1901u);  // the first moment more than 1000 ms after 900
    ExpectBusClean();
}

TEST(VigemPadsTest, ShutdownWithEightLivePads) {
    Session session;
    test::InstallBus();
    for (int player = 0; player < 8; ++player) sim::SendLine(0, InputLine(player));
    sim::CloseInput(100);
    EXPECT_EQ(session.Run(), 0);
    Lines expected = {kBusReady};
    for (int player = 0; player < 8; ++player) expected.push_back(DeviceCreated(player));
    for (int player = 0; player < 8; ++player) {
        expected.push_back(ZeroRumble(player));
        expected.push_back(DeviceRemoved(player));
    }
    EXPECT_EQ(session.Lines(), expected);
    EXPECT_EQ(SerialsOf(sim::kUnplug), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(sim::Current().bus.cancels, 8u);  // every rumble wait
    ExpectBusClean();
}

}  // namespace
}  // namespace padbridge
