// The `system` actions other than keys and text, through whole host sessions: what each line
// injects, with its clamps, truncations and flags, and what it leaves held.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "desktop_fixture.h"
#include "session.h"

namespace padbridge {
namespace {

using sim::KeyEvent;
using sim::MouseEvent;
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

std::string Move(int32_t dx, int32_t dy) {
    return MouseEvent(dx, dy, 0, 0x1);
}
std::string Wheel(int32_t amount) {
    return MouseEvent(0, 0, amount, 0x800);
}

struct Case {
    std::string fields;
    Events expected;
};

void ExpectEach(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(Inject(System(c.fields)), c.expected) << c.fields;
}

TEST(DesktopMoveTest, ClampsThenTruncatesTowardZero) {
    ExpectEach({
        {R"("action":"move","x":1000,"y":-0.9)", {Move(200, 0)}},
        {R"("action":"move")", {Move(0, 0)}},
        {R"("action":"move","x":3.9,"y":-3.9)", {Move(3, -3)}},
        {R"("action":"move","x":-200.5,"y":200)", {Move(-200, 200)}},
        {R"("action":"move","x":-1e300,"y":1e300)", {Move(-200, 200)}},
        {R"("action":"move","x":199.99,"y":-199.99)", {Move(199, -199)}},
        {R"("action":"move","x":1e999,"y":nan)", {Move(0, 0)}},  // not finite: default
        {R"("action":"move","x":"7","y":0x10)", {Move(0, 16)}},
        {R"("y":4,"action":"move","x":-1)", {Move(-1, 4)}},
    });
}

TEST(DesktopScrollTest, ScalesBy120ClampsAndTruncates) {
    ExpectEach({
        {R"("action":"scroll","y":0.5)", {Wheel(60)}},
        {R"("action":"scroll","y":-20)", {Wheel(-1200)}},
        {R"("action":"scroll","y":0.001)", {Wheel(0)}},
        {R"("action":"scroll","x":3)", {Wheel(0), MouseEvent(0, 0, 360, 0x1000)}},  // sideways
        {R"("action":"scroll","y":1)", {Wheel(120)}},
        {R"("action":"scroll","y":10.01)", {Wheel(1200)}},
        {R"("action":"scroll","y":-0.999)", {Wheel(-119)}},
        {R"("action":"scroll","y":1e308)", {Wheel(1200)}},
    });
}

TEST(DesktopClickTest, OnlyButtonOneIsRightAndTheFlagFollowsThePress) {
    // Shutdown lifts what the line left held, which shows the flag it set.
    ExpectEach({
        {R"("action":"click","button":2,"down":true)", {kLeftDown, kLeftUp}},
        {R"("action":"click","button":1)", {kRightUp}},
        {R"("action":"click","button":1,"down":true)", {kRightDown, kRightUp}},
        {R"("action":"click","button":1.0,"down":true)", {kRightDown, kRightUp}},
        {R"("action":"click","button":1.5,"down":true)", {kLeftDown, kLeftUp}},
        {R"("action":"click","button":"1","down":true)", {kLeftDown, kLeftUp}},
        {R"("action":"click","down":true)", {kLeftDown, kLeftUp}},
        {R"("action":"click","button":0,"down":"true")", {kLeftUp}},
        {R"("action":"click","button":0,"down":false)", {kLeftUp}},
    });
    EXPECT_EQ(Inject({System(R"("action":"click","button":0,"down":true)"),
                      System(R"("action":"click","button":0,"down":false)")}),
              (Events{kLeftDown, kLeftUp}));
}

TEST(DesktopActionTest, AnyReadableActionRefreshesTheHeartbeat) {
    // A key held from time 0 is lifted by the watchdog at 1001 unless a line at 800 refreshed
    // the heartbeat, which moves the release to 1801.
    struct Refresh {
        std::string line;
        uint64_t releasedAt;
    };
    const Refresh cases[] = {
        {System(R"("action":"Move")"), 1801},
        {System(R"("action":"move ")"), 1801},
        {System(R"("action":"wiggle")"), 1801},
        {System(R"("action":"key","key":"F13","down":true)"), 1801},
        {System(R"("action":"button","button":"thumb","down":true)"), 1801},
        {System(R"("action":"text","text":"bad\u0041")"), 1801},
        {System(R"("action":")" + std::string(31, 'a') + "\""), 1801},
        {System(R"("action":")" + std::string(32, 'a') + "\""), 1001},
        {System(R"("action":"mo\u0076e")"), 1001},
        {System(R"("action":move)"), 1001},
        {System(R"("action":"move)"), 1001},
        {System(R"("x":1)"), 1001},
    };
    for (const Refresh& c : cases) {
        Session session;
        sim::SendLine(0, kGrant);
        sim::SendLine(0, System(R"("action":"key","key":"Tab","down":true)"));
        sim::SendLine(800, c.line);
        sim::CloseInput(3000);
        session.Run();
        const std::vector<sim::InjectedEvent>& events = sim::Current().input.events;
        ASSERT_EQ(events.size(), 2u) << c.line;
        EXPECT_EQ(sim::DescribeEvent(events[1]), Up(0x09)) << c.line;
        EXPECT_EQ(events[1].at, c.releasedAt) << c.line;
    }
}

TEST(DesktopActionTest, EveryEventIsOneZeroFilledRecordPerCall) {
    Session session;
    sim::SendLine(0, kGrant);
    sim::SendLine(0, System(R"("action":"move","x":-3,"y":2)"));
    sim::SendLine(0, System(R"("action":"scroll","y":-1)"));
    sim::SendLine(0, System(R"("action":"key","key":"Meta","down":true)"));
    sim::SendLine(0, System(R"("action":"click","button":1,"down":true)"));
    sim::SendLine(0, System(R"("action":"text","text":"\u00e9")"));  // refused: a \u escape
    sim::SendLine(0, System(R"("action":"text","text":"z")"));
    sim::CloseInput(10);
    session.Run();
    // DescribeEvent marks any stray byte outside the named members, so equal strings also mean
    // time, extra info and padding were zero.
    EXPECT_EQ(sim::InjectedEvents(), (Events{Move(-3, 2), Wheel(-120), KeyEvent(0x5B, 0x5B, 1),
                                             kRightDown, KeyEvent(0, 'z', 4), KeyEvent(0, 'z', 6),
                                             KeyEvent(0x5B, 0x5B, 3), kRightUp}));
    ASSERT_EQ(sim::Current().input.calls.size(), 8u);
    for (const sim::SendInputCall& call : sim::Current().input.calls) {
        EXPECT_EQ(call.count, 1u);
        EXPECT_EQ(call.recordSize, 40);
    }
    EXPECT_EQ(session.Lines().size(), 2u);  // capabilities and the grant: actions print nothing
}

TEST(DesktopActionTest, AStrayByteInARecordIsVisible) {
    // The zero-fill checks above rest on this: any byte outside the named members shows.
    os::InputRecord record;
    std::memset(&record, 0, sizeof record);
    record.type = 1;
    record.ki.wVk = 0x41;
    sim::InjectedEvent event{0, 0, {}};
    std::memcpy(event.bytes, &record, sizeof record);
    EXPECT_EQ(sim::DescribeEvent(event), KeyEvent(0x41, 0, 0));
    for (std::size_t offset : {4u, 16u, 20u, 24u, 39u}) {  // padding, time, extra info, tail
        sim::InjectedEvent stray = event;
        stray.bytes[offset] = 1;
        EXPECT_EQ(sim::DescribeEvent(stray), KeyEvent(0x41, 0, 0) + " dirty") << offset;
    }
}

}  // namespace
}  // namespace padbridge
