// The real padbridge.exe asked to stop at its hidden top-level window under Wine, while its
// standard input is still open: when the Windows session ends (log-off or shutdown), told through
// WM_QUERYENDSESSION and WM_ENDSESSION, and when WM_CLOSE comes (taskkill without /F). Either way
// it runs the normal shutdown and exits 0.
#include <gtest/gtest.h>

#include <string>

#include "host.h"

namespace e2e {
namespace {

const std::string kTabDown =
    "{\"type\":\"system\",\"action\":\"key\",\"key\":\"Tab\",\"down\":true}\n";
const std::string kInput =
    "{\"type\":\"input\",\"player\":0,\"axes\":[0,0,0,0],"
    "\"buttons\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}\n";
const std::string kCreated =
    padbridge::test::Crlf(padbridge::test::DeviceCreated(0, padbridge::test::kVjoy));
const std::string kRemoved = padbridge::test::Crlf(padbridge::test::DeviceRemoved(0));

// Runs a session that holds Tab and a vJoy pad with its input still open, ends it with `end`,
// and checks that the bridge let everything go and exited 0.
SessionResult EndWhileHolding(const Step& end) {
    SessionOptions options =
        Options(PadbridgePath(), {L"--vjoy-dll", WindowsPathFromUnix(E2E_VJOY_DOUBLE_UNIX_PATH)});
    options.capture_input = true;
    options.close_stdin_at_end = false;  // only the request to stop may end it
    options.exit_timeout_ms = 5000;
    // The pad is kept alive past the request, so only the shutdown can remove it.
    const SessionResult r =
        RunSession(options, {Write(kGrant), Write(kTabDown), Write(kInput), WaitOutput(kCreated),
                             Write(kInput), Pause(300), Write(kInput), end});
    EXPECT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    EXPECT_FALSE(r.wait_output_failed) << Visible(r.output);
    EXPECT_FALSE(r.timed_out) << "the bridge did not stop when asked";
    EXPECT_EQ(r.exit_code, 0u);
    const Lines lines = SplitLines(r.output);
    EXPECT_TRUE(lines.all_crlf) << Visible(r.output);
    EXPECT_EQ(lines.lines.size(), 4u) << Visible(r.output);
    if (lines.lines.size() == 4u) {
        EXPECT_EQ(lines.lines[1] + "\n", kGrant);
        EXPECT_EQ(lines.lines[2] + "\r\n", kCreated);
        EXPECT_EQ(lines.lines[3] + "\r\n", kRemoved);
    }
    // The Tab the host held was let go on the way out.
    EXPECT_TRUE(r.capture_ok);
    int downs = 0, ups = 0;
    for (const KeyEvent& key : r.keys) {
        if (key.vk != VK_TAB) continue;
        (key.flags & 0x80) != 0 ? ++ups : ++downs;
    }
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(ups, 1);
    return r;
}

TEST(SessionEnd, LogOffReleasesEverythingAndExitsZero) {
    const SessionResult r = EndWhileHolding(EndSession());
    EXPECT_TRUE(r.end_session_ran) << "wineboot --end-session did not run";
}

// What taskkill without /F does: a request to stop like Ctrl+C, not a reason to lose the window.
TEST(SessionEnd, CloseMessageReleasesEverythingAndExitsZero) {
    const SessionResult r = EndWhileHolding(PostClose());
    EXPECT_GT(r.close_posts, 0) << "no top-level window of the bridge was found";
}

}  // namespace
}  // namespace e2e
