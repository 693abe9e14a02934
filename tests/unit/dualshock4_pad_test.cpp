// The DualShock 4 through the pad life, as whole host sessions on the simulated bus: the new
// input fields, switching kinds on a live pad, the short report of an older driver, and the
// feedback request's `rumble` and `lightbar` lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dualshock4_fixture.h"
#include "gamepad/input.h"

namespace padbridge {
namespace {

using test::DeviceCreated;
using test::DeviceRemoved;
using test::Ds4Line;
using test::Ds4Records;
using test::ExpectBusClean;
using test::ExpectRecordsValid;
using test::InputLine;
using test::kBusReady;
using test::kDualShock4;
using test::LightbarLine;
using test::PlayerError;
using test::RumbleLine;
using test::Session;
using test::U32At;
using test::ZeroRumble;
using Lines = std::vector<std::string>;

const std::string kAxes = R"({"axes":[0,0,0,0],"buttons":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0])";

TEST(Ds4InputTest, NewFieldsAreReadOrDropTheLine) {
    struct Case {
        const char* fields;
        bool ok;
        PadKind kind;
    };
    const PadKind x = PadKind::kXbox360;
    const PadKind d = PadKind::kDualShock4;
    const Case cases[] = {
        {"", true, x},
        {R"(,"pad":"xbox360")", true, x},
        {R"(,"pad":"dualshock4")", true, d},
        {R"(, "pad" : "dualshock4")", true, d},
        {R"(,"pad":"DualShock4")", false, x},
        {R"(,"pad":"dualshock4 ")", false, x},
        {R"(,"pad":"")", false, x},
        {R"(,"pad":4)", false, x},
        {R"(,"pad":null)", false, x},
        {R"(,"pad":"a-very-long-pad-name")", false, x},
        {R"(,"pad":"dualshock4","gyro":[1,2,3],"accel":[4,5,6])", true, d},
        {R"(,"gyro":[1, 2 ,3])", true, x},  // read, then ignored by an Xbox 360 pad
        {R"(,"gyro":[1,2])", false, x},
        {R"(,"gyro":[1,2,3,4])", false, x},
        {R"(,"gyro":[1,nan,3])", false, x},
        {R"(,"gyro":[1,1e999,3])", false, x},
        {R"(,"gyro":"1,2,3")", false, x},
        {R"(,"accel":[])", false, x},
        {R"(,"accel":[0,9.8,0,])", false, x},
        {R"(,"touch":[])", true, x},
        {R"(,"touch":[  ])", true, x},
        {R"(,"touch":[0.5,0.5])", true, x},
        {R"(,"touch":[0.5,0.5,0.1,0.2])", true, x},
        {R"(,"touch":[0.5])", false, x},
        {R"(,"touch":[0.5,0.5,0.1])", false, x},
        {R"(,"touch":[1,2,3,4,5,6])", false, x},
        {R"(,"touch":[1,2,])", false, x},
        {R"(,"touch":0)", false, x},
    };
    for (const Case& c : cases) {
        const std::string line = kAxes + c.fields + "}";
        GamepadFrame frame;
        ASSERT_EQ(ParseGamepadFrame(line.c_str(), &frame), c.ok) << line;
        if (c.ok) {
            EXPECT_EQ(frame.kind, c.kind) << line;
        }
    }
}

TEST(Ds4InputTest, AbsentFieldsMeanAPadAtRestAndNoFinger) {
    GamepadFrame frame;
    ASSERT_TRUE(ParseGamepadFrame((kAxes + "}").c_str(), &frame));
    EXPECT_EQ(frame.buttons[16], 0.0);
    EXPECT_EQ(frame.buttons[17], 0.0);
    EXPECT_EQ(frame.gyro[0], 0.0);
    EXPECT_EQ(frame.accel[0], 0.0);
    EXPECT_EQ(frame.accel[1], 9.80665);
    EXPECT_EQ(frame.accel[2], 0.0);
    EXPECT_EQ(frame.fingerCount, 0);
    const std::string touched = kAxes + R"(,"touch":[1.5,-0.5,0.25,0.75],"accel":[1,2,3]})";
    ASSERT_TRUE(ParseGamepadFrame(touched.c_str(), &frame));
    EXPECT_EQ(frame.fingerCount, 2);
    EXPECT_EQ(frame.touch[0], 1.0);
    EXPECT_EQ(frame.touch[1], 0.0);
    EXPECT_EQ(frame.touch[3], 0.75);
    EXPECT_EQ(frame.accel[1], 2.0);
}

TEST(Ds4InputTest, ADroppedLineTouchesNoPad) {
    Session session;
    test::InstallBus();
    sim::SendLine(0, kAxes + R"(,"pad":"dualshock5","player":0,"type":"input"})");
    sim::SendLine(10, kAxes + R"(,"touch":[1],"player":0,"type":"input"})");
    sim::CloseInput(20);
    session.Run();
    EXPECT_EQ(session.Lines(), Lines{kBusReady});
    EXPECT_TRUE(sim::Current().bus.RequestsOf(sim::kPlugIn).empty());
}

// Every pad scenario runs on the fine clock and on the coarse one of a real Windows tick.
class Ds4PadTest : public ::testing::TestWithParam<sim::ClockMode> {};
INSTANTIATE_TEST_SUITE_P(Clocks, Ds4PadTest, ::testing::ValuesIn(test::kClockModes));

std::vector<uint32_t> PlugInTargets() {
    std::vector<uint32_t> targets;
    for (const sim::Request& r : sim::Current().bus.RequestsOf(sim::kPlugIn))
        targets.push_back(U32At(r.input, 8));
    return targets;
}

TEST_P(Ds4PadTest, KindChangesOnALivePadReplaceIt) {
    Session session(GetParam());
    test::InstallBus();
    sim::SendLine(0, InputLine(0));
    sim::SendLine(100, Ds4Line(0));
    sim::SendLine(200, Ds4Line(0, {0.5, 0, 0, 0}));
    sim::SendLine(300, InputLine(0, {0, 0, 0, 0}, std::vector<double>(17, 0.0)));
    sim::SendLine(400, InputLine(1));  // another player is not touched
    sim::SendLine(500, Ds4Line(0));
    sim::CloseInput(600);
    session.Run();
    EXPECT_EQ(
        session.Lines(),
        (Lines{kBusReady, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0),
               DeviceCreated(0, kDualShock4), ZeroRumble(0), DeviceRemoved(0), DeviceCreated(0),
               DeviceCreated(1), ZeroRumble(0), DeviceRemoved(0), DeviceCreated(0, kDualShock4),
               ZeroRumble(0), DeviceRemoved(0), ZeroRumble(1), DeviceRemoved(1)}));
    EXPECT_EQ(PlugInTargets(), (std::vector<uint32_t>{0, 2, 0, 0, 2}));
    EXPECT_EQ(test::SerialsOf(sim::kPlugIn), (std::vector<uint32_t>{1, 1, 1, 2, 1}));
    // The DualShock 4 plug-in record in full.
    const std::vector<uint8_t> plugIn = sim::Current().bus.RequestsOf(sim::kPlugIn)[1].input;
    EXPECT_EQ(plugIn,
              (std::vector<uint8_t>{16, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0x4C, 0x05, 0xC4, 0x05}));
    // Each DualShock 4 started its counters afresh; its neutral report went before the unplug.
    const std::vector<std::vector<uint8_t>> reports = test::Ds4Reports();
    ASSERT_EQ(reports.size(), 5u);
    const int counters[] = {0, 1, 2, 0, 1};
    for (std::size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i][6] >> 2, counters[i]);
    ExpectBusClean();
    ExpectRecordsValid();
}

// The old pad's Unplug takes its time: the new kind waits for it, then starts from the newest
// frame that came meanwhile.
TEST_P(Ds4PadTest, KindChangeWaitsForTheOldPadToGo) {
    Session session(GetParam());
    test::InstallBus();
    sim::Current().bus.Queue(sim::kUnplug, sim::Later(300));
    sim::SendLine(0, InputLine(0));
    sim::SendLine(100, Ds4Line(0));
    sim::SendLine(200, Ds4Line(0, {0.5, 0, 0, 0}));
    sim::CloseInput(600);
    session.Run();
    EXPECT_EQ(session.Lines(),
              (Lines{kBusReady, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0),
                     DeviceCreated(0, kDualShock4), ZeroRumble(0), DeviceRemoved(0)}));
    EXPECT_EQ(PlugInTargets(), (std::vector<uint32_t>{0, 2}));
    const std::vector<sim::Request> plugIns = sim::Current().bus.RequestsOf(sim::kPlugIn);
    ASSERT_EQ(plugIns.size(), 2u);
    EXPECT_GE(plugIns[1].atMs, 400u);  // only once the Unplug was answered
    // The new pad's first report is the newest frame (left stick half right), counter 0.
    const std::vector<std::vector<uint8_t>> reports = test::Ds4Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0][0], 191);
    EXPECT_EQ(reports[0][6] >> 2, 0);
    ExpectBusClean();
    ExpectRecordsValid();
}

TEST_P(Ds4PadTest, OlderDriverGetsTheShortReportAfterOneError) {
    for (uint32_t refusal : {87u, 24u, 122u, 1784u}) {
        SCOPED_TRACE(refusal);
        Session session(GetParam());
        test::InstallBus();
        sim::Current().bus.fullDs4ReportRefusal = refusal;
        sim::SendLine(0, Ds4Line(0, {1, 0, 0, 0}, std::vector<double>(18, 1.0),
                                 R"(,"gyro":[90,0,0],"touch":[0.5,0.5])"));
        sim::SendLine(100, Ds4Line(1));
        sim::SendLine(200, Ds4Line(0));
        sim::CloseInput(300);
        session.Run();
        EXPECT_EQ(session.Lines(), (Lines{kBusReady, DeviceCreated(0, kDualShock4),
                                          PlayerError(0, "gamepad_motion_unavailable", refusal),
                                          DeviceCreated(1, kDualShock4), ZeroRumble(0),
                                          DeviceRemoved(0), ZeroRumble(1), DeviceRemoved(1)}));
        const std::vector<std::vector<uint8_t>> records = Ds4Records();
        // The refused full report, the same report short, then only short ones (player 1's
        // first, player 0's second, and the two neutral ones).
        ASSERT_EQ(records.size(), 6u);
        EXPECT_EQ(records[0].size(), 71u);
        const std::vector<uint8_t> shortFirst = {20,   0,    0,    0,    1, 0,   0,   0, 255, 0x80,
                                                 0x80, 0x80, 0xF8, 0xFF, 3, 255, 255, 0, 0,   0};
        EXPECT_EQ(records[1], shortFirst);
        EXPECT_EQ(std::vector<uint8_t>(records[0].begin() + 8, records[0].begin() + 17),
                  std::vector<uint8_t>(shortFirst.begin() + 8, shortFirst.begin() + 17));
        for (std::size_t i = 1; i < records.size(); ++i) EXPECT_EQ(records[i].size(), 20u) << i;
        // Counters go on: player 0's second report carries 1.
        EXPECT_EQ(records[3][8 + 6] >> 2, 1);
        ExpectBusClean();
        ExpectRecordsValid();
    }
}

TEST_P(Ds4PadTest, OtherReportFailuresStayFailures) {
    struct Case {
        const char* name;
        std::vector<sim::Answer> answers;
        uint32_t win32Error;
    };
    const Case cases[] = {
        {"not a refusal", {sim::AtOnce(31)}, 31},
        {"refusal after a full report was taken", {sim::AtOnce(), sim::AtOnce(87)}, 87},
        {"no answer in time", {sim::Later(50), sim::Later(2000, 87)}, 1460},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session(GetParam());
        test::InstallBus();
        for (const sim::Answer& answer : c.answers)
            sim::Current().bus.Queue(sim::kSubmitDs4Report, answer);
        sim::SendLine(0, Ds4Line(0));
        sim::SendLine(100, Ds4Line(0, {1, 0, 0, 0}));
        sim::CloseInput(1300);
        session.Run();
        EXPECT_EQ(session.Lines(),
                  (Lines{kBusReady, DeviceCreated(0, kDualShock4), ZeroRumble(0), DeviceRemoved(0),
                         PlayerError(0, "gamepad_update_failed", c.win32Error)}));
        for (const std::vector<uint8_t>& record : Ds4Records()) EXPECT_EQ(record.size(), 71u);
        ExpectBusClean();
        ExpectRecordsValid();
    }
}

// Player 0's DualShock 4 comes up at 0 and lives until the host closes the pipe at `closeAtMs`.
void Ds4PadUntil(uint64_t closeAtMs) {
    test::InstallBus();
    for (uint64_t at = 0; at < closeAtMs; at += 500) sim::SendLine(at, Ds4Line(0));
    sim::CloseInput(closeAtMs);
}

TEST_P(Ds4PadTest, FeedbackPrintsRumbleAndLightbarChangesOnly) {
    Session session(GetParam());
    Ds4PadUntil(200);
    struct Step {
        uint8_t low, high, red, green, blue;
    };
    const Step steps[] = {
        {0, 0, 0, 0, 0},       // nothing changed
        {0, 0, 255, 0, 0},     // the colour only
        {128, 64, 255, 0, 0},  // the motors only
        {128, 64, 0, 0, 255},  // the colour only
        {255, 0, 0, 255, 0},   // both: rumble first
        {255, 0, 0, 255, 0},   // nothing changed
        {0, 0, 0, 255, 0},     // the motors stop
    };
    for (const Step& s : steps) {
        sim::Current().bus.Queue(sim::kAwaitDs4Feedback,
                                 sim::Feedback(s.low, s.high, s.red, s.green, s.blue, 10));
    }
    session.Run();
    EXPECT_EQ(session.Lines(),
              (Lines{kBusReady, DeviceCreated(0, kDualShock4), LightbarLine(0, 255, 0, 0),
                     RumbleLine(0, "0.501961", "0.250980"), LightbarLine(0, 0, 0, 255),
                     RumbleLine(0, "1.000000", "0.000000"), LightbarLine(0, 0, 255, 0),
                     ZeroRumble(0), ZeroRumble(0), DeviceRemoved(0)}));
    // The feedback request: 16 bytes in and out, size and serial then zeros.
    const std::vector<sim::Request> waits = sim::Current().bus.RequestsOf(sim::kAwaitDs4Feedback);
    ASSERT_EQ(waits.size(), std::size(steps) + 1);
    EXPECT_EQ(waits[0].input,
              (std::vector<uint8_t>{16, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(waits[0].outputSize, 16u);
    EXPECT_TRUE(sim::Current().bus.RequestsOf(sim::kAwaitRumble).empty());
    ExpectBusClean();
    ExpectRecordsValid();
}

TEST_P(Ds4PadTest, MalformedFeedbackBacksOff) {
    auto wrong = [](auto change) {
        sim::Answer answer = sim::Feedback(200, 0, 1, 2, 3, 10);
        change(answer);
        return answer;
    };
    struct Case {
        const char* name;
        sim::Answer bad;
        uint32_t win32Error;
    };
    const Case cases[] = {
        {"another serial", wrong([](sim::Answer& a) { a.serial = 2; }), 13},
        {"the Xbox 360 size", wrong([](sim::Answer& a) { a.size = 12; }), 13},
        {"12 bytes back", wrong([](sim::Answer& a) { a.bytes = 12; }), 13},
        {"17 bytes back", wrong([](sim::Answer& a) { a.bytes = 17; }), 13},
        {"driver error", sim::Later(10, 1167), 1167},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session(GetParam());
        Ds4PadUntil(1300);
        sim::Bus& bus = sim::Current().bus;
        bus.Queue(sim::kAwaitDs4Feedback, sim::Feedback(64, 0, 9, 9, 9, 10));
        bus.Queue(sim::kAwaitDs4Feedback, c.bad);
        bus.Queue(sim::kAwaitDs4Feedback, sim::Feedback(64, 0, 9, 9, 9, 10));  // after 1000 ms
        session.Run();
        // The motors are stopped on failure and reported again; the colour is what it was.
        EXPECT_EQ(session.Lines(),
                  (Lines{kBusReady, DeviceCreated(0, kDualShock4),
                         RumbleLine(0, "0.250980", "0.000000"), LightbarLine(0, 9, 9, 9),
                         ZeroRumble(0), PlayerError(0, "gamepad_rumble_unavailable", c.win32Error),
                         RumbleLine(0, "0.250980", "0.000000"), ZeroRumble(0), DeviceRemoved(0)}));
        ExpectBusClean();
        ExpectRecordsValid();
    }
}

}  // namespace
}  // namespace padbridge
