// The DualShock 4's input report, byte for byte, as the simulated driver receives it from whole
// host sessions: buttons, hat, triggers, sticks, motion, fingers, counters and timestamp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dualshock4_fixture.h"
#include "gamepad/input.h"

namespace padbridge {
namespace {

using test::Ds4Line;
using test::Ds4Reports;
using test::I16At;
using test::InputLine;
using test::Session;
using test::U16At;
using Bytes = std::vector<uint8_t>;

// Runs one session in which player 0 sends `lines`, the n-th at `times[n]` ms, and the host
// closes the pipe 10 ms after the last; returns the full reports the driver received (the
// teardown's neutral report last).
std::vector<Bytes> ReportsOf(const std::vector<std::string>& lines,
                             const std::vector<uint64_t>& times = {},
                             sim::ClockMode clock = sim::ClockMode::kFine) {
    Session session(clock);
    test::InstallBus();
    uint64_t last = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        last = i < times.size() ? times[i] : 10 * i;
        sim::SendLine(last, lines[i]);
    }
    sim::CloseInput(last + 10);
    session.Run();
    test::ExpectBusClean();
    test::ExpectRecordsValid();
    return Ds4Reports();
}

Bytes FirstReport(const std::string& line) {
    const std::vector<Bytes> reports = ReportsOf({line});
    return reports.empty() ? Bytes(63, 0xEE) : reports[0];
}

std::vector<double> Pressed(std::initializer_list<int> buttons, std::size_t count = 18) {
    std::vector<double> values(count, 0.0);
    for (int b : buttons) values[static_cast<std::size_t>(b)] = 1.0;
    return values;
}

TEST(Ds4ReportTest, EachButtonAlone) {
    struct Case {
        int button;
        uint16_t word;  // bytes 4-5, hat 8 included
        uint8_t special;
        uint8_t leftTrigger;
        uint8_t rightTrigger;
    };
    const Case cases[] = {
        {0, 0x0028, 0, 0, 0},   {1, 0x0048, 0, 0, 0},
        {2, 0x0018, 0, 0, 0},  // cross, circle, square
        {3, 0x0088, 0, 0, 0},   {4, 0x0108, 0, 0, 0},
        {5, 0x0208, 0, 0, 0},                            // triangle, L1, R1
        {6, 0x0408, 0, 255, 0}, {7, 0x0808, 0, 0, 255},  // L2, R2
        {8, 0x1008, 0, 0, 0},   {9, 0x2008, 0, 0, 0},    // share, options
        {10, 0x4008, 0, 0, 0},  {11, 0x8008, 0, 0, 0},   // L3, R3
        {12, 0x0000, 0, 0, 0},  {13, 0x0004, 0, 0, 0},   // d-pad up, down
        {14, 0x0006, 0, 0, 0},  {15, 0x0002, 0, 0, 0},   // left, right
        {16, 0x0008, 1, 0, 0},  {17, 0x0008, 2, 0, 0},   // PS, touchpad
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("button " + std::to_string(c.button));
        const Bytes report = FirstReport(Ds4Line(0, {0, 0, 0, 0}, Pressed({c.button})));
        EXPECT_EQ(U16At(report, 4), c.word);
        EXPECT_EQ(report[6] & 0x03, c.special);
        EXPECT_EQ(report[7], c.leftTrigger);
        EXPECT_EQ(report[8], c.rightTrigger);
    }
    // Everything at once, with the 17-button layout of a browser's standard gamepad.
    const Bytes all = FirstReport(Ds4Line(
        0, {0, 0, 0, 0}, std::vector<double>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1}));
    EXPECT_EQ(U16At(all, 4), 0xFFF8);
    EXPECT_EQ(all[6] & 0x03, 1);
}

TEST(Ds4ReportTest, DpadFoldsIntoTheHat) {
    // up, down, left, right -> hat; opposite directions cancel.
    struct Case {
        std::initializer_list<int> pressed;
        uint8_t hat;
    };
    const Case cases[] = {
        {{}, 8},           {{12}, 0},         {{12, 15}, 1},     {{15}, 2},
        {{13, 15}, 3},     {{13}, 4},         {{13, 14}, 5},     {{14}, 6},
        {{12, 14}, 7},     {{12, 13}, 8},     {{14, 15}, 8},     {{12, 13, 14, 15}, 8},
        {{12, 13, 15}, 2}, {{12, 13, 14}, 6}, {{12, 14, 15}, 0}, {{13, 14, 15}, 4},
    };
    for (const Case& c : cases) {
        std::vector<double> buttons = Pressed(c.pressed, 16);
        const Bytes report = FirstReport(Ds4Line(0, {0, 0, 0, 0}, buttons));
        EXPECT_EQ(U16At(report, 4), c.hat) << "hat " << int(c.hat);
    }
}

TEST(Ds4ReportTest, TriggersAndSticks) {
    // Analog bytes round half away from zero; the digital bit needs more than 0.5.
    const std::tuple<double, uint8_t, bool> triggers[] = {
        {0.0, 0, false}, {0.5, 128, false}, {0.51, 130, true}, {1.0, 255, true}, {0.002, 1, false},
    };
    for (const auto& [value, byte, digital] : triggers) {
        std::vector<double> buttons(16, 0.0);
        buttons[6] = buttons[7] = value;
        const Bytes report = FirstReport(Ds4Line(0, {0, 0, 0, 0}, buttons));
        EXPECT_EQ(report[7], byte) << value;
        EXPECT_EQ(report[8], byte) << value;
        EXPECT_EQ(U16At(report, 4), digital ? 0x0C08 : 0x0008) << value;
    }
    // Sticks keep the standard layout's directions: 0 left/up, 255 right/down.
    const std::pair<double, uint8_t> sticks[] = {{-1.0, 0},  {0.0, 0x80}, {1.0, 255},
                                                 {0.5, 191}, {-0.5, 64},  {-3.0, 0}};
    for (const auto& [value, byte] : sticks) {
        const Bytes report = FirstReport(Ds4Line(0, {value, value, value, value}));
        EXPECT_EQ(Bytes(report.begin(), report.begin() + 4), Bytes(4, byte)) << value;
    }
    const Bytes mixed = FirstReport(Ds4Line(0, {-1, 1, 0.5, -0.5}));
    EXPECT_EQ(Bytes(mixed.begin(), mixed.begin() + 4), (Bytes{0, 255, 191, 64}));
}

TEST(Ds4ReportTest, CentreButtonOnBothKinds) {
    for (std::size_t count : {17u, 18u}) {
        SCOPED_TRACE(std::to_string(count) + " buttons");
        // The Xbox 360 pad: Guide, 0x0400; the touchpad click has no bit there.
        for (auto [pressed, word] : {std::pair{16, 0x0400}, {17, 0x0000}}) {
            if (static_cast<std::size_t>(pressed) >= count) continue;
            Session session;
            test::InstallBus();
            sim::SendLine(0, InputLine(0, {0, 0, 0, 0}, Pressed({pressed}, count)));
            sim::CloseInput(10);
            session.Run();
            const std::vector<sim::Request> reports =
                sim::Current().bus.RequestsOf(sim::kSubmitReport);
            ASSERT_GE(reports.size(), 1u);
            EXPECT_EQ(U16At(reports[0].input, 8), word) << pressed;
        }
        const Bytes ds4 = FirstReport(Ds4Line(0, {0, 0, 0, 0}, Pressed({16}, count)));
        EXPECT_EQ(ds4[6] & 0x03, 1);
        EXPECT_EQ(U16At(ds4, 4), 0x0008);
    }
}

TEST(Ds4ReportTest, MotionCounts) {
    struct Case {
        const char* fields;
        int16_t gyro[3];
        int16_t accel[3];
    };
    const Case cases[] = {
        {"", {1, 0, 0}, {-294, 8033, -500}},  // absent: at rest, lying flat
        {R"(,"gyro":[0,0,0],"accel":[0,9.80665,0])", {1, 0, 0}, {-294, 8033, -500}},
        {R"(,"gyro":[90,0,-45])", {1474, 0, -741}, {-294, 8033, -500}},
        {R"(,"gyro":[2000,-2000,1000])", {32734, -32768, 16469}, {-294, 8033, -500}},
        {R"(,"accel":[39.2266,-39.2266,19.6133])", {1, 0, 0}, {32124, -32337, 15488}},
        {R"(,"gyro":[2100,-2100,1e9],"accel":[100,-100,1e9])",  // beyond: clamped
         {32767, -32768, 32767},
         {32767, -32768, 32767}},
        {R"(,"accel":[0,0,0])", {1, 0, 0}, {-294, -41, -500}},  // free fall
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        const Bytes report = FirstReport(Ds4Line(0, {0, 0, 0, 0}, Pressed({}, 16), c.fields));
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_EQ(I16At(report, 12 + 2 * static_cast<std::size_t>(axis)), c.gyro[axis]);
            EXPECT_EQ(I16At(report, 18 + 2 * static_cast<std::size_t>(axis)), c.accel[axis]);
        }
    }
}

// Bytes 33..41: the touch packet counter and the two fingers.
Bytes TouchBytes(const Bytes& report) {
    return Bytes(report.begin() + 33, report.begin() + 42);
}

TEST(Ds4ReportTest, FingersKeepTheirTrackingNumberWhileDown) {
    const std::string touches[] = {
        R"(,"touch":[])",
        R"(,"touch":[0.5,0.25])",
        R"(,"touch":[0.5,0.25])",     // unchanged: same packet counter
        R"(,"touch":[1,0])",          // moved
        R"(,"touch":[1,0,0.1,0.9])",  // a second finger
        R"(,"touch":[1,0])",          // it lifts
        "",                           // none (absent)
        R"(,"touch":[-1, 2])",        // back: the next number; clamped to the pad
        R"(,"touch":[0,1,0.1,0.9])",  // a new second finger
    };
    std::vector<std::string> lines;
    for (const std::string& touch : touches)
        lines.push_back(Ds4Line(0, {0, 0, 0, 0}, Pressed({}, 16), touch));
    const std::vector<Bytes> reports = ReportsOf(lines);
    const Bytes expected[] = {
        {0, 0x80, 0, 0, 0, 0x80, 0, 0, 0},
        {1, 0, 0xC0, 0xC3, 0x0E, 0x80, 0, 0, 0},  // x 960, y 236
        {1, 0, 0xC0, 0xC3, 0x0E, 0x80, 0, 0, 0},
        {2, 0, 0x7F, 0x07, 0x00, 0x80, 0, 0, 0},        // x 1919, y 0
        {3, 0, 0x7F, 0x07, 0x00, 1, 0xC0, 0x00, 0x35},  // x 192, y 848
        {4, 0, 0x7F, 0x07, 0x00, 0x80, 0, 0, 0},
        {5, 0x80, 0, 0, 0, 0x80, 0, 0, 0},
        {6, 2, 0x00, 0xE0, 0x3A, 0x80, 0, 0, 0},  // x 0, y 942
        {7, 2, 0x00, 0xE0, 0x3A, 3, 0xC0, 0x00, 0x35},
        {8, 0x80, 0, 0, 0, 0x80, 0, 0, 0},  // the teardown's neutral report: no finger
    };
    ASSERT_EQ(reports.size(), std::size(expected));
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(TouchBytes(reports[i]), expected[i]) << "report " << i;
    }
}

TEST(Ds4ReportTest, TrackingNumbersWrapAt128) {
    std::vector<std::string> lines;
    for (int i = 0; i < 130; ++i) {
        lines.push_back(Ds4Line(0, {0, 0, 0, 0}, Pressed({}, 16), R"(,"touch":[0.5,0.5])"));
        lines.push_back(Ds4Line(0));
    }
    const std::vector<Bytes> spaced = ReportsOf(lines);
    ASSERT_EQ(spaced.size(), lines.size() + 1);
    EXPECT_EQ(spaced[0][34], 0);
    EXPECT_EQ(spaced[2][34], 1);
    EXPECT_EQ(spaced[254][34], 127);
    EXPECT_EQ(spaced[256][34], 0);
    EXPECT_EQ(spaced[258][34], 1);
    EXPECT_EQ(spaced[256][33], 0);  // the packet counter wraps at 256
}

TEST(Ds4ReportTest, CounterAndTimestampFollowTheReports) {
    const std::vector<uint64_t> times = {0, 10, 13, 500, 900};
    const std::vector<std::string> lines(times.size(), Ds4Line(0));
    // The tick of a real Windows clock moves in 15.6 ms steps (all of the first three reports
    // fall in its first step); the timestamp follows the true time all the same.
    for (sim::ClockMode clock : test::kClockModes) {
        SCOPED_TRACE(test::ClockModeName(clock));
        const std::vector<Bytes> reports = ReportsOf(lines, times, clock);
        ASSERT_EQ(reports.size(), times.size() + 1);
        // Units of 16/3 us: 187.5 a millisecond, wrapping at 16 bits; the neutral report at 910.
        const uint16_t stamps[] = {0, 1875, 2437, 28214, 37678, 39553};
        for (std::size_t i = 0; i < reports.size(); ++i) {
            EXPECT_EQ(reports[i][6] >> 2, static_cast<int>(i)) << i;
            EXPECT_EQ(U16At(reports[i], 9), stamps[i]) << i;
        }
    }
}

TEST(Ds4ReportTest, ReportCounterWrapsAt64) {
    std::vector<std::string> lines;
    for (int i = 0; i < 66; ++i) lines.push_back(Ds4Line(0, {i % 2 ? 0.5 : 0.0, 0, 0, 0}));
    const std::vector<Bytes> reports = ReportsOf(lines);
    ASSERT_GE(reports.size(), 66u);
    EXPECT_EQ(reports[63][6] >> 2, 63);
    EXPECT_EQ(reports[64][6] >> 2, 0);
    EXPECT_EQ(reports[65][6] >> 2, 1);
}

TEST(Ds4ReportTest, FixedBytesAndTheNeutralReportOfATeardown) {
    const std::vector<Bytes> reports =
        ReportsOf({Ds4Line(0, {1, 1, -1, -1}, Pressed({0, 6, 12, 16, 17}),
                           R"(,"gyro":[90,0,-45],"accel":[1,2,3],"touch":[0.5,0.25,0.1,0.9])")});
    ASSERT_EQ(reports.size(), 2u);
    const Bytes neutral = {
        0x80, 0x80, 0x80, 0x80, 0x08, 0x00, 1 << 2, 0, 0,  // sticks, hat none, counter 1
        0x53, 0x07,                                        // 10 ms later: 1875
        0xFF,                                              // battery
        1,    0,    0,    0,    0,    0,                   // gyro at rest
        0xDA, 0xFE, 0x61, 0x1F, 0x0C, 0xFE,                // accel -294, 8033, -500
        0,    0,    0,    0,    0,    0x1A, 0,      0,     // status
        1,    1,                                           // one packet; the fingers went
        0x80, 0,    0,    0,    0x80, 0,    0,      0,     // no finger
        0,    0x80, 0,    0,    0,    0x80, 0,      0, 0,  // two unused packets
        0,    0x80, 0,    0,    0,    0x80, 0,      0, 0, 0, 0, 0,
    };
    EXPECT_EQ(reports[1], neutral);
    const Bytes& first = reports[0];
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 9),
              (Bytes{0xFF, 0xFF, 0, 0, 0x20, 0x04, 0x03, 255, 0}));  // cross, L2, hat north
}

}  // namespace
}  // namespace padbridge
