// The real padbridge.exe when the Windows session ends (log-off or shutdown) under Wine: it is
// told through WM_QUERYENDSESSION and WM_ENDSESSION at its hidden top-level window, runs the
// normal shutdown, and exits 0 while its standard input is still open.
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

TEST(SessionEnd, LogOffReleasesEverythingAndExitsZero) {
    SessionOptions options =
        Options(PadbridgePath(), {L"--vjoy-dll", WindowsPathFromUnix(E2E_VJOY_DOUBLE_UNIX_PATH)});
    options.capture_input = true;
    options.close_stdin_at_end = false;  // only the end of the session may end it
    options.exit_timeout_ms = 5000;
    // The pad is kept alive past the end of the session, so only the shutdown can remove it.
    const SessionResult r =
        RunSession(options, {Write(kGrant), Write(kTabDown), Write(kInput), WaitOutput(kCreated),
                             Write(kInput), Pause(300), Write(kInput), EndSession()});
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    EXPECT_FALSE(r.wait_output_failed) << Visible(r.output);
    EXPECT_TRUE(r.end_session_ran) << "wineboot --end-session did not run";
    EXPECT_FALSE(r.timed_out) << "the bridge did not end with the session";
    EXPECT_EQ(r.exit_code, 0u);
    const Lines lines = SplitLines(r.output);
    EXPECT_TRUE(lines.all_crlf) << Visible(r.output);
    ASSERT_EQ(lines.lines.size(), 4u) << Visible(r.output);
    EXPECT_EQ(lines.lines[1] + "\n", kGrant);
    EXPECT_EQ(lines.lines[2] + "\r\n", kCreated);
    EXPECT_EQ(lines.lines[3] + "\r\n", kRemoved);
    // The Tab the host held was let go on the way out.
    ASSERT_TRUE(r.capture_ok);
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
