// The real padbridge.exe under Wine, driven through CreatePipe'd pipes by the test host:
// start-up, self-test, line framing, routing of inbound lines and the exact outbound bytes.
// Wine has neither the ViGEmBus driver nor vJoy, so every valid `input` line is answered
// with driver_required.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "host.h"
#include "version.h"

namespace e2e {
namespace {

const std::string kDriverRequired = padbridge::test::Crlf(padbridge::test::kDriverRequired);
const std::string kSelfTest = padbridge::test::Crlf(padbridge::test::kSelfTest);
const std::string kVersion = padbridge::test::Crlf(padbridge::test::VersionLine(PADBRIDGE_VERSION));

constexpr size_t kMaxLine = 16384;  // longest line content the bridge accepts

const std::string kAxes = "\"axes\":[0,0,0,0]";
const std::string kButtons = "\"buttons\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]";

// A valid `input` line (no line feed) with the given `player` value text.
std::string Input(const std::string& player = "0") {
    return "{\"type\":\"input\",\"player\":" + player + "," + kAxes + "," + kButtons + "}";
}

// A valid `input` line padded with spaces before its closing brace to exactly `size` bytes.
std::string PaddedInput(size_t size) {
    std::string line = Input();
    line.insert(line.size() - 1, size - line.size(), ' ');
    return line;
}

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// Test names in the tables come from the cases themselves.
template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

SessionResult RunBridge(const std::vector<Step>& script) {
    return RunSession(Options(PadbridgePath()), script);
}

// What every session must show: started, ended by itself with exit code 0, clean lines.
void ExpectCleanRun(const SessionResult& r) {
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    EXPECT_FALSE(r.script_timed_out);
    EXPECT_FALSE(r.timed_out) << "the bridge did not exit after stdin closed";
    EXPECT_EQ(r.exit_code, 0u);
    for (const auto& w : r.writes) EXPECT_TRUE(w.ok) << "write failed: " << Visible(w.bytes);
    Lines lines = SplitLines(r.output);
    EXPECT_TRUE(lines.all_crlf) << Visible(r.output);
}

// ---------------------------------------------------------------------------------------
// Command line

// --self-test and --version: one line, exit 0, and nothing else, standard input included.
TEST(Bridge, SelfTestAndVersionWriteOneLineExitZeroAndLeaveStdinAlone) {
    const std::pair<const wchar_t*, std::string> cases[] = {{L"--self-test", kSelfTest},
                                                            {L"--version", kVersion}};
    for (const auto& [argument, expected] : cases) {
        SessionOptions options = Options(PadbridgePath(), {argument});
        options.close_stdin_at_end = false;  // a read of stdin would hang until the kill
        SessionResult r = RunSession(options, {});
        ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
        EXPECT_FALSE(r.timed_out) << "waited on stdin: " << Visible(expected);
        EXPECT_EQ(r.exit_code, 0u);
        EXPECT_EQ(Visible(r.output), Visible(expected));
    }
}

// --trace: the file is created and written by the trace's own writer, and the host's bytes are
// the same as without it; a trace that cannot be created ends the run at once with exit code 2
// and nothing on standard output.
std::string ReadWholeFile(const std::wstring& path) {
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) return bytes;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
    fclose(file);
    return bytes;
}

TEST(Bridge, TraceGoesToItsFileAndLeavesTheOutputAlone) {
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring path = std::wstring(folder) + L"padbridge-trace-test.jsonl";
    DeleteFileW(path.c_str());
    const std::vector<Step> script = {Write(Input() + "\n"), WaitOutput(kDriverRequired)};
    const SessionResult plain = RunBridge(script);
    const SessionResult traced = RunSession(Options(PadbridgePath(), {L"--trace", path}), script);
    ExpectCleanRun(traced);
    EXPECT_EQ(Visible(traced.output), Visible(plain.output));
    const std::string trace = ReadWholeFile(path);
    EXPECT_EQ(
        trace.rfind("{\"t\":0,\"kind\":\"start\",\"version\":\"" PADBRIDGE_VERSION "\"}\n", 0), 0u)
        << trace;
    EXPECT_NE(trace.find(",\"kind\":\"probe\",\"backend\":\"none\"}\n"), std::string::npos);
    EXPECT_NE(trace.find(",\"kind\":\"in\",\"line\":\"{\\\"type\\\":\\\"input\\\""),
              std::string::npos);
    EXPECT_NE(trace.find(",\"kind\":\"out\",\"line\":\"{\\\"type\\\":\\\"error\\\",\\\"code\\\":"
                         "\\\"driver_required\\\""),
              std::string::npos);
    EXPECT_EQ(trace.find('\r'), std::string::npos);  // records end in LF alone
    DeleteFileW(path.c_str());

    SessionOptions options =
        Options(PadbridgePath(), {L"--trace", L"Z:\\no-such-folder-for-padbridge\\t.jsonl"});
    options.close_stdin_at_end = false;  // a read of stdin would hang until the kill
    const SessionResult refused = RunSession(options, {});
    ASSERT_TRUE(refused.started);
    EXPECT_FALSE(refused.timed_out);
    EXPECT_EQ(refused.exit_code, 2u);
    EXPECT_EQ(refused.output, "");
}

// ---------------------------------------------------------------------------------------
// Sessions: a script of writes, and the exact bytes that come back after start-up.

struct SessionCase {
    const char* name;
    std::vector<Step> script;  // stdin is closed after it
    std::string expected;      // output after the start-up capabilities line
};

void PrintTo(const SessionCase& c, std::ostream* os) {
    *os << c.name;
}

class BridgeSession : public testing::TestWithParam<SessionCase> {};

TEST_P(BridgeSession, AnswersWithExactBytes) {
    const SessionCase& c = GetParam();
    SessionResult r = RunBridge(c.script);
    ExpectCleanRun(r);
    EXPECT_EQ(Visible(r.output), Visible(kCapabilities + c.expected));
}

std::string WithButtons(const std::string& buttons) {
    return "{\"type\":\"input\",\"player\":0," + kAxes + ",\"buttons\":[" + buttons + "]}";
}

std::string WithAxes(const std::string& axes) {
    return "{\"type\":\"input\",\"player\":0,\"axes\":[" + axes + "]," + kButtons + "}";
}

const SessionCase kSessions[] = {
    {"StartUpOnly", {}, ""},
    {"Probe", {Write("{\"type\":\"probe\"}\n")}, kCapabilities},
    {"ProbeIgnoresPlayer", {Write("{\"type\":\"probe\",\"player\":3}\n")}, kCapabilities},
    {"TwoProbes",
     {Write("{\"type\":\"probe\"}\n{\"type\":\"probe\"}\n")},
     Repeat(kCapabilities, 2)},
    {"Input", {Write(Input() + "\n")}, kDriverRequired},
    {"InputEndedWithCrLf", {Write(Input() + "\r\n")}, kDriverRequired},
    {"InputPlayerForms",
     {Write(Input("7") + "\n" + Input("1.0") + "\n" + Input("3e0") + "\n" + Input("-0") + "\n")},
     Repeat(kDriverRequired, 4)},
    // The runtime's strtod reads hexadecimal (also with a binary exponent) and signs.
    {"InputNumbersInStrtodForms",
     {Write(Input("0x1") + "\n" + WithAxes("0x1,+0.5,-0x.8p1, 1E-3") + "\n")},
     Repeat(kDriverRequired, 2)},
    {"InputWithSpacesAroundTheColonAndElements",
     {Write("{ \"type\" : \"input\" , \"player\" :\t2, \"axes\": [0.5 ,-1 ,1 ,0], "
            "\"buttons\":[1,0,0,0,0,0,0,0,0,0,0,0,0,0,0, 1]}\n")},
     kDriverRequired},
    {"OneAnswerPerInputLineNotPerPlayer",
     {Write(Input("0") + "\n" + Input("0") + "\n" + Input("5") + "\n")},
     Repeat(kDriverRequired, 3)},
    {"LinesOfOneWriteInOrder",
     {Write("{\"type\":\"probe\"}\n" + Input() + "\n{\"type\":\"probe\"}\n")},
     kCapabilities + kDriverRequired + kCapabilities},
    {"LineOverSeveralWrites",
     {Write("{\"type\":\"in"), Pause(50), Write("put\",\"player\":0,"), Pause(50),
      Write(kAxes + "," + kButtons), Pause(50), Write("}"), Pause(50), Write("\n")},
     kDriverRequired},
    {"LineFeedInItsOwnWrite",
     {Write(Input()), Pause(100), Write("\n"), Write(Input() + "\n")},
     Repeat(kDriverRequired, 2)},
    {"LineOf16384BytesIsDispatched", {Write(PaddedInput(kMaxLine) + "\n")}, kDriverRequired},
    {"LineOf16385BytesIsDroppedAndTheNextDispatched",
     {Write(PaddedInput(kMaxLine + 1) + "\n" + Input("1") + "\n")},
     kDriverRequired},
    {"OverlongLineOverSeveralWritesIsDropped",
     {Write(PaddedInput(kMaxLine + 1).substr(0, 9000)), Pause(50),
      Write(PaddedInput(kMaxLine + 1).substr(9000) + "\n"), Pause(50),
      Write("{\"type\":\"probe\"}\n")},
     kCapabilities},
    {"PartialLineAtCloseIsNotDispatched", {Write(Input())}, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, BridgeSession, testing::ValuesIn(kSessions), CaseName<SessionCase>);

// ---------------------------------------------------------------------------------------
// Lines that must produce nothing. Each is followed by a probe, whose answer shows that
// the bridge read past the line and is still listening.

struct SilentCase {
    const char* name;
    std::string line;  // without its line feed
};

void PrintTo(const SilentCase& c, std::ostream* os) {
    *os << c.name;
}

class SilentLine : public testing::TestWithParam<SilentCase> {};

TEST_P(SilentLine, ProducesNothing) {
    const SilentCase& c = GetParam();
    SessionResult r = RunBridge({Write(c.line + "\n{\"type\":\"probe\"}\n")});
    ExpectCleanRun(r);
    EXPECT_EQ(Visible(r.output), Visible(kCapabilities + kCapabilities));
}

const SilentCase kSilentLines[] = {
    {"EmptyLine", ""},
    {"UnknownType", "{\"type\":\"bogus\",\"player\":0}"},
    {"NoType", "{\"player\":0}"},
    {"CapitalisedProbe", "{\"type\":\"Probe\"}"},
    {"Probes", "{\"type\":\"probes\"}"},
    {"ProbeWithTrailingSpace", "{\"type\":\"probe \"}"},
    {"TypeWithUnicodeEscape", "{\"type\":\"\\u0070robe\"}"},
    {"TypeOf32Bytes", "{\"type\":\"probe" + std::string(27, 'x') + "\"}"},
    {"TypeWithoutBrace", "\"type\":\"probe\"}"},
    {"TypeAfterZeroByte", std::string("{\"player\":0,\0\"type\":\"probe\"}", 28)},
    {"InputPlayer8", Input("8")},
    {"InputPlayerMinus1", Input("-1")},
    {"InputPlayer2Point5", Input("2.5")},
    {"InputPlayerAsString", Input("\"0\"")},
    {"InputPlayerOverflow", Input("1e999")},
    {"InputWithoutPlayer", "{\"type\":\"input\"," + kAxes + "," + kButtons + "}"},
    {"InputPlayerInfinityWord", Input("inf")},
    {"InputPlayerNanWord", Input("nan")},
    {"InputAxisInfinityWord", WithAxes("infinity,0,0,0")},
    {"InputAxisNanWord", WithAxes("0,NAN,0,0")},
    {"InputThreeAxes", WithAxes("0,0,0")},
    {"InputFiveAxes", WithAxes("0,0,0,0,0")},
    {"InputAxisTrue", WithAxes("0,true,0,0")},
    {"InputAxisQuoted", WithAxes("0,\"0\",0,0")},
    {"InputFifteenButtons", WithButtons("0,0,0,0,0,0,0,0,0,0,0,0,0,0,0")},
    {"InputNineteenButtons", WithButtons("0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0")},
    {"InputUnknownPad",
     "{\"type\":\"input\",\"player\":0," + kAxes + "," + kButtons + ",\"pad\":\"ds5\"}"},
    {"InputTouchOfThree",
     "{\"type\":\"input\",\"player\":0," + kAxes + "," + kButtons + ",\"touch\":[1,2,3]}"},
    {"InputButtonNull", WithButtons("0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,null")},
    {"InputAxesNotAnArray", "{\"type\":\"input\",\"player\":0,\"axes\":0," + kButtons + "}"},
    {"InputWithoutButtons", "{\"type\":\"input\",\"player\":0," + kAxes + "}"},
    {"NeutralWithoutPad", "{\"type\":\"neutral\",\"player\":0}"},
    {"RemoveWithoutPad", "{\"type\":\"remove\",\"player\":0}"},
    {"HeartbeatWhileNotGranted", "{\"type\":\"system-heartbeat\"}"},
    {"SystemMoveWhileNotGranted", "{\"type\":\"system\",\"action\":\"move\",\"x\":5,\"y\":5}"},
};

INSTANTIATE_TEST_SUITE_P(Lines, SilentLine, testing::ValuesIn(kSilentLines), CaseName<SilentCase>);

// ---------------------------------------------------------------------------------------
// system-permission: exactly one reply per line, and the grant shows in capabilities.

class SystemPermission : public testing::TestWithParam<SessionCase> {};

TEST_P(SystemPermission, RepliesOncePerLine) {
    const SessionCase& c = GetParam();
    SessionResult r = RunBridge(c.script);
    ExpectCleanRun(r);
    EXPECT_EQ(Visible(r.output), Visible(kCapabilities + c.expected));
}

const SessionCase kPermissions[] = {
    {"Grant", {Write(kGrant)}, kPermissionTrue},
    {"GrantWithSpace",
     {Write("{\"type\":\"system-permission\",\"enabled\": true}\n")},
     kPermissionTrue},
    {"Refuse", {Write(kRefuse)}, kPermissionFalse},
    {"RefuseWithoutEnabled", {Write("{\"type\":\"system-permission\"}\n")}, kPermissionFalse},
    {"RefuseQuotedTrue",
     {Write("{\"type\":\"system-permission\",\"enabled\":\"true\"}\n")},
     kPermissionFalse},
    {"GrantTwice", {Write(kGrant + kGrant)}, Repeat(kPermissionTrue, 2)},
    {"GrantShowsInCapabilities",
     {Write(kGrant + "{\"type\":\"probe\"}\n")},
     kPermissionTrue + kCapabilitiesSystemEnabled},
    {"GrantedSystemLinesAreSilent",
     {Write(kGrant +
            "{\"type\":\"system-heartbeat\"}\n"
            "{\"type\":\"system\",\"action\":\"move\",\"x\":1,\"y\":1}\n{\"type\":\"probe\"}\n")},
     kPermissionTrue + kCapabilitiesSystemEnabled},
};

INSTANTIATE_TEST_SUITE_P(Cases, SystemPermission, testing::ValuesIn(kPermissions),
                         CaseName<SessionCase>);

// ---------------------------------------------------------------------------------------
// An idle bridge sleeps between polls instead of spinning. A sanity bound, not a benchmark:
// a polling loop that never sleeps burns a whole core.

TEST(Bridge, IdleBridgeDoesNotSpin) {
    SessionResult r = RunBridge({WaitOutput(kCapabilities), SampleCpu(), Pause(2000), SampleCpu()});
    ExpectCleanRun(r);
    EXPECT_FALSE(r.wait_output_failed);
    ASSERT_EQ(r.cpu.size(), 2u);
    ASSERT_TRUE(r.cpu[0].ok && r.cpu[1].ok);
    double wall = r.cpu[1].wall_ms - r.cpu[0].wall_ms;
    double cpu = r.cpu[1].cpu_ms - r.cpu[0].cpu_ms;
    EXPECT_LT(cpu, 0.25 * wall) << "cpu " << cpu << " ms over " << wall << " ms";
}

}  // namespace
}  // namespace e2e
