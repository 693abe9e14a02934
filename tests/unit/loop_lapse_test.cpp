// When the loop judges a lapse, and how a session ends from outside the pipe.
//
// The heartbeat watchdog and the idle check judge only after every line that had arrived by
// their tick has been handled, however long a handler took and however long the backlog; they
// fire within 1000 + 20 ms of the last line that armed them, on a fine clock and on a clock that
// moves in the 15.6 ms steps of a real Windows clock. Ctrl+C, Ctrl+Break, a closed console and
// the end of the Windows session stop the bridge as cleanly as a closed input, even in a stall.
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

using sim::ClockMode;
using test::Down;
using test::Events;
using test::InputLine;
using test::kGrant;
using test::Session;
using test::Up;
using Lines = std::vector<std::string>;

constexpr uint16_t kTab = 0x09;
const char* const kHeartbeat = R"({"type":"system-heartbeat"})";
const char* const kTabDown = R"({"type":"system","action":"key","key":"Tab","down":true})";
const char* const kMove = R"({"type":"system","action":"move","x":1,"y":1})";
const std::string kMoveEvent = sim::MouseEvent(1, 1, 0, 0x1);
// A key held and a pad alive from 0 on, through the bus.
void StartHoldingTabAndPad() {
    test::InstallBus();
    sim::SendLine(0, kGrant);
    sim::SendLine(0, kTabDown);
    sim::SendLine(0, InputLine(0));
}

void KeepAlive(uint64_t atMs) {
    sim::SendLine(atMs, kHeartbeat);
    sim::SendLine(atMs, InputLine(0, {0.125, -0.5, 0.25, 1}));
}

// What the host reads when the key and the pad are let go, by a lapse or by a shutdown.
const Lines kHeldThenLetGo = {test::kBusReady, test::kGranted, test::DeviceCreated(0),
                              test::ZeroRumble(0), test::DeviceRemoved(0)};

uint64_t TabUpAt() {
    const std::vector<sim::InjectedEvent>& events = sim::Current().input.events;
    return events.empty() ? 0 : events.back().at;
}

uint64_t UnplugAt() {
    const std::vector<sim::Request> unplugs = sim::Current().bus.RequestsOf(sim::kUnplug);
    return unplugs.size() == 1 ? unplugs[0].atMs : 0;
}

// Lines every `gap` ms, each just in time: nothing lapses until the host falls silent. The
// expected times are the first clock interrupt at or after the last stamp plus 1001 ms.
TEST(LoopLapseTest, HeartbeatsAndInputSentInTimeAreNeverJudgedLapsed) {
    struct Case {
        uint64_t startMs;
        uint64_t gapMs;
        int count;
        uint64_t fineReleaseMs;
        uint64_t coarseReleaseMs;
    };
    const Case cases[] = {
        {0, 1000, 4, 5001, 5016},   {15, 1000, 4, 5016, 5016},  {16, 1000, 4, 5017, 5032},
        {7, 999, 5, 6003, 6016},    {500, 250, 10, 4001, 4016}, {31, 1000, 2, 3032, 3032},
        {999, 1000, 1, 3000, 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("start " + std::to_string(c.startMs) + ", gap " + std::to_string(c.gapMs));
        test::OnEachClock([&](Session& session, ClockMode mode) {
            test::InstallBus();
            sim::SendLine(c.startMs, kGrant);
            sim::SendLine(c.startMs, kTabDown);
            sim::SendLine(c.startMs, InputLine(0));
            uint64_t last = c.startMs;
            for (int i = 1; i <= c.count; ++i) {
                last = c.startMs + c.gapMs * static_cast<uint64_t>(i);
                KeepAlive(last);
            }
            sim::CloseInput(last + 3000);
            EXPECT_EQ(session.Run(), 0);
            const uint64_t release = mode == ClockMode::kFine ? c.fineReleaseMs : c.coarseReleaseMs;
            EXPECT_EQ(sim::InjectedEvents(), (Events{Down(kTab), Up(kTab)}));
            EXPECT_EQ(TabUpAt(), release);
            EXPECT_EQ(UnplugAt(), release);
            EXPECT_LE(release - last, 1020u);
            EXPECT_EQ(session.Lines(), kHeldThenLetGo);
            test::ExpectBusClean();
        });
    }
}

// A SendInput held up by a slow low-level hook stalls the loop while the host goes on sending:
// more than 20 KB of heartbeats and input arrive meanwhile. Nothing may lapse on their account,
// whether the stalling line ends its delivery or lines stamped after the stall follow it.
TEST(LoopLapseTest, BacklogArrivingDuringAStallIsHandledBeforeAnyLapse) {
    struct Case {
        const char* name;
        bool linesAfterStall;  // heartbeat and input in the stalling line's own delivery
        uint64_t stallMs;
        uint64_t lastMs;
        uint64_t fineReleaseMs;
        uint64_t coarseReleaseMs;
    };
    const Case cases[] = {
        {"stalling line alone", false, 1500, 3000, 4001, 4016},
        {"lines stamped after the stall follow it", true, 1500, 3000, 4001, 4016},
        {"a stall just short of the limit", false, 990, 3007, 4008, 4016},
        {"a stall of several seconds", true, 4000, 6000, 7001, 7016},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, ClockMode mode) {
            StartHoldingTabAndPad();
            sim::Current().input.slowCalls[1] = c.stallMs;  // the move; Tab's down is call 0
            for (uint64_t at = 100; at <= 400; at += 100) KeepAlive(at);
            std::string stallDelivery = std::string(kMove) + "\n";
            if (c.linesAfterStall)
                stallDelivery += std::string(kHeartbeat) + "\n" + InputLine(0) + "\n";
            sim::Send(500, stallDelivery);
            const std::size_t before = sim::Current().pipe.bytes.size();
            for (uint64_t at = 505; at < 500 + c.stallMs; at += 5) KeepAlive(at);
            ASSERT_GE(sim::Current().pipe.bytes.size() - before, 20u * 1024);
            for (uint64_t at = 600 + c.stallMs; at <= c.lastMs; at += 100) KeepAlive(at);
            KeepAlive(c.lastMs);
            sim::CloseInput(c.lastMs + 3000);
            EXPECT_EQ(session.Run(), 0);

            const uint64_t release = mode == ClockMode::kFine ? c.fineReleaseMs : c.coarseReleaseMs;
            EXPECT_EQ(sim::InjectedEvents(), (Events{Down(kTab), kMoveEvent, Up(kTab)}));
            EXPECT_EQ(TabUpAt(), release);
            EXPECT_EQ(UnplugAt(), release);
            EXPECT_LE(release - c.lastMs, 1020u);
            EXPECT_EQ(session.Lines(), kHeldThenLetGo);
            test::ExpectBusClean();
        });
    }
}

// A host that writes faster than the handlers run: each pass takes only what had arrived when it
// began, so the timers still run between passes instead of after the flood.
TEST(LoopLapseTest, FloodingHostCannotHoldTheTimersBack) {
    test::OnEachClock([&](Session& session, ClockMode mode) {
        sim::SendLine(0, kGrant);
        sim::SendLine(0, kTabDown);
        for (uint32_t call = 1; call <= 401; ++call) sim::Current().input.slowCalls[call] = 10;
        for (uint64_t at = 0; at <= 2000; at += 5) sim::SendLine(at, kMove);
        sim::CloseInput(10000);
        EXPECT_EQ(session.Run(), 0);
        // 401 moves of 10 ms each arrive twice as fast as they are handled, yet the loop comes
        // back to its wait (and its timers) every few of them.
        uint32_t passesDuringFlood = 0;
        for (const sim::Wait& wait : sim::Current().waits) {
            EXPECT_NE(wait.result, os::kWaitFailed);
            passesDuringFlood += wait.atMs > 0 && wait.atMs < 4000;
        }
        EXPECT_GE(passesDuringFlood, 5u);
        const std::vector<sim::InjectedEvent>& events = sim::Current().input.events;
        ASSERT_EQ(events.size(), 403u);
        // The last move is handled from 4000 to 4010, when the backlog runs out; its stamp is
        // later than its pass's tick, and the watchdog counts from it.
        EXPECT_EQ(events[401].at, 4000u);
        EXPECT_EQ(sim::DescribeEvent(events[402]), Up(kTab));
        EXPECT_EQ(events[402].at, mode == ClockMode::kFine ? 5001u : 5016u);
    });
}

// Asking the bridge to stop at 700, while a SendInput stalls it from 600 to 1400. What reaches it
// stops it at the end of the stall with everything let go; what Windows withholds (log-off and
// shutdown as console events, or the session's end with no window to tell) leaves it running
// until the host falls silent at 2000 and closes at 5000.
TEST(LoopLapseTest, StopRequestsDuringAStall) {
    enum class Request { kConsole, kSessionEnd, kSessionEndWithoutWindow };
    struct Case {
        const char* name;
        Request request;
        sim::ConsoleEvent event;
        bool stops;
    };
    const Case cases[] = {
        {"Ctrl+C", Request::kConsole, sim::ConsoleEvent::kCtrlC, true},
        {"Ctrl+Break", Request::kConsole, sim::ConsoleEvent::kCtrlBreak, true},
        {"console closed", Request::kConsole, sim::ConsoleEvent::kClose, true},
        {"log-off", Request::kSessionEnd, {}, true},
        {"log-off as a console event", Request::kConsole, sim::ConsoleEvent::kLogoff, false},
        {"shutdown as a console event", Request::kConsole, sim::ConsoleEvent::kShutdown, false},
        {"log-off with no window", Request::kSessionEndWithoutWindow, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::OnEachClock([&](Session& session, ClockMode mode) {
            StartHoldingTabAndPad();
            sim::Current().input.slowCalls[1] = 800;
            std::size_t takenBeforeStall = 0;
            for (uint64_t at = 100; at <= 2000; at += 100) {
                KeepAlive(at);
                if (at != 600) continue;
                sim::SendLine(at, kMove);
                takenBeforeStall = sim::Current().pipe.bytes.size();
            }
            if (c.request == Request::kConsole) {
                sim::SendConsoleControl(700, c.event);
                sim::SendConsoleControl(800, c.event);  // a second press changes nothing
            } else {
                sim::EndSession(700);
                sim::Current().console.windowFails = c.request == Request::kSessionEndWithoutWindow;
            }
            sim::CloseInput(5000);
            EXPECT_EQ(session.Run(), 0);

            const uint64_t coarseLapse = 3016;  // the interrupt after 2000 + 1001
            const uint64_t letGoAt = c.stops ? 1400 : mode == ClockMode::kFine ? 3001 : coarseLapse;
            EXPECT_EQ(sim::InjectedEvents(), (Events{Down(kTab), kMoveEvent, Up(kTab)}));
            EXPECT_EQ(TabUpAt(), letGoAt);
            EXPECT_EQ(UnplugAt(), letGoAt);
            EXPECT_EQ(session.Lines(), kHeldThenLetGo);
            const sim::ConsoleControl& console = sim::Current().console;
            EXPECT_TRUE(console.shutdownFinished);
            EXPECT_EQ(console.finishedAtMs, c.stops ? 1400u : 5000u);
            EXPECT_EQ(console.outputAtFinish, sim::Current().output.size());
            if (c.stops) {
                EXPECT_LT(console.finishedAtMs - 700, sim::kEndOfSessionLimitMs);
            }
            // Stopped at the end of the stall, none of the lines sent during it is taken.
            if (c.stops) {
                EXPECT_EQ(sim::Current().pipe.consumed, takenBeforeStall);
            }
            test::ExpectBusClean();
        });
    }
}

// A closed console or the session's end holds the process only about 5 s: a shutdown that comes
// later than that is one Windows would have cut short, and the simulation says so.
TEST(LoopLapseTest, ShutdownLaterThanTheSystemWaitsIsAFault) {
    struct Case {
        const char* name;
        sim::ConsoleEvent event;
        bool sessionEnd;
        uint64_t stallMs;
        bool cutShort;
    };
    const Case cases[] = {
        {"console closed, shut down in time", sim::ConsoleEvent::kClose, false, 4000, false},
        {"console closed, stalled too long", sim::ConsoleEvent::kClose, false, 6000, true},
        {"log-off, shut down in time", {}, true, 4000, false},
        {"log-off, stalled too long", {}, true, 6000, true},
        {"Ctrl+C holds nothing", sim::ConsoleEvent::kCtrlC, false, 6000, false},
    };
    for (const Case& c : cases) {
        Session session;
        sim::SendLine(0, kGrant);
        sim::SendLine(0, kTabDown);
        sim::SendLine(600, kMove);
        sim::Current().input.slowCalls[1] = c.stallMs;
        if (c.sessionEnd) {
            sim::EndSession(700);
        } else {
            sim::SendConsoleControl(700, c.event);
        }
        sim::CloseInput(20000);
        EXPECT_EQ(session.Run(), 0) << c.name;
        EXPECT_EQ(sim::Current().console.finishedAtMs, 600 + c.stallMs) << c.name;
        const std::vector<std::string>& faults = sim::Current().bus.faults;
        EXPECT_EQ(faults, c.cutShort ? std::vector<std::string>{"the system ended the process "
                                                                "before its shutdown finished"}
                                     : std::vector<std::string>{})
            << c.name;
    }
}

// The simulation's wait fails as Win32's does for what Win32 refuses, and the loop never asks it.
TEST(LoopLapseTest, WaitForMultipleObjectsRefusesWhatWin32Refuses) {
    struct Case {
        const char* name;
        uint32_t count;
        bool duplicate;
        bool refused;
    };
    const Case cases[] = {
        {"no handles", 0, false, true},      {"one handle", 1, false, false},
        {"64 handles", 64, false, false},    {"65 handles", 65, false, true},
        {"one handle twice", 2, true, true}, {"the last of 64 twice", 64, true, true},
    };
    for (const Case& c : cases) {
        sim::Reset();
        std::vector<os::Handle> handles;
        for (uint32_t i = 0; i < c.count; ++i) handles.push_back(os::CreateManualResetEvent());
        if (c.duplicate) handles.back() = handles.front();
        sim::Current().lastError = 0;
        const uint32_t result = os::WaitForMultipleObjects(c.count, handles.data(), 10);
        EXPECT_EQ(result == os::kWaitFailed, c.refused) << c.name;
        EXPECT_EQ(os::GetLastError(), c.refused ? os::kErrorInvalidParameter : 0u) << c.name;
        EXPECT_EQ(sim::Current().bus.faults.size(), c.refused ? 1u : 0u) << c.name;
        EXPECT_EQ(sim::Elapsed(), c.refused ? 0u : 10u) << c.name;  // a refused wait waits not
    }
}

}  // namespace
}  // namespace padbridge
