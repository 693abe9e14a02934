// Desktop control of the real padbridge.exe under Wine, seen the way another program on the
// desktop sees it: through low-level keyboard and mouse hooks installed by the test host.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host.h"

namespace e2e {
namespace {

constexpr DWORD kExtended = 0x01;      // LLKHF_EXTENDED
constexpr DWORD kInjected = 0x10;      // LLKHF_INJECTED
constexpr DWORD kKeyUpFlag = 0x80;     // LLKHF_UP
constexpr DWORD kMouseInjected = 0x1;  // LLMHF_INJECTED
constexpr DWORD kPacket = 0xE7;        // VK_PACKET: a Unicode unit travels in scanCode

Step System(const std::string& fields) {
    return Write("{\"type\":\"system\"," + fields + "}\n");
}

struct Key {
    WPARAM message;
    DWORD vk;
    DWORD scan;
};

TEST(Desktop, OneSessionInjectsReleasesOnSilenceAndOnClose) {
    SessionOptions options = Options(PadbridgePath());
    options.capture_input = true;
    const std::vector<Step> script = {
        Write(kGrant),
        WaitOutput(kPermissionTrue),
        System("\"action\":\"move\",\"x\":7,\"y\":-3"),
        System("\"action\":\"scroll\",\"y\":1"),
        System("\"action\":\"click\",\"button\":0,\"down\":true"),
        System("\"action\":\"click\",\"button\":0,\"down\":false"),
        System("\"action\":\"key\",\"key\":\"KeyQ\",\"down\":true"),
        Pause(1600),  // the host falls silent: the watchdog lets go of Q
        System("\"action\":\"text\",\"text\":\"a\xC3\xA9\""),
        System("\"action\":\"key\",\"key\":\"KeyW\",\"down\":true"),
        System("\"action\":\"click\",\"button\":1,\"down\":true"),
        Pause(200),
        CloseStdin(),  // shutdown lets go of W and the right button
    };
    SessionResult r = RunSession(options, script);
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    ASSERT_TRUE(r.capture_ok);
    EXPECT_FALSE(r.wait_output_failed);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0u);
    const Lines lines = SplitLines(r.output);
    ASSERT_EQ(lines.lines.size(), 2u) << Visible(r.output);  // capabilities, then the reply
    EXPECT_EQ(lines.lines[1] + "\r\n", kPermissionTrue);

    // Up or down is told by the message: Wine leaves LLKHF_UP off a VK_PACKET key-up.
    const Key keys[] = {
        {WM_KEYDOWN, 'Q', 0},        {WM_KEYUP, 'Q', 0},        // held, then the watchdog
        {WM_KEYDOWN, kPacket, 'a'},  {WM_KEYUP, kPacket, 'a'},  // text as Unicode packets
        {WM_KEYDOWN, kPacket, 0xE9}, {WM_KEYUP, kPacket, 0xE9},
        {WM_KEYDOWN, 'W', 0},        {WM_KEYUP, 'W', 0},  // held, then shutdown
    };
    ASSERT_EQ(r.keys.size(), std::size(keys));
    for (size_t i = 0; i < std::size(keys); ++i) {
        EXPECT_EQ(r.keys[i].message, keys[i].message) << i;
        EXPECT_EQ(r.keys[i].vk, keys[i].vk) << i;
        if (keys[i].vk == kPacket) {
            EXPECT_EQ(r.keys[i].scan, keys[i].scan) << i;
        }
        EXPECT_NE(r.keys[i].flags & kInjected, 0u) << i;
        if (keys[i].vk != kPacket) {
            EXPECT_EQ(r.keys[i].flags & kKeyUpFlag, keys[i].message == WM_KEYUP ? kKeyUpFlag : 0u)
                << i;
        }
    }
    // The watchdog waits more than a second of silence, and acts before the host speaks again.
    // Silence counts from the line that pressed Q, written before the bridge read it: the hook's
    // time for the key-down can lag on a busy machine, the write's cannot.
    double pressWritten = -1;
    for (const WriteRecord& write : r.writes) {
        if (write.bytes.find("KeyQ") != std::string::npos) pressWritten = write.ms;
    }
    ASSERT_GE(pressWritten, 0.0);
    EXPECT_GE(r.keys[1].ms - pressWritten, 950.0);
    EXPECT_LT(r.keys[1].ms, r.keys[2].ms);

    const WPARAM mice[] = {WM_MOUSEMOVE, WM_MOUSEWHEEL,  WM_LBUTTONDOWN,
                           WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP};
    ASSERT_EQ(r.mice.size(), std::size(mice));
    for (size_t i = 0; i < std::size(mice); ++i) {
        EXPECT_EQ(r.mice[i].message, mice[i]) << i;
        EXPECT_NE(r.mice[i].flags & kMouseInjected, 0u) << i;
    }
    EXPECT_EQ(static_cast<short>(HIWORD(r.mice[1].mouse_data)), 120);
    // At shutdown keys go first, then the buttons.
    EXPECT_LE(r.keys.back().ms, r.mice.back().ms);
}

// Applications that read scan codes (raw input, DirectInput, remote-desktop clients) see the key
// the layout gives the virtual key, and the E0 keys marked extended, down and up alike.
TEST(Desktop, KeysArriveWithTheirScanCodesAndTheExtendedFlag) {
    struct Expected {
        const char* name;
        DWORD vk;
        DWORD scan;  // what the US layout of the test prefix gives
        DWORD extended;
    };
    const Expected expected[] = {
        {"ArrowLeft", VK_LEFT, 0x4B, kExtended},
        {"Delete", VK_DELETE, 0x53, kExtended},
        {"KeyA", 'A', 0x1E, 0},
        {"F5", VK_F5, 0x3F, 0},
    };
    SessionOptions options = Options(PadbridgePath());
    options.capture_input = true;
    std::vector<Step> script = {
        Write(kGrant),
        WaitOutput(kPermissionTrue),
    };
    for (const Expected& key : expected) {
        ASSERT_EQ(MapVirtualKeyW(key.vk, MAPVK_VK_TO_VSC), key.scan) << key.name << ": layout";
        const std::string name = "\"action\":\"key\",\"key\":\"" + std::string(key.name);
        script.push_back(System(name + "\",\"down\":true"));
        script.push_back(System(name + "\",\"down\":false"));
    }
    script.push_back(Pause(200));
    script.push_back(CloseStdin());
    SessionResult r = RunSession(options, script);
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    ASSERT_TRUE(r.capture_ok);
    EXPECT_FALSE(r.wait_output_failed);
    EXPECT_EQ(r.exit_code, 0u);

    ASSERT_EQ(r.keys.size(), 2 * std::size(expected));
    for (size_t i = 0; i < r.keys.size(); ++i) {
        const Expected& key = expected[i / 2];
        const bool up = i % 2 == 1;
        EXPECT_EQ(r.keys[i].message, up ? WPARAM{WM_KEYUP} : WPARAM{WM_KEYDOWN}) << key.name;
        EXPECT_EQ(r.keys[i].vk, key.vk) << key.name;
        EXPECT_EQ(r.keys[i].scan, key.scan) << key.name;
        EXPECT_EQ(r.keys[i].flags & (kExtended | kInjected | kKeyUpFlag),
                  key.extended | kInjected | (up ? kKeyUpFlag : 0u))
            << key.name << (up ? " up" : " down");
    }
}

// The buttons beyond left and right and the sideways wheel, as another program's hook sees them:
// the side buttons as X buttons telling which one, the wheels with their signed amounts, and a
// side button still held at the end let go by shutdown.
TEST(Desktop, MiddleAndSideButtonsAndTheSidewaysWheel) {
    SessionOptions options = Options(PadbridgePath());
    options.capture_input = true;
    const std::vector<Step> script = {
        Write(kGrant),
        WaitOutput(kPermissionTrue),
        System("\"action\":\"button\",\"button\":\"middle\",\"down\":true"),
        System("\"action\":\"button\",\"button\":\"middle\",\"down\":false"),
        System("\"action\":\"button\",\"button\":\"back\",\"down\":true"),
        System("\"action\":\"button\",\"button\":\"back\",\"down\":false"),
        System("\"action\":\"scroll\",\"y\":1,\"x\":-2"),
        System("\"action\":\"scroll\",\"y\":-1,\"x\":0.001"),  // nothing sideways
        System("\"action\":\"button\",\"button\":\"forward\",\"down\":true"),
        Pause(200),
        CloseStdin(),  // shutdown lets go of forward
    };
    SessionResult r = RunSession(options, script);
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    ASSERT_TRUE(r.capture_ok);
    EXPECT_FALSE(r.wait_output_failed);
    EXPECT_EQ(r.exit_code, 0u);

    struct Mouse {
        WPARAM message;
        short data;  // the high word of mouseData: which X button, or the wheel's amount
    };
    const Mouse expected[] = {
        {WM_MBUTTONDOWN, 0},      {WM_MBUTTONUP, 0},          {WM_XBUTTONDOWN, XBUTTON1},
        {WM_XBUTTONUP, XBUTTON1}, {WM_MOUSEWHEEL, 120},       {WM_MOUSEHWHEEL, -240},
        {WM_MOUSEWHEEL, -120},    {WM_XBUTTONDOWN, XBUTTON2}, {WM_XBUTTONUP, XBUTTON2},
    };
    ASSERT_EQ(r.mice.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(r.mice[i].message, expected[i].message) << i;
        EXPECT_EQ(static_cast<short>(HIWORD(r.mice[i].mouse_data)), expected[i].data) << i;
        EXPECT_NE(r.mice[i].flags & kMouseInjected, 0u) << i;
    }
    EXPECT_TRUE(r.keys.empty());
}

// A host that shows a picture of the whole desktop points at the centre of a pixel, as a fraction
// of the desktop's width and height; the pointer lands on that pixel, corners included.
TEST(Desktop, PointLandsOnThePixelAskedFor) {
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    ASSERT_GT(width, 1);
    ASSERT_GT(height, 1);
    struct Target {
        std::string x;  // the fractions the host sends
        std::string y;
        POINT pixel;  // relative to the desktop's top-left corner
    };
    auto centre = [](int pixel, int size) {
        char text[32];
        std::snprintf(text, sizeof text, "%.9f", (pixel + 0.5) / size);
        return std::string(text);
    };
    // Wine calls no hook for a move to where the pointer already is, so the first spot is one
    // the pointer is not on.
    POINT before{};
    ASSERT_TRUE(GetCursorPos(&before));
    const POINT first{before.x - left == 2 ? 3 : 2, 2};
    std::vector<Target> targets = {
        {centre(first.x, width), centre(first.y, height), first},
        {"0", "0", {0, 0}},
        {"1", "1", {width - 1, height - 1}},
        {"-2", "7", {0, height - 1}},  // outside is clamped to the edge
    };
    for (const POINT pixel : {POINT{width / 3, height / 4}, POINT{width - 2, 1},
                              POINT{1, height - 2}, POINT{width / 2, height / 2}}) {
        targets.push_back({centre(pixel.x, width), centre(pixel.y, height), pixel});
    }
    SessionOptions options = Options(PadbridgePath());
    options.capture_input = true;
    std::vector<Step> script = {
        Write(kGrant),
        WaitOutput(kPermissionTrue),
    };
    for (const Target& target : targets) {
        script.push_back(System("\"action\":\"point\",\"x\":" + target.x + ",\"y\":" + target.y));
    }
    script.push_back(Pause(200));
    script.push_back(CloseStdin());
    SessionResult r = RunSession(options, script);
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    ASSERT_TRUE(r.capture_ok);
    EXPECT_EQ(r.exit_code, 0u);

    ASSERT_EQ(r.mice.size(), targets.size());
    for (size_t i = 0; i < targets.size(); ++i) {
        const Target& target = targets[i];
        EXPECT_EQ(r.mice[i].message, WPARAM{WM_MOUSEMOVE}) << i;
        EXPECT_NE(r.mice[i].flags & kMouseInjected, 0u) << i;
        EXPECT_EQ(r.mice[i].pt.x, left + target.pixel.x) << target.x << " of " << width;
        EXPECT_EQ(r.mice[i].pt.y, top + target.pixel.y) << target.y << " of " << height;
    }
    POINT cursor{};
    ASSERT_TRUE(GetCursorPos(&cursor));
    EXPECT_EQ(cursor.x, left + targets.back().pixel.x);
    EXPECT_EQ(cursor.y, top + targets.back().pixel.y);
}

}  // namespace
}  // namespace e2e
