// The whole mouse through host sessions: buttons by name (middle and the two side buttons among
// them), the horizontal wheel, and pointing at a spot of the virtual desktop; and that every held
// button goes up with everything else.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "desktop_fixture.h"
#include "session.h"

namespace padbridge {
namespace {

using sim::MouseEvent;
using test::Down;
using test::Events;
using test::Inject;
using test::kGrant;
using test::kLeftDown;
using test::kLeftUp;
using test::kRightDown;
using test::kRightUp;
using test::Session;
using test::System;
using test::Up;

const std::string kMiddleDown = MouseEvent(0, 0, 0, 0x20);
const std::string kMiddleUp = MouseEvent(0, 0, 0, 0x40);
const std::string kBackDown = MouseEvent(0, 0, 1, 0x80);  // XBUTTON1
const std::string kBackUp = MouseEvent(0, 0, 1, 0x100);
const std::string kForwardDown = MouseEvent(0, 0, 2, 0x80);  // XBUTTON2
const std::string kForwardUp = MouseEvent(0, 0, 2, 0x100);

std::string Wheel(int32_t amount) {
    return MouseEvent(0, 0, amount, 0x800);
}
std::string SidewaysWheel(int32_t amount) {
    return MouseEvent(0, 0, amount, 0x1000);
}
// MOUSEEVENTF_MOVE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE
std::string PointAt(int32_t x, int32_t y) {
    return MouseEvent(x, y, 0, 0xC001);
}

std::string Button(const std::string& name, bool down) {
    return System(R"("action":"button","button":")" + name + R"(","down":)" +
                  (down ? "true" : "false"));
}

struct Case {
    std::string fields;
    Events expected;
};

void ExpectEach(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(Inject(System(c.fields)), c.expected) << c.fields;
}

TEST(DesktopButtonTest, EachNameSendsItsOwnRecordsDownAndUp) {
    struct Named {
        const char* name;
        std::string down;
        std::string up;
    };
    const Named buttons[] = {
        {"left", kLeftDown, kLeftUp},          {"right", kRightDown, kRightUp},
        {"middle", kMiddleDown, kMiddleUp},    {"back", kBackDown, kBackUp},
        {"forward", kForwardDown, kForwardUp},
    };
    for (const Named& b : buttons) {
        // A press stays held until shutdown lets it go; a release is sent even when not held.
        EXPECT_EQ(Inject(Button(b.name, true)), (Events{b.down, b.up})) << b.name;
        EXPECT_EQ(Inject(Button(b.name, false)), (Events{b.up})) << b.name;
        EXPECT_EQ(Inject({Button(b.name, true), Button(b.name, false)}), (Events{b.down, b.up}))
            << b.name;
    }
}

TEST(DesktopButtonTest, OnlyTheFiveNamesAsStringsAct) {
    ExpectEach({
        {R"("action":"button","button":"middle")", {kMiddleUp}},  // no `down`: a release
        {R"("action":"button","button":"back","down":"true")", {kBackUp}},
        {R"("down":true,"button":"forward","action":"button")", {kForwardDown, kForwardUp}},
        {R"("action":"button","button":"Middle","down":true)", {}},
        {R"("action":"button","button":"forwards","down":true)", {}},  // longer than any name
        {R"("action":"button","button":"wheel","down":true)", {}},
        {R"("action":"button","button":"","down":true)", {}},
        {R"("action":"button","button":1,"down":true)", {}},  // a number is not a name
        {R"("action":"button","button":"l\u0065ft","down":true)", {}},
        {R"("action":"button","down":true)", {}},
        {R"("action":"Button","button":"left","down":true)", {}},
    });
}

TEST(DesktopButtonTest, NamedLeftAndRightShareTheirFlagsWithClick) {
    EXPECT_EQ(Inject({Button("left", true), System(R"("action":"click","button":0)")}),
              (Events{kLeftDown, kLeftUp}));
    EXPECT_EQ(
        Inject({System(R"("action":"click","button":1,"down":true)"), Button("right", false)}),
        (Events{kRightDown, kRightUp}));
}

TEST(DesktopScrollTest, TheSidewaysWheelFollowsTheVerticalOneWhenItTurns) {
    ExpectEach({
        {R"("action":"scroll","x":1)", {Wheel(0), SidewaysWheel(120)}},
        {R"("action":"scroll","x":-1,"y":2)", {Wheel(240), SidewaysWheel(-120)}},
        {R"("x":0.5,"action":"scroll","y":-0.5)", {Wheel(-60), SidewaysWheel(60)}},
        {R"("action":"scroll","x":-0.999)", {Wheel(0), SidewaysWheel(-119)}},
        {R"("action":"scroll","x":0.009)", {Wheel(0), SidewaysWheel(1)}},
        {R"("action":"scroll","x":10.01,"y":-10.01)", {Wheel(-1200), SidewaysWheel(1200)}},
        {R"("action":"scroll","x":-20)", {Wheel(0), SidewaysWheel(-1200)}},
        {R"("action":"scroll","x":1e308)", {Wheel(0), SidewaysWheel(1200)}},
        {R"("action":"scroll","x":-1e308)", {Wheel(0), SidewaysWheel(-1200)}},
        // Nothing sideways unless `x` is readable and not zero once truncated.
        {R"("action":"scroll","y":1)", {Wheel(120)}},
        {R"("action":"scroll","x":0,"y":1)", {Wheel(120)}},
        {R"("action":"scroll","x":-0,"y":1)", {Wheel(120)}},
        {R"("action":"scroll","x":0.001)", {Wheel(0)}},
        {R"("action":"scroll","x":-0.008)", {Wheel(0)}},
        {R"("action":"scroll","x":"3")", {Wheel(0)}},
        {R"("action":"scroll","x":1e999)", {Wheel(0)}},
        {R"("action":"scroll","x":nan)", {Wheel(0)}},
        {R"("action":"scroll","x":[1])", {Wheel(0)}},
    });
}

TEST(DesktopPointTest, MapsTheDesktopOntoTheAbsoluteRangeRoundingToTheNearestStep) {
    ExpectEach({
        // The four corners.
        {R"("action":"point","x":0,"y":0)", {PointAt(0, 0)}},
        {R"("action":"point","x":1,"y":0)", {PointAt(65535, 0)}},
        {R"("action":"point","x":0,"y":1)", {PointAt(0, 65535)}},
        {R"("action":"point","x":1,"y":1)", {PointAt(65535, 65535)}},
        // Inside: x × 65535, halves up.
        {R"("action":"point","x":0.5,"y":0.25)", {PointAt(32768, 16384)}},
        {R"("action":"point","x":0.0000076,"y":0.0000077)", {PointAt(0, 1)}},
        {R"("action":"point","x":0.9999923,"y":0.9999924)", {PointAt(65534, 65535)}},
        // Outside is clamped to the nearest edge.
        {R"("action":"point","x":-0.5,"y":1.5)", {PointAt(0, 65535)}},
        {R"("action":"point","x":1e300,"y":-1e300)", {PointAt(65535, 0)}},
        {R"("action":"point","x":-0,"y":1.0000001)", {PointAt(0, 65535)}},
        // Unreadable or missing numbers are 0, the top or left edge.
        {R"("action":"point")", {PointAt(0, 0)}},
        {R"("action":"point","x":"0.5","y":1e999)", {PointAt(0, 0)}},
        {R"("y":0.5,"action":"point")", {PointAt(0, 32768)}},
    });
}

// A host that shows a picture of the desktop sends the centre of the pixel under the finger,
// (p + 0.5) / size; with the rounding to the nearest step, the pointer lands on that pixel on
// any desktop, one monitor or several around a primary one that is not leftmost or topmost; and
// 0 and 1 reach the first and last pixel.
TEST(DesktopPointTest, APixelCentreLandsOnThatPixelOnEveryDesktop) {
    struct Desktop {
        sim::ScreenRect all;
        sim::ScreenRect primary;
    };
    const Desktop desktops[] = {
        {{0, 0, 1920, 1080}, {0, 0, 1920, 1080}},
        {{0, 0, 1366, 768}, {0, 0, 1366, 768}},
        {{0, 0, 1080, 1920}, {0, 0, 1080, 1920}},  // portrait
        {{0, 0, 7680, 4320}, {0, 0, 7680, 4320}},
        {{-1920, -120, 4480, 1560}, {0, 0, 2560, 1440}},  // a second monitor left of and above
        {{-3840, 0, 11520, 2160}, {0, 0, 3840, 2160}},    // three side by side, the middle primary
        {{0, -1080, 1920, 2160}, {0, 0, 1920, 1080}},     // one above the other
    };
    for (const Desktop& desktop : desktops) {
        const int32_t w = desktop.all.width;
        const int32_t h = desktop.all.height;
        struct Target {
            std::string fields;
            sim::ScreenPoint pixel;  // from the desktop's top-left corner
        };
        std::vector<Target> targets = {
            {R"("x":0,"y":0)", {0, 0}},
            {R"("x":1,"y":1)", {w - 1, h - 1}},
            {R"("x":1.2,"y":-3)", {w - 1, 0}},
        };
        const sim::ScreenPoint pixels[] = {{0, 0},         {w - 1, h - 1},      {1, h - 2},
                                           {w - 2, 1},     {w / 2, h / 2},      {w / 3, 2 * h / 3},
                                           {w / 2 - 1, 7}, {1919 % w, 1079 % h}};
        for (const sim::ScreenPoint& pixel : pixels) {
            char fields[96];
            std::snprintf(fields, sizeof fields, R"("x":%.17g,"y":%.17g)", (pixel.x + 0.5) / w,
                          (pixel.y + 0.5) / h);
            targets.push_back({fields, pixel});
        }
        for (const Target& target : targets) {
            Session session;
            sim::Current().input.virtualDesktop = desktop.all;
            sim::Current().input.primaryMonitor = desktop.primary;
            sim::SendLine(0, kGrant);
            sim::SendLine(0, System(R"("action":"point",)" + target.fields));
            sim::CloseInput(10);
            session.Run();
            const sim::ScreenPoint cursor = sim::Current().input.cursor;
            EXPECT_EQ(cursor.x, desktop.all.left + target.pixel.x) << target.fields << " of " << w;
            EXPECT_EQ(cursor.y, desktop.all.top + target.pixel.y) << target.fields << " of " << h;
        }
    }
}

TEST(DesktopReleaseTest, EveryHeldButtonGoesUpAfterTheKeysInButtonOrder) {
    // Pressed in the reverse order, released keys first, then left, right, middle, back, forward.
    const std::vector<std::string> presses = {
        Button("forward", true), Button("back", true),
        Button("middle", true),  System(R"("action":"click","button":1,"down":true)"),
        Button("left", true),    System(R"("action":"key","key":"KeyA","down":true)"),
    };
    const Events pressed = {kForwardDown, kBackDown, kMiddleDown,
                            kRightDown,   kLeftDown, Down(0x41)};
    const Events released = {Up(0x41), kLeftUp, kRightUp, kMiddleUp, kBackUp, kForwardUp};
    const std::string refusal = R"({"type":"system-permission","enabled":false})";
    const std::string release = System(R"("action":"release")");
    for (const std::string& last : {release, refusal}) {
        std::vector<std::string> lines = presses;
        lines.push_back(last);
        lines.push_back(release);  // nothing is held any more, or the line is not obeyed
        Events expected = pressed;
        expected.insert(expected.end(), released.begin(), released.end());
        EXPECT_EQ(Inject(lines), expected) << last;
    }
}

// On the coarse clock a lapse can be judged up to one 15.6 ms step early or late in true time.
void ExpectNear(uint64_t at, uint64_t expected, sim::ClockMode mode) {
    const uint64_t slackMs = mode == sim::ClockMode::kCoarse ? 16 : 0;
    EXPECT_GE(at + slackMs, expected);
    EXPECT_LE(at, expected + slackMs);
}

TEST(DesktopReleaseTest, TheWatchdogLetsGoOfAHeldMiddleAndSideButton) {
    test::OnEachClock([](Session& session, sim::ClockMode mode) {
        sim::SendLine(0, kGrant);
        sim::SendLine(0, Button("middle", true));
        sim::SendLine(0, Button("back", true));
        sim::SendLine(500, Button("forward", true));  // refreshes the heartbeat: lapse from 500
        sim::SendLine(500, Button("back", false));
        sim::CloseInput(3000);
        session.Run();
        EXPECT_EQ(sim::InjectedEvents(),
                  (Events{kMiddleDown, kBackDown, kForwardDown, kBackUp, kMiddleUp, kForwardUp}));
        const std::vector<sim::InjectedEvent>& events = sim::Current().input.events;
        ASSERT_EQ(events.size(), 6u);
        // More than a second after the last line, long before shutdown at 3000.
        ExpectNear(events[4].at, 1501, mode);
        EXPECT_EQ(events[5].at, events[4].at);
        for (uint8_t flag : session.bridge->system.pressedButtons) EXPECT_EQ(flag, 0);
    });
}

}  // namespace
}  // namespace padbridge
