// Checks of the test host itself, against fixture_child.exe instead of the bridge, so a
// failure in the bridge tests can be told apart from a fault in the fixture.
#include "host.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

std::wstring Child() {
    return WindowsPathFromUnix(E2E_FIXTURE_CHILD_UNIX_PATH);
}

TEST(Host, PassesBytesBothWaysExactlyAndReportsTheExitCode) {
    using namespace std::string_literals;
    SessionOptions options = Options(Child(), {L"echo", L"7"});
    SessionResult r = RunSession(
        options, {Write("ab"), Pause(50), Write("c\r\nd\n"), Write("\xFF\x00z"s), CloseStdin()});
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    EXPECT_EQ(r.output, "abc\r\nd\n\xFF\x00z"s);
    EXPECT_EQ(r.exit_code, 7u);
    EXPECT_FALSE(r.timed_out);
    ASSERT_EQ(r.writes.size(), 3u);
    for (const auto& w : r.writes) EXPECT_TRUE(w.ok);
}

TEST(Host, PassesArgumentsAndEnvironment) {
    SessionOptions options =
        Options(Child(), {L"args", L"two words", L"q\"uote", L"back\\slash\\"});
    options.env = {{L"E2E_PROBE", L"hello"}};
    SessionResult r = RunSession(options, {});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.output, "arg=two words\narg=q\"uote\narg=back\\slash\\\nenv=hello\n");
    EXPECT_EQ(r.exit_code, 0u);
}

TEST(Host, KillsAChildThatDoesNotExit) {
    SessionOptions options = Options(Child(), {L"hang"});
    options.exit_timeout_ms = 1000;
    SessionResult r = RunSession(options, {CloseStdin()});
    ASSERT_TRUE(r.started);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0xDEADu);
}

TEST(Host, SplitsLinesAndChecksCrLf) {
    struct Case {
        std::string output;
        std::vector<std::string> lines;
        bool all_crlf;
        std::string rest;
    };
    const Case cases[] = {
        {"", {}, true, ""},
        {"a\r\nb\r\n", {"a", "b"}, true, ""},
        {"a\r\nb\n", {"a", "b"}, false, ""},
        {"a\r\nb", {"a"}, false, "b"},
        {"\r\n\r\n", {"", ""}, true, ""},
    };
    for (const Case& c : cases) {
        Lines l = SplitLines(c.output);
        EXPECT_EQ(l.lines, c.lines) << Visible(c.output);
        EXPECT_EQ(l.all_crlf, c.all_crlf) << Visible(c.output);
        EXPECT_EQ(l.rest, c.rest) << Visible(c.output);
    }
}

// The idle-CPU check on the bridge is only worth something if the measurement sees a
// busy child at all.
TEST(Host, CpuSamplesSeeABusyChild) {
    SessionOptions options = Options(Child(), {L"spin"});
    SessionResult r = RunSession(options, {Pause(200), SampleCpu(), Pause(1000), SampleCpu()});
    ASSERT_TRUE(r.started);
    ASSERT_EQ(r.cpu.size(), 2u);
    ASSERT_TRUE(r.cpu[0].ok && r.cpu[1].ok);
    double wall = r.cpu[1].wall_ms - r.cpu[0].wall_ms;
    double cpu = r.cpu[1].cpu_ms - r.cpu[0].cpu_ms;
    EXPECT_GT(cpu, 0.1 * wall) << "cpu " << cpu << " ms over " << wall << " ms";
}

TEST(Host, CapturesInputInjectedByAnotherProcess) {
    SessionOptions options = Options(Child(), {L"inject"});
    options.capture_input = true;
    SessionResult r = RunSession(options, {});
    ASSERT_TRUE(r.started);
    ASSERT_TRUE(r.capture_ok);
    EXPECT_EQ(r.output, "sent=6\n");

    // Up or down is told by the message: Wine 8 leaves LLKHF_UP (0x80) out of the flags
    // of a VK_PACKET key-up, while an ordinary key-up has it.
    struct Key {
        WPARAM message;
        DWORD vk, scan, flags, flags_mask;
    };
    const Key keys[] = {
        {WM_KEYDOWN, 'A', 0, 0x10, 0xFF},
        {WM_KEYUP, 'A', 0, 0x90, 0xFF},
        {WM_KEYDOWN, 0xE7, 0xE9, 0x10, 0xFF},
        {WM_KEYUP, 0xE7, 0xE9, 0x10, 0x7F},
    };
    ASSERT_EQ(r.keys.size(), std::size(keys));
    for (size_t i = 0; i < std::size(keys); ++i) {
        EXPECT_EQ(r.keys[i].message, keys[i].message) << i;
        EXPECT_EQ(r.keys[i].vk, keys[i].vk) << i;
        EXPECT_EQ(r.keys[i].scan, keys[i].scan) << i;
        EXPECT_EQ(r.keys[i].flags & keys[i].flags_mask, keys[i].flags) << i;
    }
    ASSERT_EQ(r.mice.size(), 2u);
    EXPECT_EQ(r.mice[0].message, static_cast<WPARAM>(WM_MOUSEMOVE));
    EXPECT_EQ(r.mice[1].message, static_cast<WPARAM>(WM_MOUSEWHEEL));
    EXPECT_EQ(static_cast<short>(HIWORD(r.mice[1].mouse_data)), -120);
}

}  // namespace
}  // namespace e2e
