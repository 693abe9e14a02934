// vJoy pads on the simulated library: acquisition, the values written and when.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "vjoy_session.h"

namespace padbridge {
namespace {

using test::Buttons;
using test::DeviceCreated;
using test::InputLine;
using test::InstallVjoy;
using test::kVjoy;
using test::kVjoyCapabilities;
using test::PadCalls;
using test::PadWrites;
using test::Session;
using Strings = std::vector<std::string>;

// The writes of a first update of an all-released, centred frame on device `d` of range 0..32767.
Strings FirstNeutralWrites(int d) {
    const std::string id = std::to_string(d);
    Strings writes = {"AcquireVJD(" + id + ")"};
    for (const char* usage : {"48", "49", "51", "52"}) {
        writes.push_back("SetAxis(16383," + id + "," + usage + ")");
    }
    writes.push_back("SetAxis(0," + id + ",50)");
    writes.push_back("SetAxis(0," + id + ",53)");
    for (int n = 1; n <= 10; ++n)
        writes.push_back("SetBtn(0," + id + "," + std::to_string(n) + ")");
    writes.push_back("SetContPov(4294967295," + id + ",1)");
    return writes;
}

TEST(VjoyPadTest, FirstInputAcquiresAndWritesEverythingAnIdenticalOneWritesNothing) {
    Session session;
    InstallVjoy();
    sim::SendLine(0, InputLine(0));
    sim::SendLine(10, InputLine(0));
    sim::CloseInput(20);
    EXPECT_EQ(session.Run(), 0);

    // Checks in order, then acquisition, then per axis both range queries before its write.
    Strings expected = {"GetVJDButtonNumber(1)", "GetVJDContPovNumber(1)", "GetVJDAxisExist(1,48)",
                        "GetVJDAxisExist(1,49)", "GetVJDAxisExist(1,51)",  "GetVJDAxisExist(1,52)",
                        "GetVJDAxisExist(1,50)", "GetVJDAxisExist(1,53)",  "AcquireVJD(1)"};
    const Strings axisWrites = {"SetAxis(16383,1,48)", "SetAxis(16383,1,49)", "SetAxis(16383,1,51)",
                                "SetAxis(16383,1,52)", "SetAxis(0,1,50)",     "SetAxis(0,1,53)"};
    const char* usages[] = {"48", "49", "51", "52", "50", "53"};
    for (int row = 0; row < 6; ++row) {
        expected.push_back(std::string("GetVJDAxisMin(1,") + usages[row] + ",1)");
        expected.push_back(std::string("GetVJDAxisMax(1,") + usages[row] + ",1)");
        expected.push_back(axisWrites[static_cast<std::size_t>(row)]);
    }
    for (int n = 1; n <= 10; ++n) expected.push_back("SetBtn(0,1," + std::to_string(n) + ")");
    expected.push_back("SetContPov(4294967295,1,1)");
    // The identical second input: the twelve range queries and no write.
    for (const char* usage : usages) {
        expected.push_back(std::string("GetVJDAxisMin(1,") + usage + ",1)");
        expected.push_back(std::string("GetVJDAxisMax(1,") + usage + ",1)");
    }
    // Shutdown releases the player: every value is already neutral, so only the relinquish.
    for (const char* usage : usages) {
        expected.push_back(std::string("GetVJDAxisMin(1,") + usage + ",1)");
        expected.push_back(std::string("GetVJDAxisMax(1,") + usage + ",1)");
    }
    expected.push_back("RelinquishVJD(1)");
    EXPECT_EQ(PadCalls(), expected);
    EXPECT_EQ(session.Lines(),
              (Strings{kVjoyCapabilities, DeviceCreated(0, kVjoy), test::DeviceRemoved(0)}));
    EXPECT_EQ(sim::Current().vjoy.callsWhileUnloaded, 0u);
    EXPECT_FALSE(sim::VjoyDeviceById(1).owned);
}

TEST(VjoyPadTest, PlayerSevenDrivesDeviceEight) {
    Session session;
    InstallVjoy();
    sim::SendLine(0, InputLine(7));
    sim::SendLine(5, "{\"type\":\"remove\",\"player\":7}");
    sim::CloseInput(10);
    session.Run();
    Strings expected = FirstNeutralWrites(8);
    expected.push_back("RelinquishVJD(8)");
    EXPECT_EQ(PadWrites(), expected);
    for (const sim::VjoyCall& call : sim::Current().vjoy.calls) {
        if (call.name == "vJoyEnabled") continue;
        // The device id is the first argument of a query and the second of a write.
        const bool isWrite =
            call.name == "SetAxis" || call.name == "SetBtn" || call.name == "SetContPov";
        EXPECT_EQ(call.args[isWrite ? 1 : 0], 8) << sim::Describe(call);
    }
    EXPECT_EQ(session.Lines(),
              (Strings{kVjoyCapabilities, DeviceCreated(7, kVjoy), test::DeviceRemoved(7)}));
}

TEST(VjoyPadTest, AxisValuesFollowTheRangeTheDeviceReports) {
    struct Case {
        const char* name;
        std::optional<int32_t> min, max;  // none: the query writes nothing
        double stick;                     // all four stick axes
        double trigger;                   // both triggers
        int32_t expectedStick;
        int32_t expectedTrigger;
    };
    const Case cases[] = {
        {"0..32767 centred", 0, 32767, 0.0, 0.5, 16383, 16383},
        {"0..32767 low end", 0, 32767, -1.0, 0.0, 0, 0},
        {"0..32767 high end", 0, 32767, 1.0, 1.0, 32767, 32767},
        {"unwritten centred", std::nullopt, std::nullopt, 0.0, 0.5, 16384, 16384},
        {"unwritten high end", std::nullopt, std::nullopt, 1.0, 1.0, 32768, 32768},
        {"only max written", std::nullopt, 1000, 0.0, 0.25, 500, 250},
        {"only min written", 100, std::nullopt, -1.0, 0.003, 100, 198},
        {"symmetric range", -100, 100, 0.0, 0.001, 0, -100},
        // -1 is the cache's "unknown": an axis computed as -1 is not written by the first update.
        {"value equal to the unknown mark", -101, 100, 0.0, 0.001, -1, -101},
        {"reversed range truncates toward zero", 100, -101, 0.0, 0.001, 0, 100},
        {"stick between steps truncates", 0, 32767, -0.99999, 0.99999, 0, 32766},
        // A range wider than 32 bits wraps as 32-bit arithmetic does; nothing overflows.
        {"full 32-bit range", INT_MIN, INT_MAX, 1.0, 0.0, INT_MAX, INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session session;
        InstallVjoy();
        sim::VjoyDevice& device = sim::VjoyDeviceById(1);
        device.axisMin = c.min;
        device.axisMax = c.max;
        sim::SendLine(0, InputLine(0, {c.stick, c.stick, c.stick, c.stick},
                                   Buttons({{6, c.trigger}, {7, c.trigger}})));
        sim::CloseInput(0);
        session.Run();
        Strings expected;
        for (const char* usage : {"48", "49", "51", "52", "50", "53"}) {
            const bool stick = usage[1] != '0' && usage[1] != '3';
            const int32_t value = stick ? c.expectedStick : c.expectedTrigger;
            if (value != -1)
                expected.push_back("SetAxis(" + std::to_string(value) + ",1," + usage + ")");
        }
        Strings axisWrites;
        for (const std::string& write : PadWrites()) {
            if (write.rfind("SetAxis(", 0) == 0) axisWrites.push_back(write);
        }
        ASSERT_GE(axisWrites.size(), expected.size());
        axisWrites.resize(expected.size());  // the rest is the release at shutdown
        EXPECT_EQ(axisWrites, expected);
    }
}

TEST(VjoyPadTest, SticksAreNotInvertedAndEachAxisHasItsSource) {
    Session session;
    InstallVjoy();
    sim::SendLine(0, InputLine(0));
    // Left stick right, left stick down, right stick left, right stick up, left trigger full.
    sim::SendLine(5, InputLine(0, {1, 1, -1, -1}, Buttons({{6, 1.0}})));
    sim::CloseInput(10);
    session.Run();
    const Strings writes = PadWrites();
    ASSERT_GE(writes.size(), 23u);
    EXPECT_EQ(Strings(writes.begin() + 18, writes.begin() + 23),
              (Strings{"SetAxis(32767,1,48)", "SetAxis(32767,1,49)", "SetAxis(0,1,51)",
                       "SetAxis(0,1,52)", "SetAxis(32767,1,50)"}));
}

TEST(VjoyPadTest, ButtonsMapToVjoyButtonsAndAreWrittenOnlyOnChange) {
    Session session;
    InstallVjoy();
    sim::SendLine(0, InputLine(0));
    // One frame per source button, each pressing only that one; then 0.5 (released) and 0.51.
    const int sources[] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11};
    uint64_t at = 10;
    for (int source : sources)
        sim::SendLine(at++, InputLine(0, {0, 0, 0, 0}, Buttons({{source, 1.0}})));
    sim::SendLine(at++, InputLine(0, {0, 0, 0, 0}, Buttons({{11, 0.5}})));
    sim::SendLine(at++, InputLine(0, {0, 0, 0, 0}, Buttons({{11, 0.51}})));
    sim::CloseInput(at);
    session.Run();
    Strings expected;
    for (int n = 1; n <= 10; ++n) {
        if (n > 1) expected.push_back("SetBtn(0,1," + std::to_string(n - 1) + ")");
        expected.push_back("SetBtn(1,1," + std::to_string(n) + ")");
    }
    expected.push_back("SetBtn(0,1,10)");  // 0.5 is released
    expected.push_back("SetBtn(1,1,10)");  // 0.51 is pressed
    expected.push_back("SetBtn(0,1,10)");  // the release at shutdown
    expected.push_back("RelinquishVJD(1)");
    const Strings writes = PadWrites();
    ASSERT_GE(writes.size(), 18u);
    EXPECT_EQ(Strings(writes.begin() + 18, writes.end()), expected);
}

TEST(VjoyPadTest, HatValueForEveryDirection) {
    enum { kUp = 12, kDown = 13, kLeft = 14, kRight = 15 };
    struct Case {
        std::vector<int> pressed;
        uint32_t expected;
    };
    const Case cases[] = {
        {{}, 0xFFFFFFFF},
        {{kUp}, 0},
        {{kUp, kRight}, 4500},
        {{kRight}, 9000},
        {{kDown, kRight}, 13500},
        {{kDown}, 18000},
        {{kDown, kLeft}, 22500},
        {{kLeft}, 27000},
        {{kUp, kLeft}, 31500},
        {{kUp, kDown}, 0xFFFFFFFF},
        {{kLeft, kRight}, 0xFFFFFFFF},
        {{kUp, kDown, kLeft}, 27000},
        {{kLeft, kRight, kDown}, 18000},
        {{kUp, kDown, kLeft, kRight}, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        Session session;
        InstallVjoy();
        std::vector<std::pair<int, double>> pressed;
        for (int button : c.pressed) pressed.push_back({button, 1.0});
        sim::SendLine(0, InputLine(0, {0, 0, 0, 0}, Buttons(pressed)));
        sim::CloseInput(0);
        session.Run();
        const Strings writes = PadWrites();
        ASSERT_GE(writes.size(), 18u);
        EXPECT_EQ(writes[17], "SetContPov(" + std::to_string(c.expected) + ",1,1)")
            << "d-pad buttons pressed: " << c.pressed.size();
    }
}

TEST(VjoyPadTest, HatIsWrittenOnlyWhenItsValueChanges) {
    Session session;
    InstallVjoy();
    sim::SendLine(0, InputLine(0, {0, 0, 0, 0}, Buttons({{12, 1.0}})));
    sim::SendLine(1, InputLine(0, {0, 0, 0, 0}, Buttons({{12, 1.0}})));
    sim::SendLine(
        2, InputLine(0, {0, 0, 0, 0}, Buttons({{12, 1.0}, {14, 1.0}, {15, 1.0}})));  // still up
    sim::SendLine(3, InputLine(0, {0, 0, 0, 0}, Buttons({{13, 1.0}})));
    sim::CloseInput(4);
    session.Run();
    const Strings writes = PadWrites();
    ASSERT_EQ(writes.size(), 21u);
    EXPECT_EQ(writes[17], "SetContPov(0,1,1)");
    EXPECT_EQ(writes[18], "SetContPov(18000,1,1)");
    EXPECT_EQ(writes[19], "SetContPov(4294967295,1,1)");  // the release
}

// The DualShock 4's fields and the centre and touchpad buttons are not for vJoy: with them, every
// line drives the device exactly as the same line without them.
TEST(VjoyPadTest, PadKindMotionTouchAndButtonsSixteenAndSeventeenAreIgnored) {
    const std::string extras[] = {
        R"(,"pad":"dualshock4")",
        R"(,"pad":"xbox360","gyro":[2000,0,-90],"accel":[0,0,9.8])",
        R"(,"touch":[0.5,0.5,1,1])",
        R"(,"pad":"dualshock4","gyro":[1,2,3],"touch":[])",
    };
    const std::vector<double> axes = {0.5, -1, 0, 1};
    std::vector<double> buttons = Buttons({{0, 1}, {7, 0.75}, {12, 1}});
    auto run = [&](const std::vector<double>& pressed, const std::string& extra) {
        Session session;
        InstallVjoy();
        std::string line = InputLine(0, axes, pressed);
        line.insert(line.size() - 1, extra);
        sim::SendLine(0, line);
        sim::SendLine(10, InputLine(0));
        sim::CloseInput(20);
        session.Run();
        return std::pair{PadCalls(), session.Lines()};
    };
    const auto plain = run(buttons, "");
    ASSERT_GT(plain.first.size(), 10u);
    for (std::size_t count : {17u, 18u}) {
        std::vector<double> more = buttons;
        more.resize(count, 1.0);  // the centre button (and the touchpad click) pressed
        for (const std::string& extra : extras) {
            SCOPED_TRACE(std::to_string(count) + " buttons" + extra);
            EXPECT_EQ(run(more, extra), plain);
        }
    }
}

}  // namespace
}  // namespace padbridge
