// The real padbridge.exe's wait under Wine: standard input read on a thread of its own, where a
// long message of a message-mode pipe is not the end of the input, and a Ctrl+Break that ends the
// session with the normal shutdown.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host.h"

namespace e2e {
namespace {

const std::string kCreated =
    padbridge::test::Crlf(padbridge::test::DeviceCreated(0, padbridge::test::kVjoy));
const std::string kRemoved = padbridge::test::Crlf(padbridge::test::DeviceRemoved(0));

std::string WithCrLf(const std::string& line) {
    return line.substr(0, line.size() - 1) + "\r\n";
}

// A message-mode pipe hands a message longer than the read over in parts (ERROR_MORE_DATA): the
// rest must follow, not end the input. 100 000 bytes of lines in one message outgrow the reader's
// 64 KiB ring.
TEST(Loop, LongMessageOfAMessageModePipeIsReadWhole) {
    SessionOptions options = Options(PadbridgePath());
    options.message_mode_stdin = true;
    std::string message;
    while (message.size() < 100000) message += kRefuse;
    message += kGrant;
    const SessionResult r = RunSession(options, {Write(message), WaitOutput(WithCrLf(kGrant))});
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    EXPECT_FALSE(r.wait_output_failed) << "the bridge stopped reading";
    EXPECT_EQ(r.exit_code, 0u);
    const Lines lines = SplitLines(r.output);
    ASSERT_EQ(lines.lines.size(), 1 + (message.size() - kGrant.size()) / kRefuse.size() + 1);
    EXPECT_EQ(lines.lines.back() + "\n", kGrant);
}

TEST(Loop, CtrlBreakReleasesEverythingAndExitsZero) {
    SessionOptions options =
        Options(PadbridgePath(), {L"--vjoy-dll", WindowsPathFromUnix(E2E_VJOY_DOUBLE_UNIX_PATH)});
    options.capture_input = true;
    options.new_process_group = true;
    options.close_stdin_at_end = false;  // only the Ctrl+Break may end it
    options.exit_timeout_ms = 3000;
    const std::string input =
        "{\"type\":\"input\",\"player\":0,\"axes\":[0,0,0,0],"
        "\"buttons\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}\n";
    const SessionResult r = RunSession(
        options, {Write(kGrant), WaitOutput(WithCrLf(kGrant)),
                  Write("{\"type\":\"system\",\"action\":\"key\",\"key\":\"Tab\",\"down\":true}\n"),
                  Write(input), WaitOutput(kCreated), Pause(200), CtrlBreak()});
    ASSERT_TRUE(r.started);
    // Wine 8 without a terminal of its own refuses to send it (ERROR_INVALID_ACCESS, or
    // ERROR_INVALID_HANDLE on a console made with AllocConsole); the simulation covers the rest.
    if (!r.ctrl_break_sent) GTEST_SKIP() << "this system cannot send a Ctrl+Break";
    EXPECT_FALSE(r.timed_out) << "the bridge did not end on Ctrl+Break";
    EXPECT_EQ(r.exit_code, 0u);
    const Lines lines = SplitLines(r.output);
    ASSERT_FALSE(lines.lines.empty());
    EXPECT_EQ(lines.lines.back() + "\r\n", kRemoved) << Visible(r.output);
    // The Tab the host held was let go on the way out.
    int downs = 0, ups = 0;
    for (const KeyEvent& key : r.keys) {
        if (key.vk != VK_TAB) continue;
        (key.flags & 0x80) != 0 ? ++ups : ++downs;
    }
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(ups, 1);
}

}  // namespace
}  // namespace e2e
