// Desktop control's guard, through whole host sessions: the permission gate, the grant and
// refusal rules, the heartbeat watchdog and release-all.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "desktop/system_control.h"
#include "desktop_fixture.h"
#include "session.h"

namespace padbridge {
namespace {

using sim::KeyEvent;
using sim::MouseEvent;
using test::Down;
using test::Events;
using test::kGrant;
using test::kGranted;
using test::kLeftDown;
using test::kLeftUp;
using test::kRefused;
using test::kRightDown;
using test::kRightUp;
using test::Session;
using test::Up;

const char* const kRefuse = R"({"type":"system-permission","enabled":false})";
const char* const kHeartbeat = R"({"type":"system-heartbeat"})";

std::string KeyLine(const char* key, bool down) {
    return std::string(R"({"type":"system","action":"key","key":")") + key + R"(","down":)" +
           (down ? "true" : "false") + "}";
}
std::string ClickLine(int button, bool down) {
    return R"({"type":"system","action":"click","button":)" + std::to_string(button) +
           R"(,"down":)" + (down ? "true" : "false") + "}";
}
const char* const kMove = R"({"type":"system","action":"move","x":5,"y":-5})";

// Output after the start-up capabilities line.
std::vector<std::string> Replies() {
    std::vector<std::string> lines = sim::OutputLines();
    if (!lines.empty()) lines.erase(lines.begin());
    return lines;
}

std::vector<uint64_t> EventTimes() {
    std::vector<uint64_t> times;
    for (const sim::InjectedEvent& event : sim::Current().input.events) times.push_back(event.at);
    return times;
}

TEST(DesktopGateTest, NothingHappensBeforeAGrant) {
    Session session;
    sim::SendLine(0, kHeartbeat);
    sim::SendLine(0, kMove);
    sim::SendLine(0, KeyLine("KeyA", true));
    sim::SendLine(0, ClickLine(0, true));
    sim::SendLine(0, R"({"type":"system","action":"text","text":"hi"})");
    sim::SendLine(0, R"({"type":"system","action":"scroll","y":1})");
    sim::SendLine(0, R"({"type":"system","action":"release"})");
    sim::CloseInput(0);
    EXPECT_EQ(session.Run(), 0);

    const std::vector<std::string> lines = session.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(R"("systemEnabled":false})"), std::string::npos) << lines[0];
    EXPECT_TRUE(sim::Current().input.calls.empty());
    EXPECT_EQ(session.bridge->system.heartbeatTick, 0u);
    EXPECT_EQ(session.bridge->system.enabled, 0);
}

TEST(DesktopGateTest, HeartbeatBeforeAGrantSetsNothingAndTheGrantDoes) {
    Session heartbeatOnly;
    sim::SendLine(0, kHeartbeat);
    sim::CloseInput(100);
    heartbeatOnly.Run();
    EXPECT_EQ(heartbeatOnly.bridge->system.heartbeatTick, 0u);

    Session thenGrant;
    sim::SendLine(0, kHeartbeat);
    sim::SendLine(100, kGrant);
    sim::CloseInput(100);
    thenGrant.Run();
    EXPECT_EQ(thenGrant.bridge->system.heartbeatTick, sim::kStartTick + 100);
    EXPECT_EQ(Replies(), std::vector<std::string>{kGranted});
}

TEST(DesktopPermissionTest, OnlyAValueStartingWithTrueGrants) {
    struct Case {
        const char* line;
        bool grants;
    };
    const Case cases[] = {
        {R"({"type":"system-permission","enabled":true})", true},
        {R"({"type":"system-permission","enabled": true})", true},
        {"{\"type\":\"system-permission\",\"enabled\":\ttrue}", true},
        {R"({"type":"system-permission" , "enabled" : true})", true},
        {R"({"type":"system-permission","enabled":trueish})", true},  // only four bytes count
        {R"({"enabled":true,"type":"system-permission"})", true},
        {R"({"type":"system-permission","enabled":false})", false},
        {R"({"type":"system-permission","enabled":"true"})", false},
        {R"({"type":"system-permission","enabled":1})", false},
        {R"({"type":"system-permission","enabled":TRUE})", false},
        {R"({"type":"system-permission","enabled":True})", false},
        {R"({"type":"system-permission","enabled":tru})", false},
        {R"({"type":"system-permission"})", false},
        {R"({"type":"system-permission","note":"enabled","x":true})", false},  // a value, not a key
        {R"({"type":"system-permission","Enabled":true})", false},
    };
    for (const Case& c : cases) {
        Session session;
        sim::SendLine(0, c.line);
        sim::CloseInput(0);
        session.Run();
        EXPECT_EQ(Replies(), std::vector<std::string>{c.grants ? kGranted : kRefused}) << c.line;
        EXPECT_EQ(session.bridge->system.enabled, c.grants ? 1 : 0) << c.line;
        EXPECT_EQ(session.bridge->system.heartbeatTick, c.grants ? sim::kStartTick : 0u) << c.line;
    }
}

TEST(DesktopPermissionTest, EveryPermissionLineIsAnsweredOnceAndProbeReportsTheFlag) {
    Session session;
    sim::SendLine(0, kRefuse);  // refusal while not granted
    sim::SendLine(10, kGrant);
    sim::SendLine(20, kGrant);  // grant while granted
    sim::SendLine(30, R"({"type":"probe"})");
    sim::SendLine(40, kRefuse);
    sim::SendLine(50, R"({"type":"probe"})");
    sim::CloseInput(60);
    session.Run();
    const std::vector<std::string> lines = Replies();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], kRefused);
    EXPECT_EQ(lines[1], kGranted);
    EXPECT_EQ(lines[2], kGranted);
    EXPECT_NE(lines[3].find(R"("systemEnabled":true})"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4], kRefused);
    EXPECT_NE(lines[5].find(R"("systemEnabled":false})"), std::string::npos) << lines[5];
}

TEST(DesktopPermissionTest, RepeatedGrantKeepsWhatIsHeldAndOnlyMovesTheHeartbeat) {
    Session session;
    sim::SendLine(0, kGrant);
    sim::SendLine(0, KeyLine("Shift", true));
    sim::SendLine(800, kGrant);
    sim::CloseInput(3000);
    session.Run();
    EXPECT_EQ(Replies(), (std::vector<std::string>{kGranted, kGranted}));
    // Released by the watchdog a lapse after the second grant, not by the grant itself.
    EXPECT_EQ(sim::InjectedEvents(), (Events{Down(0x10), Up(0x10)}));
    EXPECT_EQ(EventTimes(), (std::vector<uint64_t>{0, 1801}));
}

TEST(DesktopPermissionTest, RefusalReleasesBeforeItsReplyAndClosesTheGate) {
    Session session;
    sim::SendLine(0, kGrant);
    sim::SendLine(0, KeyLine("KeyA", true));
    sim::SendLine(0, ClickLine(1, true));
    sim::SendLine(100, kRefuse);
    sim::SendLine(200, KeyLine("KeyB", true));  // ignored: no longer granted
    sim::CloseInput(300);
    session.Run();
    EXPECT_EQ(Replies(), (std::vector<std::string>{kGranted, kRefused}));
    EXPECT_EQ(sim::InjectedEvents(), (Events{Down(0x41), kRightDown, Up(0x41), kRightUp}));
    const std::string& output = sim::Current().output;
    const std::size_t refusedAt = output.find(kRefused);
    for (const sim::InjectedEvent& event : sim::Current().input.events) {
        EXPECT_LE(event.outputBefore, refusedAt);
    }
    EXPECT_EQ(session.bridge->system.heartbeatTick, 0u);
}

// On the coarse clock a lapse is seen at the first clock interrupt at or after the limit.
TEST(DesktopWatchdogTest, FiresOnceAtTheFirstTickMoreThanASecondLaterAndKeepsThePermission) {
    test::OnEachClock([](Session& session, sim::ClockMode mode) {
        sim::SendLine(0, kGrant);
        sim::SendLine(500, KeyLine("KeyA", true));
        sim::SendLine(500, KeyLine("Shift", true));
        sim::SendLine(500, ClickLine(1, true));
        sim::SendLine(500, ClickLine(0, true));
        // Silence. Later, a move is still obeyed and re-arms the watchdog for a new press.
        sim::SendLine(2000, kMove);
        sim::SendLine(2000, KeyLine("Enter", true));
        sim::CloseInput(4000);
        session.Run();

        EXPECT_EQ(sim::InjectedEvents(),
                  (Events{Down(0x41), Down(0x10), kRightDown, kLeftDown,  // held at 500
                          Up(0x10), Up(0x41), kLeftUp, kRightUp,          // watchdog
                          MouseEvent(5, -5, 0, 0x1), Down(0x0D),          // at 2000
                          Up(0x0D)}));                                    // watchdog again
        // 1500 is exactly 1000 after the heartbeat, so the watchdog fires at 1501, not before;
        // on the coarse clock at the interrupt of 1515.625.
        const uint64_t lapse = mode == sim::ClockMode::kFine ? 1501 : 1516;
        const uint64_t again = mode == sim::ClockMode::kFine ? 3001 : 3016;
        EXPECT_EQ(EventTimes(), (std::vector<uint64_t>{500, 500, 500, 500, lapse, lapse, lapse,
                                                       lapse, 2000, 2000, again}));
        EXPECT_EQ(Replies(), std::vector<std::string>{kGranted});  // the watchdog prints nothing
        EXPECT_EQ(session.bridge->system.enabled, 1);
    });
}

TEST(DesktopWatchdogTest, HeartbeatsKeepItArmedUpToTheLastPassBeforeExpiry) {
    test::OnEachClock([](Session& session, sim::ClockMode mode) {
        sim::SendLine(0, kGrant);
        sim::SendLine(0, KeyLine("KeyA", true));
        sim::SendLine(900, kHeartbeat);
        sim::SendLine(1900, kHeartbeat);  // before 1901, where it would have fired
        sim::CloseInput(5000);
        session.Run();
        EXPECT_EQ(sim::InjectedEvents(), (Events{Down(0x41), Up(0x41)}));
        // Coarse: the heartbeat at 1900 reads the tick of 1890; the lapse is due at 2891 and
        // seen at the interrupt of 2906.25.
        const uint64_t lapse = mode == sim::ClockMode::kFine ? 2901 : 2907;
        EXPECT_EQ(EventTimes(), (std::vector<uint64_t>{0, lapse}));
    });
}

TEST(DesktopWatchdogTest, GrantAloneLapsesQuietlyAndDisarms) {
    Session session;
    sim::SendLine(0, kGrant);
    sim::CloseInput(1500);
    session.Run();
    EXPECT_TRUE(sim::Current().input.calls.empty());
    EXPECT_EQ(session.bridge->system.heartbeatTick, 0u);
    EXPECT_EQ(session.bridge->system.enabled, 1);
}

TEST(DesktopWatchdogTest, BoundaryIsADifferenceOf1001) {
    sim::Reset();
    SystemControl control{};
    control.enabled = 1;
    control.heartbeatTick = 7000;
    control.pressedKeys[0x41] = 1;
    control.pressedScanCodes[0x41] = 0x1E;

    RunHeartbeatWatchdog(control, 8000);
    EXPECT_TRUE(sim::InjectedEvents().empty());
    EXPECT_EQ(control.heartbeatTick, 7000u);

    RunHeartbeatWatchdog(control, 8001);
    EXPECT_EQ(sim::InjectedEvents(), Events{Up(0x41)});
    EXPECT_EQ(control.heartbeatTick, 0u);
    EXPECT_EQ(control.pressedKeys[0x41], 0);
    EXPECT_EQ(control.enabled, 1);

    control.pressedKeys[0x42] = 1;  // disarmed: a later pass does nothing until a refresh
    RunHeartbeatWatchdog(control, 50000);
    EXPECT_EQ(sim::InjectedEvents().size(), 1u);
}

TEST(DesktopReleaseTest, ReleaseActionLiftsKeysInCodeOrderThenButtonsAndKeepsTheWatchdogArmed) {
    Session session;
    sim::SendLine(0, kGrant);
    sim::SendLine(0, KeyLine("KeyA", true));
    sim::SendLine(0, KeyLine("Shift", true));
    sim::SendLine(0, ClickLine(0, true));
    sim::SendLine(600, R"({"type":"system","action":"release"})");
    sim::SendLine(700, R"({"type":"system","action":"release"})");  // nothing left to send
    sim::SendLine(700, KeyLine("Space", true));
    sim::CloseInput(3000);
    session.Run();
    EXPECT_EQ(sim::InjectedEvents(), (Events{Down(0x41), Down(0x10), kLeftDown, Up(0x10), Up(0x41),
                                             kLeftUp, Down(0x20), Up(0x20)}));
    EXPECT_EQ(EventTimes(), (std::vector<uint64_t>{0, 0, 0, 600, 600, 600, 700, 1701}));
}

TEST(DesktopReleaseTest, ShutdownReleasesEverythingHeld) {
    Session session;
    sim::SendLine(0, kGrant);
    sim::SendLine(0, KeyLine("VolumeMute", true));
    sim::SendLine(0, KeyLine("Backspace", true));
    sim::SendLine(0, ClickLine(1, true));
    sim::SendLine(0, ClickLine(0, true));
    sim::CloseInput(100);
    EXPECT_EQ(session.Run(), 0);
    // VolumeMute is an extended key: its up carries the flag too.
    EXPECT_EQ(sim::InjectedEvents(),
              (Events{KeyEvent(0xAD, 0x20, 1), Down(0x08), kRightDown, kLeftDown, Up(0x08),
                      KeyEvent(0xAD, 0x20, 3), kLeftUp, kRightUp}));
    EXPECT_EQ(EventTimes().back(), 100u);
}

// With nothing accepted at all, both presses leave their flags set (each may be down), and
// shutdown tries each release once, then retries the first owed one for a bounded while: at 110
// and every 100 ms up to a second after the end began. Each call is one 40-byte record.
TEST(DesktopReleaseTest, FlagsMeanMayBeDownAndShutdownRetriesForABoundedWhile) {
    Session session;
    sim::Current().input.refuse = true;
    sim::SendLine(0, kGrant);
    sim::SendLine(0, KeyLine("KeyZ", true));
    sim::SendLine(0, ClickLine(0, true));
    sim::CloseInput(100);
    EXPECT_EQ(session.Run(), 0);
    EXPECT_TRUE(sim::Current().input.events.empty());
    ASSERT_EQ(sim::Current().input.calls.size(), 4u + 10u);
    for (const sim::SendInputCall& call : sim::Current().input.calls) {
        EXPECT_EQ(call.count, 1u);
        EXPECT_EQ(call.recordSize, 40);
    }
    EXPECT_EQ(session.bridge->system.pressedKeys[0x5A], 1);
    EXPECT_EQ(session.bridge->system.pressedButtons[0], 1);
    EXPECT_EQ(Replies(), (std::vector<std::string>{kGranted, test::BlockedLine(5)}));
    EXPECT_EQ(sim::Current().console.finishedAtMs, 1100u);
}

using Timed = std::pair<uint64_t, std::string>;

// A secure desktop refuses input for a while (sim::Refusal); what was pressed must still go up
// once it is gone, and the host hears of it once each way.
struct RefusalCase {
    const char* name;
    std::vector<sim::Refusal> refusals;
    std::vector<Timed> lines;
    uint64_t closeAt;
    std::vector<std::string> replies;             // after capabilities
    std::vector<Timed> events;                    // accepted events, with their times
    uint32_t calls;                               // SendInput calls, refused ones included
    uint64_t finishedAt;                          // when shutdown ended
    std::map<uint32_t, uint64_t> slowCalls = {};  // sim::InputSink::slowCalls
};

const std::string kBlocked = test::BlockedLine(5);
const std::string kUnblocked = test::kUnblocked;
const char* const kRelease = R"({"type":"system","action":"release"})";

const RefusalCase kRefusalCases[] = {
    // The key-up of the lapse (1601) is refused, retried at 1611 and then every 100 ms, and
    // accepted at 2511, the first retry after the desktop came back.
    {"watchdog",
     {{500, 2500}},
     {{0, kGrant}, {0, KeyLine("Shift", true)}, {600, kHeartbeat}},
     3000,
     {kGranted, kBlocked, kUnblocked},
     {{0, Down(0x10)}, {2511, Up(0x10)}},
     1 + 1 + 9 + 1,
     3000},
    // A refusal releases before it answers; the host still hears of the end of the block.
    {"refused permission",
     {{500, 2500}},
     {{0, kGrant}, {0, KeyLine("Shift", true)}, {1000, kRefuse}},
     3000,
     {kGranted, kBlocked, kRefused, kUnblocked},
     {{0, Down(0x10)}, {2510, Up(0x10)}},
     1 + 1 + 15 + 1,
     3000},
    // The lapse at 2001 tries the owed release once more itself.
    {"release action",
     {{500, 2500}},
     {{0, kGrant}, {0, KeyLine("Shift", true)}, {1000, kRelease}},
     3000,
     {kGranted, kBlocked, kUnblocked},
     {{0, Down(0x10)}, {2510, Up(0x10)}},
     1 + 1 + 15 + 1 + 1,
     3000},
    // Shutdown retries at 1010 and every 100 ms for a second, then ends with the key owed.
    {"end of input, still blocked",
     {{500, 5000}},
     {{0, kGrant}, {0, KeyLine("Shift", true)}},
     1000,
     {kGranted, kBlocked},
     {{0, Down(0x10)}},
     1 + 1 + 10,
     2000},
    // ... and ends as soon as the release lands.
    {"end of input, desktop back",
     {{500, 1500}},
     {{0, kGrant}, {0, KeyLine("Shift", true)}},
     1000,
     {kGranted, kBlocked, kUnblocked},
     {{0, Down(0x10)}, {1510, Up(0x10)}},
     1 + 1 + 5 + 1,
     1510},
    // A refused press leaves the key marked but owes nothing; its release later goes as usual.
    {"press refused",
     {{0, 500}},
     {{0, kGrant}, {100, KeyLine("Shift", true)}, {600, KeyLine("Shift", false)}},
     700,
     {kGranted, kBlocked, kUnblocked},
     {{600, Up(0x10)}},
     2,
     700},
    // A refused down does not replace what an accepted one of the same key carried: the up
    // repeats NumpadEnter's extended down, which is the one Windows holds.
    {"press refused while held",
     {{100, 200}},
     {{0, kGrant},
      {0, KeyLine("NumpadEnter", true)},
      {150, KeyLine("Enter", true)},
      {300, KeyLine("Enter", false)}},
     400,
     {kGranted, kBlocked, kUnblocked},
     {{0, KeyEvent(0x0D, 0x1C, 0x1)}, {300, KeyEvent(0x0D, 0x1C, 0x3)}},
     3,
     400},
    // Refused moves are not sent again; the block is told once, and its end only once an event
    // is accepted again, here after a refusal and a new grant.
    {"told once, and only while granted",
     {{100, 400}},
     {{0, kGrant},
      {150, kMove},
      {200, kMove},
      {300, kRefuse},
      {500, kMove},
      {600, kGrant},
      {700, kMove}},
     800,
     {kGranted, kBlocked, kRefused, kGranted, kUnblocked},
     {{700, MouseEvent(5, -5, 0, 0x1)}},
     3,
     800},
    // A button's up is owed like a key's; the key released by the host meanwhile is accepted and
    // takes the owed button along at once.
    {"accepted event retries at once",
     {{500, 1000}},
     {{0, kGrant},
      {0, ClickLine(1, true)},
      {0, KeyLine("KeyA", true)},
      {600, ClickLine(1, false)},
      {1005, KeyLine("KeyA", false)}},
     1100,
     {kGranted, kBlocked, kUnblocked},
     {{0, kRightDown}, {0, Down(0x41)}, {1005, Up(0x41)}, {1005, kRightUp}},
     2 + 1 + 4 + 2,
     1100},
    // Text is never sent again: the first unit's down lands (its call takes 10 ms), the desktop
    // goes, and the rest of the text is refused and forgotten.
    {"text is not retried",
     {{15, 1000}},
     {{0, kGrant}, {10, R"({"type":"system","action":"text","text":"ab"})"}},
     100,
     {kGranted, kBlocked},
     {{10, KeyEvent(0, 'a', 4)}},
     4,
     100,
     {{0, 10}}},
    // A system that says nothing of why is reported with 0.
    {"no error given",
     {{500, 700, 0}},
     {{0, kGrant}, {0, KeyLine("KeyA", true)}, {600, KeyLine("KeyA", false)}},
     800,
     {kGranted, test::BlockedLine(0), kUnblocked},
     {{0, Down(0x41)}, {710, Up(0x41)}},
     1 + 1 + 1 + 1,
     800},
};

TEST(DesktopRefusalTest, RefusedReleasesAreRetriedUntilTheyLand) {
    for (const RefusalCase& c : kRefusalCases) {
        SCOPED_TRACE(c.name);
        Session session;
        sim::Current().input.refusals = c.refusals;
        sim::Current().input.slowCalls = c.slowCalls;
        for (const Timed& line : c.lines) sim::SendLine(line.first, line.second);
        sim::CloseInput(c.closeAt);
        EXPECT_EQ(session.Run(), 0);
        EXPECT_EQ(Replies(), c.replies);
        std::vector<Timed> events;
        for (const sim::InjectedEvent& event : sim::Current().input.events)
            events.emplace_back(event.at, sim::DescribeEvent(event));
        EXPECT_EQ(events, c.events);
        EXPECT_EQ(sim::Current().input.calls.size(), c.calls);
        EXPECT_EQ(sim::Current().console.finishedAtMs, c.finishedAt);
    }
}

}  // namespace
}  // namespace padbridge
