// Rumble feedback as whole host sessions: change detection, malformed completions, back-off.
#include <gtest/gtest.h>

#include <algorithm>
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
using test::Session;
using test::ZeroRumble;
using Lines = std::vector<std::string>;

// Player 0's pad comes up at 0 and lives until the host closes the pipe at `closeAtMs`.
void PadUntil(uint64_t closeAtMs) {
    test::InstallBus();
    for (uint64_t at = 0; at < closeAtMs; at += 500) sim::SendLine(at, InputLine(0));
    sim::CloseInput(closeAtMs);
}

std::vector<uint64_t> RumbleWaitTimes() {
    std::vector<uint64_t> times;
    for (const sim::Request& r : sim::Current().bus.RequestsOf(sim::kAwaitRumble)) {
        times.push_back(r.atMs);
    }
    return times;
}

TEST(VigemRumbleTest, OnlyChangesOfTheMotorPairArePrinted) {
    Session session;
    PadUntil(200);
    for (auto [low, high] :
         {std::pair{0, 0}, {255, 0}, {255, 0}, {1, 64}, {128, 200}, {128, 200}}) {
        sim::Current().bus.Queue(sim::kAwaitRumble, sim::Rumble(static_cast<uint8_t>(low),
                                                                static_cast<uint8_t>(high), 10));
    }
    session.Run();
    EXPECT_EQ(session.Lines(),
              (Lines{kBusReady, DeviceCreated(0), RumbleLine(0, "1.000000", "0.000000"),
                     RumbleLine(0, "0.003922", "0.250980"), RumbleLine(0, "0.501961", "0.784314"),
                     ZeroRumble(0), DeviceRemoved(0)}));
    // Each completion is followed at once by the next wait.
    EXPECT_EQ(RumbleWaitTimes(), (std::vector<uint64_t>{0, 10, 20, 30, 40, 50, 60}));
    ExpectBusClean();
}

TEST(VigemRumbleTest, FailedOrMalformedCompletionBacksOffForASecond) {
    auto wrong = [](auto change) {
        sim::Answer answer = sim::Rumble(200, 0, 10);
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
        {"another size", wrong([](sim::Answer& a) { a.size = 16; }), 13},
        {"short reply", wrong([](sim::Answer& a) { a.bytes = 10; }), 13},
        {"long reply", wrong([](sim::Answer& a) { a.bytes = 13; }), 13},
        {"driver error", sim::Later(10, 1167), 1167},
        {"cancelled by the driver", sim::Later(10, 995), 995},
    };
    for (const Case& c : cases) {
        for (bool motorsRunning : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (motorsRunning ? ", motors running" : ""));
            Session session;
            PadUntil(1300);
            sim::Bus& bus = sim::Current().bus;
            bus.Queue(sim::kAwaitRumble, sim::Rumble(motorsRunning ? 64 : 0, 0, 10));
            bus.Queue(sim::kAwaitRumble, c.bad);                   // at 20
            bus.Queue(sim::kAwaitRumble, sim::Rumble(64, 0, 10));  // after the back-off
            session.Run();
            Lines expected = {kBusReady, DeviceCreated(0)};
            if (motorsRunning) {
                expected.push_back(RumbleLine(0, "0.250980", "0.000000"));
                expected.push_back(ZeroRumble(0));
            }
            expected.push_back(PlayerError(0, "gamepad_rumble_unavailable", c.win32Error));
            // Forgotten on failure, so the same pair prints again.
            expected.push_back(RumbleLine(0, "0.250980", "0.000000"));
            expected.push_back(ZeroRumble(0));
            expected.push_back(DeviceRemoved(0));
            EXPECT_EQ(session.Lines(), expected);
            EXPECT_EQ(RumbleWaitTimes(), (std::vector<uint64_t>{0, 10, 1020, 1030}));
            // The pad itself carries on: reports go on being submitted.
            const std::vector<sim::Request> reports = bus.RequestsOf(sim::kSubmitReport);
            EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                                    [](const sim::Request& r) { return r.atMs == 1000; }),
                      1);
            ExpectBusClean();
        }
    }
}

TEST(VigemRumbleTest, DriverThatKeepsRefusingGetsOneErrorASecond) {
    Session session;
    PadUntil(2600);
    sim::Current().bus.defaults[sim::kAwaitRumble] = sim::AtOnce(31);
    session.Run();
    const std::string refused = PlayerError(0, "gamepad_rumble_unavailable", 31);
    EXPECT_EQ(session.Lines(), (Lines{kBusReady, DeviceCreated(0), refused, refused, refused,
                                      ZeroRumble(0), DeviceRemoved(0)}));
    // A refusal at issue is collected in the same tick.
    EXPECT_EQ(RumbleWaitTimes(), (std::vector<uint64_t>{0, 1000, 2000}));
    ExpectBusClean();
}

TEST(VigemRumbleTest, AtMostSixteenCompletionsATick) {
    Session session;
    PadUntil(100);
    for (int i = 1; i <= 40; ++i) {
        sim::Current().bus.Queue(sim::kAwaitRumble, test::RumbleAtOnce(static_cast<uint8_t>(i), 0));
    }
    session.Run();
    const Lines lines = session.Lines();
    ASSERT_EQ(lines.size(), 2u + 40u + 2u);
    EXPECT_EQ(lines[2], RumbleLine(0, "0.003922", "0.000000"));
    const std::vector<uint64_t> times = RumbleWaitTimes();
    // 16 collected and the 17th already waiting in the first tick; the next 16 five ms later.
    EXPECT_EQ(std::count(times.begin(), times.end(), 0u), 17);
    EXPECT_EQ(std::count(times.begin(), times.end(), 5u), 16);
    ExpectBusClean();
}

TEST(VigemRumbleTest, PadThatNeverBecameReadyHasNoRumbleWait) {
    Session session;
    PadUntil(300);
    sim::Current().bus.Queue(sim::kWaitReady, sim::Never());
    session.Run();
    EXPECT_EQ(session.Lines(), (Lines{kBusReady, ZeroRumble(0), DeviceRemoved(0)}));
    EXPECT_TRUE(RumbleWaitTimes().empty());
    ExpectBusClean();
}

}  // namespace
}  // namespace padbridge
