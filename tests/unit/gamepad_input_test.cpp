#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "gamepad/input.h"
#include "session.h"

namespace padbridge {
namespace {

using test::InputLine;
using test::Session;

const std::string kTwelveZeros = "0,0,0,0,0,0,0,0,0,0,0,0";

TEST(ParseGamepadFrameTest, ArrayShapes) {
    const std::string sixteen = "0,0,0,0," + kTwelveZeros;
    const std::pair<std::string, bool> cases[] = {
        {R"({"axes":[0,0,0,0],"buttons":[)" + sixteen + "]}", true},
        {R"({"axes":[0 , 0 ,0, 0 ],"buttons":[)" + sixteen + "]}", true},
        {"{\"axes\":[\t0,\n0,\r0, 0],\"buttons\":[" + sixteen + "]}", true},  // any space before
        {"{\"axes\":[0\t,0,0,0],\"buttons\":[" + sixteen + "]}", false},      // a tab after
        {R"({"axes":[0,0,0],"buttons":[)" + sixteen + "]}", false},
        {R"({"axes":[0,0,0,0,],"buttons":[)" + sixteen + "]}", false},
        {R"({"axes":[0,0,0,0],"buttons":[0,0,0,)" + kTwelveZeros + "]}", false},          // 15
        {R"({"axes":[0,0,0,0],"buttons":[0,0,0,0,0,)" + kTwelveZeros + "]}", true},       // 17
        {R"({"axes":[0,0,0,0],"buttons":[0,0,0,0,0,0,)" + kTwelveZeros + "]}", true},     // 18
        {R"({"axes":[0,0,0,0],"buttons":[0,0,0,0,0,0,0,)" + kTwelveZeros + "]}", false},  // 19
        {R"({"axes":[1e999,0,0,0],"buttons":[)" + sixteen + "]}", false},
        {R"({"axes":[nan,0,0,0],"buttons":[)" + sixteen + "]}", false},
        {R"({"axes":["0",0,0,0],"buttons":[)" + sixteen + "]}", false},
        {R"({"axes":[true,0,0,0],"buttons":[)" + sixteen + "]}", false},
        {R"({"axes":[],"buttons":[)" + sixteen + "]}", false},
        {R"({"axes":0,"buttons":[)" + sixteen + "]}", false},
        {R"({"buttons":[)" + sixteen + "]}", false},
        {R"({"axes":[0,0,0,0]})", false},
        {R"({"axes":[0,0,0,0],"buttons":[)" + sixteen + "]garbage", true},
        {R"({"axes":[0x1,-0,+0.5,1e-3],"buttons":[)" + sixteen + "]}", true},
    };
    for (const auto& [line, ok] : cases) {
        GamepadFrame frame;
        EXPECT_EQ(ParseGamepadFrame(line.c_str(), &frame), ok) << line;
    }
}

TEST(ParseGamepadFrameTest, ClampsIntoRange) {
    const std::string line =
        R"({"axes":[2,-3,0,0.25],"buttons":[1.5,-2,0.5,0,0,0,0,0,0,0,0,0,0,0,0,0]})";
    GamepadFrame frame;
    ASSERT_TRUE(ParseGamepadFrame(line.c_str(), &frame));
    EXPECT_EQ(frame.axes[0], 1.0);
    EXPECT_EQ(frame.axes[1], -1.0);
    EXPECT_EQ(frame.axes[3], 0.25);
    EXPECT_EQ(frame.buttons[0], 1.0);
    EXPECT_EQ(frame.buttons[1], 0.0);
    EXPECT_EQ(frame.buttons[2], 0.5);
}

GamepadFrame FrameWith(int button, double value) {
    GamepadFrame frame{};
    frame.buttons[button] = value;
    return frame;
}

TEST(BuildPadReportTest, ButtonBits) {
    // 16 is the centre button (Guide); the touchpad click (17) has no bit on this pad.
    const uint16_t bits[kMaxButtonCount] = {0x1000, 0x2000, 0x4000, 0x8000, 0x0100, 0x0200,
                                            0,      0,      0x0020, 0x0010, 0x0040, 0x0080,
                                            0x0001, 0x0002, 0x0004, 0x0008, 0x0400, 0};
    for (int i = 0; i < kMaxButtonCount; ++i) {
        EXPECT_EQ(BuildPadReport(FrameWith(i, 1.0)).buttons, bits[i]) << "button " << i;
        EXPECT_EQ(BuildPadReport(FrameWith(i, 0.5)).buttons, 0) << "button " << i;
        EXPECT_EQ(BuildPadReport(FrameWith(i, 0.51)).buttons, bits[i]) << "button " << i;
    }
    GamepadFrame all{};
    for (double& b : all.buttons) b = 1.0;
    EXPECT_EQ(BuildPadReport(all).buttons, 0xF7FF);  // 0x0800 never set
}

TEST(BuildPadReportTest, TriggersAndSticks) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, int> triggers[] = {{0.5, 127}, {1.0, 255}, {0.003, 0}, {0.0, 0},
                                               {2.0, 255}, {-1.0, 0},  {nan, 0},   {inf, 0}};
    for (const auto& [value, expected] : triggers) {
        GamepadFrame frame = FrameWith(6, value);
        frame.buttons[7] = value;
        const PadReport report = BuildPadReport(frame);
        EXPECT_EQ(report.leftTrigger, expected) << value;
        EXPECT_EQ(report.rightTrigger, expected) << value;
    }
    // Horizontal axes keep their sign; vertical ones are negated (down in, up out).
    const std::pair<double, int> sticks[] = {{-1.0, -32768}, {1.0, 32767}, {0.5, 16383},
                                             {-0.5, -16384}, {0.0, 0},     {3.0, 32767},
                                             {nan, 0},       {-inf, 0}};
    for (const auto& [value, expected] : sticks) {
        GamepadFrame frame{};
        frame.axes[0] = frame.axes[2] = value;
        frame.axes[1] = frame.axes[3] = -value;
        const PadReport r = BuildPadReport(frame);
        EXPECT_EQ(r.leftX, expected) << value;
        EXPECT_EQ(r.rightX, expected) << value;
        EXPECT_EQ(r.leftY, expected) << value;
        EXPECT_EQ(r.rightY, expected) << value;
    }
    GamepadFrame down{};
    down.axes[1] = 1.0;
    EXPECT_EQ(BuildPadReport(down).leftY, -32768);
}

TEST(SelfTestTest, PassesWithTheBuiltInVectorOnly) {
    Session session;
    EXPECT_EQ(session.Run({u"--self-test"}), 0);
    EXPECT_EQ(sim::Current().output, test::Crlf(test::kSelfTest));
    // Nothing else runs: no library restriction, no stream set-up, no probe, no stdin.
    EXPECT_EQ(sim::Current().defaultDllDirectories, 0u);
    EXPECT_FALSE(sim::Current().streamsPrepared);
    EXPECT_FALSE(sim::Current().pipe.readerStarted);

    Session broken;
    SelfTestVector vector = kSelfTestVector;
    vector.rightY = -16383;
    EXPECT_EQ(RunSelfTest(vector, broken.bridge->output), 1);
    EXPECT_EQ(sim::Current().output, "");
}

TEST(InputHandlerTest, DriverRequiredOncePerValidLineAndNoTick) {
    Session session;
    sim::SendLine(0, InputLine(0));
    sim::SendLine(0, InputLine(0));
    sim::SendLine(0, InputLine(7));
    sim::SendLine(0, R"({"type":"input","player":1,"axes":[0,0,0],"buttons":[]})");
    sim::CloseInput(10);
    EXPECT_EQ(session.Run(), 0);
    const auto lines = session.Lines();
    ASSERT_EQ(lines.size(), 4u);
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i], test::kDriverRequired);
    for (uint64_t tick : session.bridge->players.lastInputTick) EXPECT_EQ(tick, 0u);
}

}  // namespace
}  // namespace padbridge
