// Fault injection as whole host sessions on the simulation, row by row from tables:
//   every bus request kind times every way a request can go wrong;
//   every vJoy acquisition check failing;
//   the host closing its end after each line of a session with pads live and keys held;
//   the same session with a writer thread that cannot start;
//   the same with a host that never reads its end of standard output.
// Each row checks the exact output and that every handle, event, request, library, device and
// held key or button has been given back by the end.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "os/sim/sim.h"
#include "protocol/output.h"
#include "session.h"
#include "vigem_fixture.h"
#include "vjoy_session.h"

namespace padbridge {
namespace {

using test::DeviceCreated;
using test::DeviceRemoved;
using test::ExpectBusClean;
using test::InputLine;
using test::InstallVjoy;
using test::kBusReady;
using test::kGranted;
using test::kRefused;
using test::PlayerError;
using test::Session;
using test::ZeroRumble;
using Lines = std::vector<std::string>;

constexpr uint32_t kGenFailure = 31;  // ERROR_GEN_FAILURE: a driver's plain refusal

// Nothing of the bridge's is left anywhere once the session is over.
void ExpectAllGivenBack(const Bridge& bridge) {
    ExpectBusClean();
    const sim::VjoyLibrary& vjoy = sim::Current().vjoy;
    EXPECT_FALSE(vjoy.loaded);
    EXPECT_EQ(vjoy.callsWhileUnloaded, 0u);
    for (const sim::VjoyDevice& device : vjoy.devices) EXPECT_FALSE(device.owned);
    for (int player = 0; player < kPlayerCount; ++player) {
        EXPECT_EQ(bridge.bus.pads[player].serial, 0u) << player;
        EXPECT_EQ(bridge.vjoy.acquired[player], 0) << player;
    }
    for (uint8_t key : bridge.system.pressedKeys) EXPECT_EQ(key, 0);
    for (uint8_t button : bridge.system.pressedButtons) EXPECT_EQ(button, 0);
}

// ---- Every request kind times every outcome ----

enum class Outcome { kErrorAtOnce, kPendingThenError, kNoAnswer, kCancelled };

struct OutcomeRow {
    const char* name;
    Outcome outcome;
    sim::Answer answer;
    uint32_t reported;  // the win32Error the host sees
};

const OutcomeRow kOutcomes[] = {
    {"ErrorAtOnce", Outcome::kErrorAtOnce, sim::AtOnce(kGenFailure), kGenFailure},
    {"PendingThenError", Outcome::kPendingThenError, sim::Later(20, kGenFailure), kGenFailure},
    {"NoAnswer", Outcome::kNoAnswer, sim::Never(), os::kErrorTimeout},
    {"Cancelled", Outcome::kCancelled, sim::Later(20, os::kErrorOperationAborted),
     os::kErrorOperationAborted},
};

// Input for player 0 every 500 ms up to `lastMs`, which keeps the pad from its idle timeout.
void KeepSending(uint64_t lastMs) {
    for (uint64_t at = 0; at <= lastMs; at += 500) sim::SendLine(at, InputLine(0));
}

// A pad start that fails: the teardown lines, then the reason. A request that never answers
// is given up on after 10 s, so the host keeps the player alive that long.
Lines ScriptCreateFailure(const OutcomeRow& row) {
    KeepSending(row.outcome == Outcome::kNoAnswer ? 10000 : 0);
    sim::CloseInput(row.outcome == Outcome::kNoAnswer ? 10100 : 100);
    return {kBusReady, ZeroRumble(0), DeviceRemoved(0),
            PlayerError(0, "gamepad_create_failed", row.reported)};
}

struct KindRow {
    const char* name;
    uint32_t code;
    Lines (*script)(const OutcomeRow&);  // scripts the host and says what it must see
};

const KindRow kKinds[] = {
    {"CheckVersion", sim::kCheckVersion,
     [](const OutcomeRow& row) {
         // An interface that exists but fails keeps vJoy out, whatever the failure.
         sim::Current().bus.interfaces[0].checkVersion = row.answer;
         InstallVjoy();
         sim::SendLine(0, InputLine(0));
         sim::CloseInput(100);
         return Lines{test::CapabilitiesLine(test::kNoDriver, "unavailable", false, false),
                      test::kDriverRequired};
     }},
    {"PlugIn", sim::kPlugIn, ScriptCreateFailure},
    {"WaitReady", sim::kWaitReady, ScriptCreateFailure},
    {"SubmitReport", sim::kSubmitReport,
     [](const OutcomeRow& row) {
         KeepSending(1500);  // a report is given up on after 1 s
         sim::CloseInput(1600);
         return Lines{kBusReady, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0),
                      PlayerError(0, "gamepad_update_failed", row.reported)};
     }},
    {"Unplug", sim::kUnplug,
     [](const OutcomeRow& row) {
         sim::SendLine(0, InputLine(0));
         sim::SendLine(100, R"({"type":"remove","player":0})");
         sim::CloseInput(200);
         return Lines{kBusReady, DeviceCreated(0),
                      PlayerError(0, "gamepad_remove_failed", row.reported), ZeroRumble(0),
                      DeviceRemoved(0)};
     }},
    {"AwaitRumble", sim::kAwaitRumble,
     [](const OutcomeRow& row) {
         KeepSending(1500);
         sim::SendLine(1600, R"({"type":"remove","player":0})");
         sim::CloseInput(1700);
         // AwaitRumble has no time-out: one that never answers is only cancelled at teardown.
         if (row.outcome == Outcome::kNoAnswer)
             return Lines{kBusReady, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0)};
         return Lines{kBusReady, DeviceCreated(0),
                      PlayerError(0, "gamepad_rumble_unavailable", row.reported), ZeroRumble(0),
                      DeviceRemoved(0)};
     }},
};

// Failure messages name the rows instead of dumping their bytes.
void PrintTo(const KindRow& row, std::ostream* out) {
    *out << row.name;
}
void PrintTo(const OutcomeRow& row, std::ostream* out) {
    *out << row.name;
}

class RequestFaultTest : public ::testing::TestWithParam<std::tuple<KindRow, OutcomeRow>> {};

TEST_P(RequestFaultTest, ReportsOnceAndGivesEverythingBack) {
    const auto& [kind, outcome] = GetParam();
    Session session;
    test::InstallBus();
    sim::Bus& bus = sim::Current().bus;
    bus.cancelMs = 30;  // a cancelled request takes a while to finish, as on a busy driver
    bus.Queue(kind.code, outcome.answer);
    const Lines expected = kind.script(outcome);

    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), expected);
    EXPECT_FALSE(bus.RequestsOf(kind.code).empty());
    if (outcome.outcome == Outcome::kNoAnswer) {
        EXPECT_GE(bus.cancels, 1u);
    }
    EXPECT_TRUE(sim::Current().vjoy.loadAttempts.empty());
    ExpectAllGivenBack(*session.bridge);
}

INSTANTIATE_TEST_SUITE_P(EveryKindEveryOutcome, RequestFaultTest,
                         ::testing::Combine(::testing::ValuesIn(kKinds),
                                            ::testing::ValuesIn(kOutcomes)),
                         [](const auto& row) {
                             return std::string(std::get<0>(row.param).name) +
                                    std::get<1>(row.param).name;
                         });

// A driver that never finishes a cancellation: the request that timed out (or that a teardown
// gave up on) keeps its record and event for good. The host sees the same lines as with any
// unanswered request, the session still ends when the input closes, and what is left open is
// exactly what the driver still holds, left to the process's end rather than closed under it.
class NeverCancelledTest : public ::testing::TestWithParam<KindRow> {};

TEST_P(NeverCancelledTest, SessionEndsCleanlyAndOnlyTheHeldRequestStaysOpen) {
    const KindRow& kind = GetParam();
    const OutcomeRow& noAnswer = kOutcomes[2];
    Session session;
    test::InstallBus();
    sim::Bus& bus = sim::Current().bus;
    bus.cancelNeverFinishes = true;
    bus.Queue(kind.code, noAnswer.answer);
    const Lines expected = kind.script(noAnswer);

    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), expected);
    EXPECT_TRUE(sim::Current().console.shutdownFinished);
    EXPECT_EQ(bus.faults, std::vector<std::string>{});
    // Exactly the cancelled requests are left (a teardown cancels the rumble wait too), each
    // with its own event, and the handle they were sent to.
    EXPECT_EQ(bus.inFlight.size(), bus.cancels);
    bool kindHeld = false;
    for (const sim::InFlight& io : bus.inFlight) kindHeld |= io.code == kind.code;
    EXPECT_TRUE(kindHeld);
    EXPECT_EQ(bus.OpenEvents(), bus.inFlight.size());
    EXPECT_EQ(bus.devices.size(), 1u);
    EXPECT_EQ(bus.openDeviceInfoLists, 0u);
    for (uint8_t key : session.bridge->system.pressedKeys) EXPECT_EQ(key, 0);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, NeverCancelledTest, ::testing::ValuesIn(kKinds),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- Every vJoy acquisition check failing ----

struct AcquisitionRow {
    const char* name;
    void (*configure)(sim::VjoyDevice&);
    const char* line;
    const char* lastCall;  // the check that failed; nothing is asked after it
};

const AcquisitionRow kAcquisitionFaults[] = {
    {"NineButtons", [](sim::VjoyDevice& d) { d.buttons = 9; }, test::kVjoyConfigurationRequired,
     "GetVJDButtonNumber(1)"},
    {"NoContinuousPov", [](sim::VjoyDevice& d) { d.contPovs = 0; },
     test::kVjoyConfigurationRequired, "GetVJDContPovNumber(1)"},
    {"NoX", [](sim::VjoyDevice& d) { d.missingAxes = {0x30}; }, test::kVjoyAxisMissing,
     "GetVJDAxisExist(1,48)"},
    {"NoY", [](sim::VjoyDevice& d) { d.missingAxes = {0x31}; }, test::kVjoyAxisMissing,
     "GetVJDAxisExist(1,49)"},
    {"NoRx", [](sim::VjoyDevice& d) { d.missingAxes = {0x33}; }, test::kVjoyAxisMissing,
     "GetVJDAxisExist(1,51)"},
    {"NoRy", [](sim::VjoyDevice& d) { d.missingAxes = {0x34}; }, test::kVjoyAxisMissing,
     "GetVJDAxisExist(1,52)"},
    {"NoZ", [](sim::VjoyDevice& d) { d.missingAxes = {0x32}; }, test::kVjoyAxisMissing,
     "GetVJDAxisExist(1,50)"},
    {"NoRz", [](sim::VjoyDevice& d) { d.missingAxes = {0x35}; }, test::kVjoyAxisMissing,
     "GetVJDAxisExist(1,53)"},
    {"OwnedByAnotherFeeder", [](sim::VjoyDevice& d) { d.refuseAcquire = true; }, test::kVjoyBusy,
     "AcquireVJD(1)"},
};

void PrintTo(const AcquisitionRow& row, std::ostream* out) {
    *out << row.name;
}

class AcquisitionFaultTest : public ::testing::TestWithParam<AcquisitionRow> {};

TEST_P(AcquisitionFaultTest, EveryInputIsRefusedAndNothingIsWritten) {
    const AcquisitionRow& row = GetParam();
    Session session;
    InstallVjoy();
    row.configure(sim::VjoyDeviceById(1));
    sim::SendLine(0, InputLine(0));
    sim::SendLine(100, InputLine(0, {1, 0, 0, 0}));
    sim::SendLine(200, R"({"type":"remove","player":0})");
    sim::CloseInput(300);

    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), (Lines{test::kVjoyCapabilities, row.line, row.line}));
    std::vector<std::string> calls = sim::DescribeCalls(sim::Current().vjoy.calls);
    for (const std::string& call : calls) {
        EXPECT_TRUE(call.rfind("Set", 0) != 0 && call.rfind("Relinquish", 0) != 0) << call;
    }
    EXPECT_EQ(calls.back(), row.lastCall);
    ExpectAllGivenBack(*session.bridge);
}

INSTANTIATE_TEST_SUITE_P(EveryCheck, AcquisitionFaultTest, ::testing::ValuesIn(kAcquisitionFaults),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- The host closing its end after each line of a session ----

const std::string kKeyAUp = sim::KeyEvent(0x41, 0x1E, 2);
const std::string kShiftUp = sim::KeyEvent(0x10, 0x2A, 2);
const std::string kSpaceUp = sim::KeyEvent(0x20, 0x39, 2);
const std::string kLeftUp = sim::MouseEvent(0, 0, 0, 0x4);
const std::string kRightUp = sim::MouseEvent(0, 0, 0, 0x10);

struct SessionStep {
    std::string line;
    Lines output;                   // what this line prints
    std::vector<int> livePads;      // players with a pad after it, ascending
    std::vector<std::string> held;  // what release-all lifts after it, in its order
};

const std::vector<SessionStep> kSessionSteps = {
    {R"({"type":"system-permission","enabled":true})", {kGranted}, {}, {}},
    {R"({"type":"system","action":"key","key":"KeyA","down":true})", {}, {}, {kKeyAUp}},
    {InputLine(0), {DeviceCreated(0)}, {0}, {kKeyAUp}},
    {R"({"type":"system","action":"click","button":0,"down":true})", {}, {0}, {kKeyAUp, kLeftUp}},
    {InputLine(3), {DeviceCreated(3)}, {0, 3}, {kKeyAUp, kLeftUp}},
    {R"({"type":"system","action":"key","key":"Shift","down":true})",
     {},
     {0, 3},
     {kShiftUp, kKeyAUp, kLeftUp}},
    {R"({"type":"remove","player":0})",
     {ZeroRumble(0), DeviceRemoved(0)},
     {3},
     {kShiftUp, kKeyAUp, kLeftUp}},
    {R"({"type":"system","action":"click","button":1,"down":true})",
     {},
     {3},
     {kShiftUp, kKeyAUp, kLeftUp, kRightUp}},
    {InputLine(0), {DeviceCreated(0)}, {0, 3}, {kShiftUp, kKeyAUp, kLeftUp, kRightUp}},
    {R"({"type":"system-permission","enabled":false})", {kRefused}, {0, 3}, {}},
    {R"({"type":"system-permission","enabled":true})", {kGranted}, {0, 3}, {}},
    {R"({"type":"system","action":"key","key":"Space","down":true})", {}, {0, 3}, {kSpaceUp}},
    {R"({"type":"system-heartbeat"})", {}, {0, 3}, {kSpaceUp}},
};

class ClosedMidSessionTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ClosedMidSessionTest, ShutdownLiftsWhatIsHeldAndRemovesEveryPad) {
    const std::size_t count = GetParam();  // lines sent before the host closes its end
    Session session;
    test::InstallBus();
    Lines expected = {kBusReady};
    for (std::size_t i = 0; i < count; ++i) {
        sim::SendLine(10 * i, kSessionSteps[i].line);
        expected.insert(expected.end(), kSessionSteps[i].output.begin(),
                        kSessionSteps[i].output.end());
    }
    const uint64_t closeAt = 10 * count + 5;
    sim::CloseInput(closeAt);
    const SessionStep& last = kSessionSteps[count - 1];
    for (int player : last.livePads) {
        expected.push_back(ZeroRumble(player));
        expected.push_back(DeviceRemoved(player));
    }

    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), expected);
    std::vector<std::string> atShutdown;
    for (const sim::InjectedEvent& event : sim::Current().input.events) {
        if (event.at >= closeAt) atShutdown.push_back(sim::DescribeEvent(event));
    }
    EXPECT_EQ(atShutdown, last.held);
    ExpectAllGivenBack(*session.bridge);
}

INSTANTIATE_TEST_SUITE_P(AfterEveryLine, ClosedMidSessionTest,
                         ::testing::Range<std::size_t>(1, kSessionSteps.size() + 1));

// ---- A writer thread that cannot start ----

// Every line is then a blocking write on the loop's thread, so desktop control is never granted:
// the whole session above gets `false` for each grant and injects nothing, and its pads work as
// before.
TEST(WriterCannotStartTest, GrantsAreRefusedAndPadsWorkAsBefore) {
    Session session;
    test::InstallBus();
    sim::Current().outputPipe.writerFails = true;
    Lines expected = {kBusReady};
    for (std::size_t i = 0; i < kSessionSteps.size(); ++i) {
        sim::SendLine(10 * i, kSessionSteps[i].line);
        for (const std::string& line : kSessionSteps[i].output)
            expected.push_back(line == kGranted ? kRefused : line);
    }
    sim::CloseInput(10 * kSessionSteps.size() + 5);
    for (int player : kSessionSteps.back().livePads) {
        expected.push_back(ZeroRumble(player));
        expected.push_back(DeviceRemoved(player));
    }

    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(session.Lines(), expected);
    EXPECT_TRUE(sim::Current().input.events.empty());
    ExpectAllGivenBack(*session.bridge);
}

// ---- A host that never reads again, then closes its end ----

struct SilentPipeRow {
    const char* name;
    std::size_t pipeBytes;
    std::size_t writerBytes;
};

const SilentPipeRow kSilentPipes[] = {
    {"lines fill the writer", 0, os::kOutputWriterBytes},
    {"lines wait in the queue", 0, 0},
};

void PrintTo(const SilentPipeRow& row, std::ostream* out) {
    *out << row.name;
}

class NeverReadsAgainTest
    : public ::testing::TestWithParam<std::tuple<std::size_t, SilentPipeRow>> {};

TEST_P(NeverReadsAgainTest, ShutdownStillLiftsEverythingAndEndsInBoundedTime) {
    const auto& [count, pipe] = GetParam();  // lines sent before the host closes its end
    Session session;
    test::InstallBus();
    sim::Current().outputPipe.pipeBytes = pipe.pipeBytes;
    sim::Current().outputPipe.writerBytes = pipe.writerBytes;
    sim::StopReading(0);  // from the start: not even the capabilities line is read
    for (std::size_t i = 0; i < count; ++i) sim::SendLine(10 * i, kSessionSteps[i].line);
    const uint64_t closeAt = 10 * count + 5;
    sim::CloseInput(closeAt);

    EXPECT_EQ(session.Run(), 0);
    EXPECT_EQ(sim::Current().output, "");
    std::vector<std::string> atShutdown;
    for (const sim::InjectedEvent& event : sim::Current().input.events) {
        if (event.at >= closeAt) atShutdown.push_back(sim::DescribeEvent(event));
    }
    EXPECT_EQ(atShutdown, kSessionSteps[count - 1].held);
    ExpectAllGivenBack(*session.bridge);
    // The end waits for the writer at most its bound, and lets the process go after that.
    EXPECT_EQ(sim::Elapsed(), closeAt + kShutdownFlushMs);
    EXPECT_TRUE(sim::Current().console.shutdownFinished);
}

INSTANTIATE_TEST_SUITE_P(AfterEveryLine, NeverReadsAgainTest,
                         ::testing::Combine(::testing::Range<std::size_t>(1,
                                                                          kSessionSteps.size() + 1),
                                            ::testing::ValuesIn(kSilentPipes)));

}  // namespace
}  // namespace padbridge
