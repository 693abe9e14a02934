// The real padbridge.exe against our stand-in bus driver, loaded by Wine in this prefix: the
// whole Win32 path under the pads (interface enumeration and detail, CreateFileW, overlapped
// DeviceIoControl with real events, GetOverlappedResult, CancelIoEx) with exact output lines
// and, from the driver's log, every request the bridge sent, byte for byte.
//
// Each case is a host script for the bridge plus, on a second thread, what the test does on the
// driver's side meanwhile (complete a waiting AwaitRumble, answer a held request). Driver steps
// wait for the driver's own state, never for a time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "bus_client.h"
#include "host.h"
#include "host_sessions.h"

namespace e2e {
namespace {

using padbridge::test::CapabilitiesLine;
using padbridge::test::DeviceCreated;
using padbridge::test::DeviceRemoved;
using padbridge::test::kBusReady;
using padbridge::test::kDriverRequired;
using padbridge::test::kDualShock4;
using padbridge::test::kNoDriver;
using padbridge::test::LightbarLine;
using padbridge::test::PlayerError;
using padbridge::test::RumbleLine;
using padbridge::test::ZeroRumble;
using Strings = std::vector<std::string>;

struct RuleSpec {
    uint32_t code;
    uint32_t action;
    uint32_t status;
    uint32_t count;
};

// One thing the test does to the driver once the driver is ready for it.
struct DriverStep {
    enum class Kind { kRumble, kRelease, kFinishCancel, kFeedback };
    Kind kind = Kind::kRumble;
    uint32_t serialOrCode = 0;
    uint8_t low = 0;
    uint8_t high = 0;
    uint16_t form = BUS_RUMBLE_GOOD;
    uint8_t colour[3] = {0, 0, 0};  // kFeedback: the lightbar; `low` and `high` the motors
    uint32_t status = 0;
    uint32_t afterLog = 0;  // and not before the log holds this many entries
};

// Completes the AwaitRumble of `serial` as soon as one waits.
DriverStep CompleteRumble(uint32_t serial, uint8_t low, uint8_t high,
                          uint16_t form = BUS_RUMBLE_GOOD, uint32_t afterLog = 0) {
    DriverStep step;
    step.serialOrCode = serial;
    step.low = low;
    step.high = high;
    step.form = form;
    step.afterLog = afterLog;
    return step;
}

// Answers the held request with `code` as soon as one is held.
DriverStep Release(uint32_t code, uint32_t status) {
    DriverStep step;
    step.kind = DriverStep::Kind::kRelease;
    step.serialOrCode = code;
    step.status = status;
    return step;
}

struct Case {
    std::string name;
    std::vector<RuleSpec> rules;
    std::vector<uint32_t> taken;
    std::vector<Step> script;
    std::vector<DriverStep> driver;
    Strings output;  // every line, without CR LF
    Strings log;     // bus::Describe of every entry
};

std::ostream& operator<<(std::ostream& out, const Case& c) {
    return out << c.name;
}

// Lets a cancelled request held with BUS_TEST_HOLD_SLOW_CANCEL finish, a while after the
// cancel came: a bridge that does not wait for it would have moved on by then.
DriverStep FinishCancel(uint32_t code) {
    DriverStep step;
    step.kind = DriverStep::Kind::kFinishCancel;
    step.serialOrCode = code;
    return step;
}

// --- Input lines and the reports they become ---

// A stick right, the other left and half up; A and d-pad up and right; left trigger half.
std::string Input(int player = 0) {
    return "{\"type\":\"input\",\"player\":" + std::to_string(player) +
           ",\"axes\":[1,0,-1,0.5],\"buttons\":[1,0,0,0,0,0,0.5,0,0,0,0,0,1,0,0,1]}\n";
}
// buttons 0x1009, triggers 127 and 0, sticks 32767, 0, -32768, -16384
const char* const kInputReport = "09107f00 ff7f0000 008000c0";

// Everything pressed, the sticks at the other corners.
const std::string kFullInput =
    "{\"type\":\"input\",\"player\":0,\"axes\":[-1,-1,0.5,1],"
    "\"buttons\":[1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1]}\n";
// buttons 0xF3FF, triggers 255, sticks -32768, 32767, 16383, -32768
const char* const kFullReport = "fff3ffff 0080ff7f ff3f0080";

const char* const kNeutralReport = "00000000 00000000 00000000";

std::string Line(const char* type) {
    return std::string("{\"type\":\"") + type + "\",\"player\":0}\n";
}

// --- Log lines ---

std::string Le(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof(text), "%02x%02x%02x%02x", value & 0xFF, (value >> 8) & 0xFF,
                  (value >> 16) & 0xFF, value >> 24);
    return text;
}

const std::string kCheck = "CheckVersion 08000000 01000000";

std::string PlugIn(uint32_t serial, const std::string& answer = "") {
    return "PlugIn 10000000 " + Le(serial) + " 00000000 5e048e02" + answer;
}
std::string WaitReady(uint32_t serial, const std::string& answer = "") {
    return "WaitReady 08000000 " + Le(serial) + answer;
}
std::string AwaitRumble(uint32_t serial) {
    return "AwaitRumble 0c000000 " + Le(serial) + " 00000000 pending";
}
std::string Submit(uint32_t serial, const char* report, const std::string& answer = "") {
    return "SubmitReport 14000000 " + Le(serial) + " " + report + answer;
}
std::string Unplug(uint32_t serial, const std::string& answer = "") {
    return "Unplug 08000000 " + Le(serial) + answer;
}
std::string RumbleDone(const std::string& record) {
    return "completed AwaitRumble " + record;
}

// A pad for serial 1 that comes up and takes the first input's report.
Strings PadUp(const std::string& report = kInputReport) {
    return {kCheck, PlugIn(1), WaitReady(1), AwaitRumble(1), Submit(1, report.c_str())};
}
// Its teardown while its rumble request waits.
Strings PadDown() {
    return {"cancelled AwaitRumble", Submit(1, kNeutralReport), Unplug(1)};
}

Strings Join(std::vector<Strings> parts) {
    Strings all;
    for (const Strings& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<Step> Then(std::vector<Step> first, const std::vector<Step>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// --- Running a case ---

struct CaseRun {
    SessionResult result;
    Strings log;
    std::string driverFailure;  // a driver step whose moment never came, or that failed
};

bool Ready(bus::Control& bus, const DriverStep& step) {
    BusTestState state{};
    if (bus.State(&state) != 0 || state.logCount < step.afterLog) return false;
    if (step.kind == DriverStep::Kind::kRelease) return state.held > 0;
    if (step.kind == DriverStep::Kind::kFinishCancel) return state.cancelling > 0;
    for (uint32_t serial : state.rumbleWaiting)
        if (serial == step.serialOrCode) return true;
    return false;
}

std::string DoDriverSteps(bus::Control& bus, const std::vector<DriverStep>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
        const DriverStep& step = steps[i];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!Ready(bus, step)) {
            if (std::chrono::steady_clock::now() > deadline) {
                return "driver step " + std::to_string(i) + " never became ready";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (step.kind == DriverStep::Kind::kFinishCancel) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        DWORD error = 0;
        if (step.kind == DriverStep::Kind::kRumble) {
            error = bus.Rumble(step.serialOrCode, step.low, step.high, step.form);
        } else if (step.kind == DriverStep::Kind::kFeedback) {
            error = bus.Feedback(step.serialOrCode, step.high, step.low, step.colour[0],
                                 step.colour[1], step.colour[2]);
        } else {
            error = bus.Release(step.serialOrCode, step.status);
        }
        if (error != 0)
            return "driver step " + std::to_string(i) + " failed with " + std::to_string(error);
    }
    return "";
}

CaseRun RunCase(bus::Control& bus, const Case& c) {
    CaseRun run;
    for (const RuleSpec& rule : c.rules) {
        EXPECT_EQ(bus.Rule(rule.code, rule.action, rule.status, rule.count), 0u);
    }
    for (uint32_t serial : c.taken) EXPECT_EQ(bus.Take(serial), 0u);
    SessionOptions options = Options(PadbridgePath());
    options.exit_timeout_ms = 10000;
    options.script_timeout_ms = 20000;
    std::thread session([&] { run.result = RunSession(options, c.script); });
    run.driverFailure = DoDriverSteps(bus, c.driver);
    session.join();
    run.log = bus::Describe(bus.Log());
    return run;
}

std::string Text(const Strings& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::string Listed(const Strings& lines) {
    std::string text;
    for (const std::string& line : lines) text += "\n  " + line;
    return text;
}

class BusSession : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok()) << "the stand-in bus driver is not there (error "
                               << bus_.open_error() << "); the bus_driver_start test sets it up";
        ASSERT_EQ(bus_.Reset(), 0u);
    }

    void RunAndCheck() {
        const Case& c = GetParam();
        const CaseRun run = RunCase(bus_, c);
        const SessionResult& r = run.result;
        ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
        EXPECT_EQ(run.driverFailure, "");
        EXPECT_FALSE(r.script_timed_out);
        EXPECT_FALSE(r.wait_output_failed) << Visible(r.output);
        EXPECT_FALSE(r.timed_out) << "the bridge did not exit after stdin closed";
        EXPECT_EQ(r.exit_code, 0u);
        EXPECT_EQ(Visible(r.output), Visible(Text(c.output)));
        EXPECT_EQ(run.log, c.log) << "driver log:" << Listed(run.log);
    }

    bus::Control bus_;
};

std::string CaseName(const testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

// --- Start-up: the version check decides the capabilities line ---

class BusCapabilities : public BusSession {};
TEST_P(BusCapabilities, Session) {
    RunAndCheck();
}

std::vector<Case> CapabilityCases() {
    const std::vector<Step> input = {Write(Input()), WaitOutput(kDriverRequired)};
    return {
        {"BusAnswersVersionOne", {}, {}, {}, {}, {kBusReady}, {kCheck}},
        {"VersionNotSupported",
         {{bus::kCheckVersion, BUS_TEST_ANSWER, bus::kStatusNotSupported, 0}},
         {},
         input,
         {},
         {CapabilitiesLine(kNoDriver, "incompatible", false, false), kDriverRequired},
         {kCheck + " -> c00000bb"}},
        {"VersionCheckFails",
         {{bus::kCheckVersion, BUS_TEST_ANSWER, bus::kStatusUnsuccessful, 0}},
         {},
         input,
         {},
         {CapabilitiesLine(kNoDriver, "unavailable", false, false), kDriverRequired},
         {kCheck + " -> c0000001"}},
        // The bridge waits for the answer instead of giving up at once.
        {"VersionAnsweredLater",
         {{bus::kCheckVersion, BUS_TEST_HOLD, 0, 0}},
         {},
         {},
         {Release(bus::kCheckVersion, 0)},
         {kBusReady},
         {kCheck + " pending", "completed CheckVersion"}},
        // Waited for about a second, then cancelled and counted as a time-out.
        {"VersionCheckUnanswered",
         {{bus::kCheckVersion, BUS_TEST_HOLD, 0, 0}},
         {},
         input,
         {},
         {CapabilitiesLine(kNoDriver, "unavailable", false, false), kDriverRequired},
         {kCheck + " pending", "cancelled CheckVersion"}},
    };
}
INSTANTIATE_TEST_SUITE_P(Bus, BusCapabilities, testing::ValuesIn(CapabilityCases()), CaseName);

// --- Pads: creation, reports, the ways a pad ends, failed requests, serial numbers ---

class BusPads : public BusSession {};
TEST_P(BusPads, Session) {
    RunAndCheck();
}

std::vector<Case> PadCases() {
    // The pause lets the second report go out before the next line arrives: lines read
    // together are all dispatched before the pad is pumped.
    const std::vector<Step> up = {Write(Input()), WaitOutput(DeviceCreated(0)), Write(kFullInput),
                                  Pause(100)};
    const Strings upLines = {kBusReady, DeviceCreated(0)};
    const Strings downLines = {ZeroRumble(0), DeviceRemoved(0)};
    const Strings bothReports = Join({PadUp(), {Submit(1, kFullReport)}, PadDown()});
    std::vector<Step> removed = up;
    removed.push_back(Write(Line("remove")));
    removed.push_back(WaitOutput(DeviceRemoved(0)));
    std::vector<Step> neutral = up;
    neutral.push_back(Write(Line("neutral")));
    neutral.push_back(WaitOutput(DeviceRemoved(0)));
    std::vector<Step> idle = up;
    idle.push_back(WaitOutput(DeviceRemoved(0)));  // a little over a second after the last input
    std::vector<Step> closed = up;
    closed.push_back(CloseStdin());
    // The player's input in the five seconds after a failure is ignored.
    const std::vector<Step> retryWindow = {Write(Input()), Pause(100), Write(Input())};
    std::vector<Step> failStart = {Write(Input())};

    std::vector<Case> cases = {
        {"RemoveUnplugs", {}, {}, removed, {}, Join({upLines, downLines}), bothReports},
        {"NeutralUnplugs", {}, {}, neutral, {}, Join({upLines, downLines}), bothReports},
        {"IdleTimeoutUnplugs", {}, {}, idle, {}, Join({upLines, downLines}), bothReports},
        {"ClosingStdinUnplugs", {}, {}, closed, {}, Join({upLines, downLines}), bothReports},
        {"PlugInAnsweredLater",
         {{bus::kPlugIn, BUS_TEST_HOLD, 0, 1}},
         {},
         {Write(Input()), WaitOutput(DeviceCreated(0))},
         {Release(bus::kPlugIn, 0)},
         Join({upLines, downLines}),
         Join({{kCheck, PlugIn(1, " pending"), "completed PlugIn"},
               {WaitReady(1), AwaitRumble(1), Submit(1, kInputReport)},
               PadDown()})},
        // 87 to WaitReady means the pad is ready all the same.
        {"WaitReadyAnswers87",
         {{bus::kWaitReady, BUS_TEST_ANSWER, bus::kStatusInvalidParameter, 0}},
         {},
         {Write(Input()), WaitOutput(DeviceCreated(0))},
         {},
         Join({upLines, downLines}),
         Join({{kCheck, PlugIn(1), WaitReady(1, " -> c000000d"), AwaitRumble(1),
                Submit(1, kInputReport)},
               PadDown()})},
        {"PlugInFails",
         {{bus::kPlugIn, BUS_TEST_ANSWER, bus::kStatusUnsuccessful, 0}},
         {},
         Then(failStart, retryWindow),
         {},
         {kBusReady, ZeroRumble(0), DeviceRemoved(0), PlayerError(0, "gamepad_create_failed", 31)},
         {kCheck, PlugIn(1, " -> c0000001"), Unplug(1)}},
        {"WaitReadyFails",
         {{bus::kWaitReady, BUS_TEST_ANSWER, bus::kStatusDeviceNotConnected, 0}},
         {},
         Then(failStart, retryWindow),
         {},
         {kBusReady, ZeroRumble(0), DeviceRemoved(0),
          PlayerError(0, "gamepad_create_failed", 1167)},
         {kCheck, PlugIn(1), WaitReady(1, " -> c000009d"), Unplug(1)}},
        // Cancelled after a second and reported as a time-out; the host keeps sending so the
        // pad does not go idle first. The driver finishes the cancel late: the teardown and its
        // lines do not wait for it.
        {"SubmitReportUnanswered",
         {{bus::kSubmitReport, BUS_TEST_HOLD_SLOW_CANCEL, 0, 1}},
         {},
         Then({Write(Input()), Pause(400), Write(Input()), Pause(400), Write(Input()),
               WaitOutput(PlayerError(0, "gamepad_update_failed", 1460))},
              retryWindow),
         {FinishCancel(bus::kSubmitReport)},
         {kBusReady, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0),
          PlayerError(0, "gamepad_update_failed", 1460)},
         {kCheck, PlugIn(1), WaitReady(1), AwaitRumble(1), Submit(1, kInputReport, " pending"),
          "cancelled AwaitRumble", Submit(1, kNeutralReport), Unplug(1), "cancelled SubmitReport"}},
        // Player 1's Unplug is held until the bridge gives up on it after a second; player 0's
        // input meanwhile still reaches the driver, and player 0 keeps its pad.
        {"HeldUnplugDoesNotStopAnotherPlayer",
         {{bus::kUnplug, BUS_TEST_HOLD, 0, 1}},
         {},
         {Write(Input(0)), WaitOutput(DeviceCreated(0)), Write(Input(1)),
          WaitOutput(DeviceCreated(1)), Write("{\"type\":\"remove\",\"player\":1}\n"), Pause(300),
          Write(kFullInput), WaitOutput(DeviceRemoved(1)), CloseStdin()},
         {},
         {kBusReady, DeviceCreated(0), DeviceCreated(1),
          PlayerError(1, "gamepad_remove_failed", 1460), ZeroRumble(1), DeviceRemoved(1),
          ZeroRumble(0), DeviceRemoved(0)},
         {kCheck, PlugIn(1), WaitReady(1), AwaitRumble(1), Submit(1, kInputReport), PlugIn(2),
          WaitReady(2), AwaitRumble(2), Submit(2, kInputReport), "cancelled AwaitRumble",
          Submit(2, kNeutralReport), Unplug(2, " pending"), Submit(1, kFullReport),
          "cancelled Unplug", "cancelled AwaitRumble", Submit(1, kNeutralReport), Unplug(1)}},
        {"UnplugFails",
         {{bus::kUnplug, BUS_TEST_ANSWER, bus::kStatusUnsuccessful, 0}},
         {},
         {Write(Input()), WaitOutput(DeviceCreated(0)), Write(Line("remove")),
          WaitOutput(DeviceRemoved(0))},
         {},
         {kBusReady, DeviceCreated(0), PlayerError(0, "gamepad_remove_failed", 31), ZeroRumble(0),
          DeviceRemoved(0)},
         Join({PadUp(),
               {"cancelled AwaitRumble", Submit(1, kNeutralReport), Unplug(1, " -> c0000001")}})},
        // Serial 1 is taken: player 0 gets 2, and player 1 tries 1 again, skips 2, gets 3.
        {"TakenSerialIsSkipped",
         {},
         {1},
         {Write(Input(0)), WaitOutput(DeviceCreated(0)), Write(Input(1)),
          WaitOutput(DeviceCreated(1))},
         {},
         {kBusReady, DeviceCreated(0), DeviceCreated(1), ZeroRumble(0), DeviceRemoved(0),
          ZeroRumble(1), DeviceRemoved(1)},
         {kCheck, PlugIn(1, " -> c000000d"), PlugIn(2), WaitReady(2), AwaitRumble(2),
          Submit(2, kInputReport), PlugIn(1, " -> c000000d"), PlugIn(3), WaitReady(3),
          AwaitRumble(3), Submit(3, kInputReport), "cancelled AwaitRumble",
          Submit(2, kNeutralReport), Unplug(2), "cancelled AwaitRumble", Submit(3, kNeutralReport),
          Unplug(3)}},
    };
    return cases;
}
INSTANTIATE_TEST_SUITE_P(Bus, BusPads, testing::ValuesIn(PadCases()), CaseName);

// --- Rumble: completions of the waiting AwaitRumble become lines, changes only ---

class BusRumble : public BusSession {};
TEST_P(BusRumble, Session) {
    RunAndCheck();
}

// The first completion waits until the pad's first report is in the log, so the log's order
// does not depend on which thread is quicker.
constexpr uint32_t kPadUpEntries = 5;

std::vector<Case> RumbleCases() {
    const Strings up = PadUp();
    const std::string one = Le(1);
    auto record = [&](const char* motors) { return "0c000000 " + one + " " + motors; };
    const char* const lowFull = "ff000000";
    std::vector<Case> cases = {
        {"ChangesOnly",
         {},
         {},
         {Write(Input()), WaitOutput(RumbleLine(0, "0.250980", "0.501961"))},
         {CompleteRumble(1, 255, 0, BUS_RUMBLE_GOOD, kPadUpEntries), CompleteRumble(1, 255, 0),
          CompleteRumble(1, 64, 128)},
         {kBusReady, DeviceCreated(0), RumbleLine(0, "1.000000", "0.000000"),
          RumbleLine(0, "0.250980", "0.501961"), ZeroRumble(0), DeviceRemoved(0)},
         Join({up,
               {RumbleDone(record(lowFull)), AwaitRumble(1), RumbleDone(record(lowFull)),
                AwaitRumble(1), RumbleDone(record("40800000")), AwaitRumble(1)},
               PadDown()})},
        // A bad record after a non-zero pair: the motors are reported stopped, then the error.
        {"WrongSerial",
         {},
         {},
         {Write(Input()), WaitOutput("\"win32Error\":13}")},
         {CompleteRumble(1, 200, 1, BUS_RUMBLE_GOOD, kPadUpEntries),
          CompleteRumble(1, 200, 1, BUS_RUMBLE_BAD_SERIAL)},
         {kBusReady, DeviceCreated(0), RumbleLine(0, "0.784314", "0.003922"), ZeroRumble(0),
          PlayerError(0, "gamepad_rumble_unavailable", 13), ZeroRumble(0), DeviceRemoved(0)},
         Join({up,
               {RumbleDone(record("c8010000")), AwaitRumble(1),
                RumbleDone("0c000000 " + Le(2) + " c8010000"), Submit(1, kNeutralReport),
                Unplug(1)}})},
    };
    // A bad first completion: nothing was reported, so only the error.
    struct Bad {
        const char* name;
        uint16_t form;
        uint32_t win32Error;
        std::string done;
    };
    const Bad bad[] = {
        {"WrongSize", BUS_RUMBLE_BAD_SIZE, 13, RumbleDone("0d000000 " + one + " 02030000")},
        {"ShortRecord", BUS_RUMBLE_SHORT, 13, RumbleDone(record("02030000"))},
        {"RequestFails", BUS_RUMBLE_FAIL, 31, "completed AwaitRumble -> c0000001"},
    };
    for (const Bad& b : bad) {
        const std::string error = PlayerError(0, "gamepad_rumble_unavailable", b.win32Error);
        cases.push_back({b.name,
                         {},
                         {},
                         {Write(Input()), WaitOutput(error)},
                         {CompleteRumble(1, 2, 3, b.form, kPadUpEntries)},
                         {kBusReady, DeviceCreated(0), error, ZeroRumble(0), DeviceRemoved(0)},
                         Join({up, {b.done, Submit(1, kNeutralReport), Unplug(1)}})});
    }
    return cases;
}
INSTANTIATE_TEST_SUITE_P(Bus, BusRumble, testing::ValuesIn(RumbleCases()), CaseName);

// --- DualShock 4: the report with motion and a finger, feedback, the short report, teardown ---

// Completes the DualShock 4 feedback request of `serial` as soon as one waits: `low` is the
// large motor, `high` the small one.
DriverStep CompleteFeedback(uint32_t serial, uint8_t low, uint8_t high, uint8_t red, uint8_t green,
                            uint8_t blue, uint32_t afterLog) {
    DriverStep step = CompleteRumble(serial, low, high, BUS_RUMBLE_GOOD, afterLog);
    step.kind = DriverStep::Kind::kFeedback;
    step.colour[0] = red;
    step.colour[1] = green;
    step.colour[2] = blue;
    return step;
}

// A stick right, the other left and half up; cross, d-pad up and right, PS; left trigger half;
// turning right and rolling, lying flat; one finger in the middle, a quarter down.
const std::string kDs4Input =
    "{\"type\":\"input\",\"player\":0,\"axes\":[1,0,-1,0.5],"
    "\"buttons\":[1,0,0,0,0,0,0.5,0,0,0,0,0,1,0,0,1,1],\"pad\":\"dualshock4\","
    "\"gyro\":[90,0,-45],\"touch\":[0.5,0.25]}\n";

using Bytes = std::vector<uint8_t>;

// The record as the driver's log shows it: hex in groups of four bytes.
std::string HexOf(const Bytes& bytes) {
    std::string out;
    char digits[3];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0 && i % 4 == 0) out += ' ';
        std::snprintf(digits, sizeof(digits), "%02x", bytes[i]);
        out += digits;
    }
    return out;
}

// Bytes 24..62 of a report with this touch packet counter and first finger.
Bytes Ds4Tail(uint8_t touchPackets, const Bytes& finger) {
    Bytes tail = {0, 0, 0, 0, 0, 0x1A, 0, 0, 1, touchPackets};
    tail.insert(tail.end(), finger.begin(), finger.end());
    const Bytes rest = {0x80, 0,    0, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0, 0,
                        0,    0x80, 0, 0, 0, 0x80, 0, 0, 0, 0,    0, 0};
    tail.insert(tail.end(), rest.begin(), rest.end());
    return tail;
}

Bytes Ds4Record(const Bytes& head, const Bytes& tail) {
    Bytes record = {71, 0, 0, 0, 1, 0, 0, 0};
    record.insert(record.end(), head.begin(), head.end());
    record.insert(record.end(), tail.begin(), tail.end());
    return record;
}

// Bytes 0..23 of kDs4Input's report: sticks, buttons (hat north-east, cross), PS and counter 0,
// triggers, timestamp 0, battery, gyro 1474, 0, -741, accel -294, 8033, -500.
const Bytes kDs4InputHead = {0xFF, 0x80, 0x00, 0xBF, 0x21, 0x00, 0x01, 0x80,
                             0x00, 0x00, 0x00, 0xFF, 0xC2, 0x05, 0x00, 0x00,
                             0x1B, 0xFD, 0xDA, 0xFE, 0x61, 0x1F, 0x0C, 0xFE};
// The teardown's: centred, hat none, counter 1, at rest (timestamp masked).
const Bytes kDs4NeutralHead = {0x80, 0x80, 0x80, 0x80, 0x08, 0x00, 0x04, 0x00,
                               0x00, 0x00, 0x00, 0xFF, 0x01, 0x00, 0x00, 0x00,
                               0x00, 0x00, 0xDA, 0xFE, 0x61, 0x1F, 0x0C, 0xFE};

class BusDualShock4 : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok()) << "the stand-in bus driver is not there (error "
                               << bus_.open_error() << "); the bus_driver_start test sets it up";
        ASSERT_EQ(bus_.Reset(), 0u);
    }

    // Runs the case and returns the driver's log with the timestamps of the full reports after
    // the first zeroed (they follow real time); `stamp` gets the last of them.
    Strings Run(const Case& c, uint16_t* stamp) {
        const CaseRun run = RunCase(bus_, c);
        const SessionResult& r = run.result;
        EXPECT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
        EXPECT_EQ(run.driverFailure, "");
        EXPECT_FALSE(r.script_timed_out);
        EXPECT_FALSE(r.timed_out) << "the bridge did not exit after stdin closed";
        EXPECT_EQ(r.exit_code, 0u);
        EXPECT_EQ(Visible(r.output), Visible(Text(c.output)));
        std::vector<BusTestLogEntry> log = bus_.Log();
        *stamp = 0;
        for (BusTestLogEntry& e : log) {
            if (e.event != BUS_EVENT_REQUEST || e.code != bus::kDs4Report || e.inLength != 71)
                continue;
            *stamp = static_cast<uint16_t>(e.data[17] | e.data[18] << 8);
            e.data[17] = e.data[18] = 0;
        }
        return bus::Describe(log);
    }

    bus::Control bus_;
};

TEST_F(BusDualShock4, ReportWithMotionAndFingerFeedbackAndTeardown) {
    Case c;
    c.name = "Ds4";
    c.script = {Write(kDs4Input), WaitOutput(DeviceCreated(0, kDualShock4)),
                WaitOutput(LightbarLine(0, 1, 2, 3))};
    c.driver = {CompleteFeedback(1, 255, 64, 1, 2, 3, kPadUpEntries)};
    c.output = {kBusReady,
                DeviceCreated(0, kDualShock4),
                RumbleLine(0, "1.000000", "0.250980"),
                LightbarLine(0, 1, 2, 3),
                ZeroRumble(0),
                DeviceRemoved(0)};
    uint16_t stamp = 0;
    const Strings log = Run(c, &stamp);
    const std::string feedbackWait = "Ds4Feedback 10000000 " + Le(1) + " 00000000 00000000";
    const Strings expected = {
        kCheck,
        "PlugIn 10000000 " + Le(1) + " 02000000 4c05c405",
        WaitReady(1),
        feedbackWait + " pending",
        "Ds4Report " + HexOf(Ds4Record(kDs4InputHead, Ds4Tail(0, {0x00, 0xC0, 0xC3, 0x0E}))),
        "completed Ds4Feedback 10000000 " + Le(1) + " 40ff0102 03000000",
        feedbackWait + " pending",
        "cancelled Ds4Feedback",
        "Ds4Report " + HexOf(Ds4Record(kDs4NeutralHead, Ds4Tail(1, {0x80, 0, 0, 0}))),
        Unplug(1),
    };
    EXPECT_EQ(log, expected) << "driver log:" << Listed(log);
    // The teardown came after the feedback's round trip: real time passed since the first report.
    EXPECT_GT(stamp, 0);
}

TEST_F(BusDualShock4, DriverThatRefusesTheFullReportGetsTheShortOne) {
    Case c;
    c.name = "Ds4Short";
    c.rules = {{bus::kDs4Report, BUS_TEST_ANSWER, bus::kStatusInvalidParameter, 1}};
    const std::string refused = PlayerError(0, "gamepad_motion_unavailable", 87);
    c.script = {Write(kDs4Input), WaitOutput(refused)};
    c.output = {kBusReady, DeviceCreated(0, kDualShock4), refused, ZeroRumble(0), DeviceRemoved(0)};
    uint16_t stamp = 0;
    const Strings log = Run(c, &stamp);
    const Bytes shortHead(kDs4InputHead.begin(), kDs4InputHead.begin() + 9);
    Bytes shortRecord = {20, 0, 0, 0, 1, 0, 0, 0};
    shortRecord.insert(shortRecord.end(), shortHead.begin(), shortHead.end());
    shortRecord.insert(shortRecord.end(), {0, 0, 0});
    const Strings expected = {
        kCheck,
        "PlugIn 10000000 " + Le(1) + " 02000000 4c05c405",
        WaitReady(1),
        "Ds4Feedback 10000000 " + Le(1) + " 00000000 00000000 pending",
        "Ds4Report " + HexOf(Ds4Record(kDs4InputHead, Ds4Tail(0, {0x00, 0xC0, 0xC3, 0x0E}))) +
            " -> c000000d",
        "Ds4Report " + HexOf(shortRecord),
        "cancelled Ds4Feedback",
        "Ds4Report 14000000 " + Le(1) + " 80808080 08000400 00000000",
        Unplug(1),
    };
    EXPECT_EQ(log, expected) << "driver log:" << Listed(log);
}

// --- The shared host sessions: the bytes padbridge-sim gives for them on its simulated bus ---

class BusSharedSession : public testing::TestWithParam<padbridge::test::HostSession> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ok()) << "the stand-in bus driver is not there (error "
                               << bus_.open_error() << "); the bus_driver_start test sets it up";
        ASSERT_EQ(bus_.Reset(), 0u);
    }

    bus::Control bus_;
};

TEST_P(BusSharedSession, GivesTheSimulatorsBytes) {
    const padbridge::test::HostSession& row = GetParam();
    SessionOptions options = Options(PadbridgePath());
    options.exit_timeout_ms = 10000;
    const SessionResult r = RunSession(options, {Write(row.input)});
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(Visible(r.output), Visible(row.output));
}

std::vector<padbridge::test::HostSession> BusRows() {
    std::vector<padbridge::test::HostSession> rows;
    for (const padbridge::test::HostSession& row : padbridge::test::SharedSessions()) {
        if (row.backend == padbridge::test::SessionBackend::kVigemBus) rows.push_back(row);
    }
    return rows;
}
INSTANTIATE_TEST_SUITE_P(Bus, BusSharedSession, testing::ValuesIn(BusRows()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace e2e
