// A host that stops reading the real padbridge.exe's output under Wine: with a 4 KiB pipe, a
// held key and a few hundred lines the bridge must answer, the bridge's writes would block. The
// watchdog still lets go of the key on time, seen by a low-level keyboard hook, while the host
// still does not read; once it reads again it gets every line, whole and in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host.h"

namespace e2e {
namespace {

constexpr int kProbes = 300;  // about 50 KB of answers for a 4 KiB pipe
constexpr DWORD kKeyQ = 'Q';
constexpr DWORD kKeyUpFlag = 0x80;  // LLKHF_UP

// A host with a 4 KiB stdout pipe that grants, stops reading, holds Q and asks for kProbes
// answers; `rest` follows.
SessionResult RunFrozenHost(DWORD exitTimeoutMs, const std::vector<Step>& rest) {
    SessionOptions options = Options(PadbridgePath());
    options.capture_input = true;
    options.stdout_pipe_bytes = 4096;
    if (exitTimeoutMs != 0) options.exit_timeout_ms = exitTimeoutMs;
    std::string probes;
    for (int i = 0; i < kProbes; ++i) probes += "{\"type\":\"probe\"}\n";
    std::vector<Step> script = {
        Write(kGrant),
        WaitOutput(kPermissionTrue),
        StopReading(),
        Write("{\"type\":\"system\",\"action\":\"key\",\"key\":\"KeyQ\",\"down\":true}\n"),
        Write(probes),
    };
    script.insert(script.end(), rest.begin(), rest.end());
    return RunSession(options, script);
}

std::vector<KeyEvent> KeyQEvents(const SessionResult& r) {
    std::vector<KeyEvent> q;
    for (const KeyEvent& key : r.keys) {
        if (key.vk == kKeyQ) q.push_back(key);
    }
    return q;
}

TEST(FrozenHost, KeyGoesUpWhileTheHostDoesNotReadAndEveryLineArrivesAfterwards) {
    const SessionResult r =
        RunFrozenHost(0, {
                             Pause(2500),  // frozen: it neither reads nor writes
                             ResumeReading(),
                             Write(kRefuse),
                             WaitOutput(kPermissionFalse),
                             CloseStdin(),
                         });
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    ASSERT_TRUE(r.capture_ok);
    EXPECT_FALSE(r.wait_output_failed);
    EXPECT_FALSE(r.timed_out);
    EXPECT_FALSE(r.script_timed_out);
    EXPECT_EQ(r.exit_code, 0u);

    std::string expected = kCapabilities + kPermissionTrue;
    for (int i = 0; i < kProbes; ++i) expected += kCapabilitiesSystemEnabled;
    expected += kPermissionFalse;
    EXPECT_EQ(r.output.size(), expected.size());
    EXPECT_TRUE(r.output == expected) << "the lines differ from what the bridge was asked for";

    ASSERT_EQ(r.reading_changes_ms.size(), 2u);
    ASSERT_EQ(r.writes.size(), 4u);
    const double keyDownSentMs = r.writes[1].ms;
    const double resumedMs = r.reading_changes_ms[1];
    // The host really stopped: most of the answers reached it only after it read again.
    std::size_t readBeforeResume = 0;
    for (const Chunk& chunk : r.chunks) {
        if (chunk.ms < resumedMs) readBeforeResume += chunk.bytes.size();
    }
    EXPECT_LT(readBeforeResume, expected.size() / 4);

    // Q went down, then up by the watchdog: after a second of silence, within 1.1 s of the line
    // that pressed it, while the host still did not read.
    const std::vector<KeyEvent> q = KeyQEvents(r);
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].flags & kKeyUpFlag, 0u);
    EXPECT_EQ(q[1].flags & kKeyUpFlag, kKeyUpFlag);
    std::printf("key up %.1f ms after its line, %.1f ms before the host read again\n",
                q[1].ms - keyDownSentMs, resumedMs - q[1].ms);
    EXPECT_GE(q[1].ms - keyDownSentMs, 1000.0);
    EXPECT_LE(q[1].ms - keyDownSentMs, 1100.0);
    EXPECT_LT(q[1].ms, resumedMs);
}

TEST(FrozenHost, HostThatNeverReadsAgainStillSeesTheBridgeEndCleanly) {
    // It never reads again after closing its input: the bridge's writer stays blocked.
    const SessionResult r = RunFrozenHost(5000, {Pause(200), CloseStdin()});
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    ASSERT_TRUE(r.capture_ok);
    EXPECT_FALSE(r.timed_out);
    EXPECT_FALSE(r.script_timed_out);
    EXPECT_EQ(r.exit_code, 0u);
    // Shutdown let go of Q although its last lines could not reach the host.
    const std::vector<KeyEvent> q = KeyQEvents(r);
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[1].flags & kKeyUpFlag, kKeyUpFlag);
    EXPECT_LT(r.output.size(), kProbes * kCapabilitiesSystemEnabled.size());
}

}  // namespace
}  // namespace e2e
