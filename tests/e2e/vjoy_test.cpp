// The real padbridge.exe with vJoy as its backend: our stand-in vJoyInterface.dll (built from
// tests/vjoy_double) is loaded through --vjoy-dll, configured through environment variables, and
// writes every call it receives to a log that these tests read back.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host.h"

namespace e2e {
namespace {

using padbridge::test::Crlf;
using Strings = std::vector<std::string>;

// The lines as the host reads them.
const std::string kVjoyCapabilities = Crlf(padbridge::test::kVjoyCapabilities);
const std::string kNoDriverCapabilities = Crlf(padbridge::test::kNoDriverCapabilities);
const std::string kBusy = Crlf(padbridge::test::kVjoyBusy);
const std::string kShortConfiguration = Crlf(padbridge::test::kVjoyAxisMissing);
const std::string kLongConfiguration = Crlf(padbridge::test::kVjoyConfigurationRequired);
const std::string kDriverRequired = Crlf(padbridge::test::kDriverRequired);

std::string Created(int player) {
    return Crlf(padbridge::test::DeviceCreated(player, padbridge::test::kVjoy));
}

std::string Removed(int player) {
    return Crlf(padbridge::test::DeviceRemoved(player));
}

// Left stick full right, right stick half down, A pressed, left trigger at half, d-pad up+right.
const std::string kInput =
    "{\"type\":\"input\",\"player\":0,\"axes\":[1,0,-1,0.5],"
    "\"buttons\":[1,0,0,0,0,0,0.5,0,0,0,0,0,1,0,0,1]}\n";
const std::string kRemove = "{\"type\":\"remove\",\"player\":0}\n";

std::wstring DllPath() {
    return WindowsPathFromUnix(E2E_VJOY_DOUBLE_UNIX_PATH);
}

// A log file of the test's own, removed before the session.
std::wstring LogPath() {
    const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::wstring path = WindowsPathFromUnix(E2E_VJOY_LOG_DIR) + L"\\" +
                              std::wstring(name.begin(), name.end()) + L".log";
    DeleteFileW(path.c_str());
    return path;
}

Strings ReadLog(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    Strings lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

struct VjoyRun {
    SessionResult result;
    Strings log;
};

VjoyRun RunWithDouble(const std::vector<Step>& script,
                      std::vector<std::pair<std::wstring, std::wstring>> env = {},
                      std::vector<std::wstring> args = {L"--vjoy-dll", DllPath()}) {
    const std::wstring log = LogPath();
    SessionOptions options = Options(PadbridgePath(), args);
    env.emplace_back(L"VJOY_DOUBLE_LOG", log);
    options.env = env;
    VjoyRun run{RunSession(options, script), {}};
    run.log = ReadLog(log);
    return run;
}

void ExpectCleanRun(const SessionResult& r) {
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    EXPECT_FALSE(r.script_timed_out);
    EXPECT_FALSE(r.wait_output_failed) << Visible(r.output);
    EXPECT_FALSE(r.timed_out) << "the bridge did not exit after stdin closed";
    EXPECT_EQ(r.exit_code, 0u);
}

// The checks and the acquisition of device `d`.
Strings Acquisition(const std::string& d) {
    Strings calls = {"GetVJDButtonNumber(" + d + ")", "GetVJDContPovNumber(" + d + ")"};
    for (const char* usage : {"48", "49", "51", "52", "50", "53"}) {
        calls.push_back("GetVJDAxisExist(" + d + "," + usage + ")");
    }
    calls.push_back("AcquireVJD(" + d + ")");
    return calls;
}

// One update of device 1: the range queries of each axis, then its write when `values` has one.
Strings Update(const std::vector<const char*>& axisValues, const Strings& after) {
    Strings calls;
    const char* usages[] = {"48", "49", "51", "52", "50", "53"};
    for (std::size_t row = 0; row < 6; ++row) {
        calls.push_back(std::string("GetVJDAxisMin(1,") + usages[row] + ",1)");
        calls.push_back(std::string("GetVJDAxisMax(1,") + usages[row] + ",1)");
        if (axisValues[row] != nullptr) {
            calls.push_back(std::string("SetAxis(") + axisValues[row] + ",1," + usages[row] + ")");
        }
    }
    calls.insert(calls.end(), after.begin(), after.end());
    return calls;
}

Strings Join(std::vector<Strings> parts) {
    Strings all;
    for (const Strings& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// What kInput and its release write to device 1 of range 0..32767.
Strings InputAndReleaseCalls(const std::string& last) {
    Strings buttons = {"SetBtn(1,1,1)"};
    for (int n = 2; n <= 10; ++n) buttons.push_back("SetBtn(0,1," + std::to_string(n) + ")");
    buttons.push_back("SetContPov(4500,1,1)");
    return Join({{"vJoyEnabled()"},
                 Acquisition("1"),
                 Update({"32767", "16383", "0", "24575", "16383", "0"}, buttons),
                 Update({"16383", nullptr, "16383", "16383", "0", nullptr},
                        {"SetBtn(0,1,1)", "SetContPov(4294967295,1,1)", last})});
}

TEST(Vjoy, CapabilitiesNameVjoyWhenTheLibraryLoads) {
    VjoyRun run = RunWithDouble({});
    ExpectCleanRun(run.result);
    EXPECT_EQ(Visible(run.result.output), Visible(kVjoyCapabilities));
    EXPECT_EQ(run.log, Strings{"vJoyEnabled()"});
}

TEST(Vjoy, InputAcquiresWritesAndRemoveRelinquishes) {
    VjoyRun run = RunWithDouble(
        {Write(kInput), WaitOutput(Created(0)), Write(kRemove), WaitOutput(Removed(0))});
    ExpectCleanRun(run.result);
    EXPECT_EQ(Visible(run.result.output), Visible(kVjoyCapabilities + Created(0) + Removed(0)));
    EXPECT_EQ(run.log, InputAndReleaseCalls("RelinquishVJD(1)"));
}

TEST(Vjoy, IdleTimeoutRelinquishes) {
    VjoyRun run =
        RunWithDouble({Write(kInput), WaitOutput(Created(0)), WaitOutput(Removed(0), 5000)});
    ExpectCleanRun(run.result);
    EXPECT_EQ(Visible(run.result.output), Visible(kVjoyCapabilities + Created(0) + Removed(0)));
    EXPECT_EQ(run.log, InputAndReleaseCalls("RelinquishVJD(1)"));
}

TEST(Vjoy, ClosingStdinRelinquishes) {
    VjoyRun run = RunWithDouble({Write(kInput), WaitOutput(Created(0)), CloseStdin()});
    ExpectCleanRun(run.result);
    EXPECT_EQ(Visible(run.result.output), Visible(kVjoyCapabilities + Created(0) + Removed(0)));
    EXPECT_EQ(run.log, InputAndReleaseCalls("RelinquishVJD(1)"));
}

TEST(Vjoy, PlayerSevenUsesDeviceEight) {
    const std::string input =
        "{\"type\":\"input\",\"player\":7,\"axes\":[0,0,0,0],"
        "\"buttons\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}\n";
    VjoyRun run = RunWithDouble({Write(input), WaitOutput(Created(7))});
    ExpectCleanRun(run.result);
    EXPECT_EQ(Visible(run.result.output), Visible(kVjoyCapabilities + Created(7) + Removed(7)));
    ASSERT_GE(run.log.size(), 10u);
    EXPECT_EQ(Strings(run.log.begin() + 1, run.log.begin() + 10), Acquisition("8"));
    EXPECT_EQ(run.log.back(), "RelinquishVJD(8)");
}

struct RefusedCase {
    const char* name;
    std::vector<std::pair<std::wstring, std::wstring>> env;
    std::string line;
    std::size_t callsPerInput;
};

TEST(Vjoy, MisconfiguredOrBusyDeviceAnswersEveryInput) {
    const RefusedCase cases[] = {
        {"busy", {{L"VJOY_DOUBLE_REFUSE_ACQUIRE", L"1"}}, kBusy, 9},
        {"no Rz", {{L"VJOY_DOUBLE_MISSING_AXES", L"0x35"}}, kShortConfiguration, 8},
        {"nine buttons", {{L"VJOY_DOUBLE_BUTTONS", L"9"}}, kLongConfiguration, 1},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.name);
        VjoyRun run = RunWithDouble({Write(kInput + kInput)}, c.env);
        ExpectCleanRun(run.result);
        EXPECT_EQ(Visible(run.result.output), Visible(kVjoyCapabilities + c.line + c.line));
        EXPECT_EQ(run.log.size(), 1 + 2 * c.callsPerInput);  // no write, no relinquish
    }
}

// A drive-letter path of exactly `length` characters naming the double: "\." steps padded in
// front of the file name do not change which file it is.
std::wstring PaddedDllPath(std::size_t length) {
    std::wstring path = DllPath();
    const std::size_t slash = path.rfind(L'\\');
    std::wstring directory = path.substr(0, slash);
    const std::wstring file = path.substr(slash);
    while (directory.size() + file.size() + 2 <= length) directory += L"\\.";
    if (directory.size() + file.size() < length) directory += L"\\";
    return directory + file;
}

TEST(Vjoy, LibraryPathRules) {
    struct Case {
        const char* name;
        std::wstring path;
        std::string capabilities;
    };
    const std::wstring dll = DllPath();
    const Case cases[] = {
        {"bare file name", L"vJoyInterface.dll", kNoDriverCapabilities},
        {"UNC path", L"\\\\localhost\\share\\vJoyInterface.dll", kNoDriverCapabilities},
        {"drive without colon", L"Z" + dll.substr(2), kNoDriverCapabilities},
        {"two characters", L"Z:", kNoDriverCapabilities},
        {"259 characters", PaddedDllPath(259), kVjoyCapabilities},
        {"260 characters", PaddedDllPath(260), kNoDriverCapabilities},
    };
    ASSERT_EQ(cases[4].path.size(), 259u);
    ASSERT_EQ(cases[5].path.size(), 260u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VjoyRun run = RunWithDouble({Write(kInput)}, {}, {L"--vjoy-dll", c.path});
        ExpectCleanRun(run.result);
        const bool available = c.capabilities == kVjoyCapabilities;
        EXPECT_EQ(
            Visible(run.result.output),
            Visible(c.capabilities + (available ? Created(0) + Removed(0) : kDriverRequired)));
        if (!available) {
            EXPECT_TRUE(run.log.empty());  // the library was never loaded
        }
    }
}

}  // namespace
}  // namespace e2e
