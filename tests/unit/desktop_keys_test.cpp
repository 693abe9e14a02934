// The `key` action: the names, and the exact record each key sends, with the layout's scan code
// and the extended flag, on the way down, on the way up and when release-all lifts it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/injection.h"
#include "desktop/system_control.h"
#include "desktop_fixture.h"

namespace padbridge {
namespace {

using sim::KeyEvent;
using test::Down;
using test::Events;
using test::Inject;
using test::System;
using test::Up;

std::string KeyLine(const std::string& name, bool down) {
    return System(R"("action":"key","key":")" + name + R"(","down":)" + (down ? "true" : "false"));
}

TEST(DesktopKeyTest, LetterNamesAndUnknownNames) {
    const std::pair<std::string, Events> cases[] = {
        {R"("action":"key","key":"KeyQ","down":true)", {Down(0x51), Up(0x51)}},
        {R"("action":"key","key":"KeyQ")", {Up(0x51)}},
        {R"("action":"key","key":"Keyq","down":true)", {}},
        {R"("action":"key","key":"F13","down":true)", {}},
        {R"("action":"key","key":"KeyQQ","down":true)", {}},
        {R"("action":"key","key":"Key","down":true)", {}},
        {R"("action":"key","key":"space","down":true)", {}},
        {R"("action":"key","key":"Arrow\u004Ceft","down":true)", {}},
        {R"("action":"key","key":32,"down":true)", {}},
        {R"("action":"key","down":true)", {}},
    };
    for (const auto& [fields, expected] : cases)
        EXPECT_EQ(Inject(System(fields)), expected) << fields;
}

TEST(DesktopKeyTest, NamesOfFortyCharactersOrMoreAreRefused) {
    const std::string name39 = "Space" + std::string(34, 'x');
    const std::string name40 = "Space" + std::string(35, 'x');
    ASSERT_EQ(name39.size(), 39u);
    EXPECT_EQ(Inject(System(R"("action":"key","down":true,"key":")" + name39 + "\"")), Events{});
    EXPECT_EQ(Inject(System(R"("action":"key","down":true,"key":")" + name40 + "\"")), Events{});
}

TEST(DesktopKeyTest, EveryNameHasItsVirtualKeyAndOnlyE0KeysAreExtended) {
    struct Name {
        std::string name;
        uint16_t virtualKey;
        bool extended;
    };
    std::vector<Name> names = {
        {"Space", 0x20, false},
        {"Enter", 0x0D, false},
        {"Escape", 0x1B, false},
        {"Tab", 0x09, false},
        {"Backspace", 0x08, false},
        {"ArrowLeft", 0x25, true},
        {"ArrowRight", 0x27, true},
        {"ArrowUp", 0x26, true},
        {"ArrowDown", 0x28, true},
        {"Shift", 0x10, false},
        {"Control", 0x11, false},
        {"Alt", 0x12, false},
        {"Meta", 0x5B, true},
        {"MediaPlayPause", 0xB3, true},
        {"MediaNext", 0xB0, true},
        {"MediaPrevious", 0xB1, true},
        {"VolumeUp", 0xAF, true},
        {"VolumeDown", 0xAE, true},
        {"VolumeMute", 0xAD, true},
        {"Delete", 0x2E, true},
        {"Insert", 0x2D, true},
        {"Home", 0x24, true},
        {"End", 0x23, true},
        {"PageUp", 0x21, true},
        {"PageDown", 0x22, true},
        {"CapsLock", 0x14, false},
        {"NumLock", 0x90, true},
        {"ScrollLock", 0x91, false},
        {"PrintScreen", 0x2C, true},
        {"Pause", 0x13, false},
        {"ContextMenu", 0x5D, true},
        {"ShiftLeft", 0xA0, false},
        {"ShiftRight", 0xA1, false},
        {"ControlLeft", 0xA2, false},
        {"ControlRight", 0xA3, true},
        {"AltLeft", 0xA4, false},
        {"AltRight", 0xA5, true},
        {"MetaLeft", 0x5B, true},
        {"MetaRight", 0x5C, true},
        {"NumpadAdd", 0x6B, false},
        {"NumpadSubtract", 0x6D, false},
        {"NumpadMultiply", 0x6A, false},
        {"NumpadDivide", 0x6F, true},
        {"NumpadDecimal", 0x6E, false},
        {"NumpadEnter", 0x0D, true},
        {"Minus", 0xBD, false},
        {"Equal", 0xBB, false},
        {"BracketLeft", 0xDB, false},
        {"BracketRight", 0xDD, false},
        {"Backslash", 0xDC, false},
        {"Semicolon", 0xBA, false},
        {"Quote", 0xDE, false},
        {"Backquote", 0xC0, false},
        {"Comma", 0xBC, false},
        {"Period", 0xBE, false},
        {"Slash", 0xBF, false},
    };
    for (char c = 'A'; c <= 'Z'; ++c) names.push_back({std::string("Key") + c, uint16_t(c), false});
    for (int d = 0; d <= 9; ++d) {
        names.push_back({"Digit" + std::to_string(d), uint16_t(0x30 + d), false});
        names.push_back({"Numpad" + std::to_string(d), uint16_t(0x60 + d), false});
    }
    for (int n = 1; n <= 12; ++n)
        names.push_back({"F" + std::to_string(n), uint16_t(0x6F + n), false});
    for (const char* unknown :
         {"Key@", "Key[", "", "Enter ", "enter", "Ctrl", "KeyA\n", "F0", "F01", "F13", "Digit10",
          "Numpad", "NumpadEqual", "ArrowLeft2", "E"}) {
        names.push_back({unknown, 0, false});
    }
    for (const Name& n : names) {
        const KeyCode key = LookupKey(n.name.c_str());
        EXPECT_EQ(key.virtualKey, n.virtualKey) << n.name;
        EXPECT_EQ(key.extended, n.extended) << n.name;
    }
}

// One key of each kind, pressed and let go: virtual key, scan code and flags of both records.
TEST(DesktopKeyTest, RecordsCarryTheLayoutsScanCodeAndTheExtendedFlag) {
    struct Record {
        const char* name;
        uint16_t virtualKey;
        uint16_t scanCode;
        uint32_t downFlags;  // the up adds KEYEVENTF_KEYUP (2)
    };
    const Record records[] = {
        {"KeyA", 0x41, 0x1E, 0},           {"F5", 0x74, 0x3F, 0},
        {"ArrowLeft", 0x25, 0x4B, 1},      {"Delete", 0x2E, 0x53, 1},
        {"MediaPlayPause", 0xB3, 0x22, 1}, {"VolumeDown", 0xAE, 0x2E, 1},
        {"Numpad4", 0x64, 0x4B, 0},        {"NumpadDivide", 0x6F, 0x35, 1},
        {"ControlRight", 0xA3, 0x1D, 1},   {"ShiftRight", 0xA1, 0x36, 0},
        {"Quote", 0xDE, 0x28, 0},          {"Digit0", 0x30, 0x0B, 0},
    };
    for (const Record& r : records) {
        EXPECT_EQ(Inject({KeyLine(r.name, true), KeyLine(r.name, false)}),
                  (Events{KeyEvent(r.virtualKey, r.scanCode, r.downFlags),
                          KeyEvent(r.virtualKey, r.scanCode, r.downFlags | 2)}))
            << r.name;
    }
}

// NumpadEnter is Enter's virtual key with the extended flag. A held key goes up as it went down,
// whichever of the two names lets it go.
TEST(DesktopKeyTest, NumpadEnterAndEnterShareAVirtualKeyButNotTheFlag) {
    const std::string plainDown = KeyEvent(0x0D, 0x1C, 0), plainUp = KeyEvent(0x0D, 0x1C, 2);
    const std::string padDown = KeyEvent(0x0D, 0x1C, 1), padUp = KeyEvent(0x0D, 0x1C, 3);
    const std::pair<std::vector<std::string>, Events> cases[] = {
        {{KeyLine("NumpadEnter", true), KeyLine("NumpadEnter", false)}, {padDown, padUp}},
        {{KeyLine("NumpadEnter", true), KeyLine("Enter", false)}, {padDown, padUp}},
        {{KeyLine("Enter", true), KeyLine("NumpadEnter", false)}, {plainDown, plainUp}},
        {{KeyLine("Enter", true), KeyLine("Enter", false)}, {plainDown, plainUp}},
        {{KeyLine("NumpadEnter", true)}, {padDown, padUp}},  // lifted at shutdown
        {{KeyLine("NumpadEnter", false)}, {padUp}},          // not held: the name's own flag
        {{KeyLine("NumpadEnter", true), KeyLine("NumpadEnter", false), KeyLine("Enter", false)},
         {padDown, padUp, plainUp}},
    };
    for (const auto& [lines, expected] : cases) EXPECT_EQ(Inject(lines), expected) << lines[0];
}

// The layout answers at each down; each up, the host's or release-all's, repeats its down.
TEST(DesktopKeyTest, AfterALayoutChangeDownsTakeTheNewCodeAndUpsRepeatTheirDown) {
    sim::Reset();
    SystemControl control{};
    padbridge::KeyEvent(control, LookupKey("ArrowLeft"), true);
    padbridge::KeyEvent(control, LookupKey("AltRight"), true);
    sim::Current().input.scanCodes.fill(0x77);
    padbridge::KeyEvent(control, LookupKey("KeyA"), true);
    padbridge::KeyEvent(control, LookupKey("AltRight"), false);
    ReleaseAll(control);
    EXPECT_EQ(sim::InjectedEvents(),
              (Events{KeyEvent(0x25, 0x4B, 1), KeyEvent(0xA5, 0x38, 1), KeyEvent(0x41, 0x77, 0),
                      KeyEvent(0xA5, 0x38, 3), KeyEvent(0x25, 0x4B, 3), KeyEvent(0x41, 0x77, 2)}));
    for (int code = 0; code < 256; ++code) EXPECT_EQ(control.pressedKeys[code], 0) << code;
}

TEST(DesktopKeyTest, RepeatedPressAndStrayReleaseAreStillSent) {
    const std::string press = KeyLine("Alt", true);
    const std::string release = KeyLine("Alt", false);
    EXPECT_EQ(Inject({press, press, release, release}),
              (Events{Down(0x12), Down(0x12), Up(0x12), Up(0x12)}));
}

}  // namespace
}  // namespace padbridge
