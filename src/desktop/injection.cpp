// Carries out `system` lines as synthetic input. Each action is bounded: a move of at most 200
// on each axis, at most ten wheel steps each way, one point on the desktop, at most 1024 UTF-16
// units of text.
#include "desktop/injection.h"

#include <cstddef>
#include <cstring>

#include "desktop/events.h"
#include "desktop/system_control.h"
#include "os/os.h"
#include "protocol/fields.h"

namespace padbridge {
namespace {

constexpr std::size_t kActionCapacity = 32;
constexpr std::size_t kKeyCapacity = 40;
constexpr std::size_t kTextCapacity = 1025;  // 1024 bytes of UTF-8
constexpr int kWideTextCapacity = 1025;      // never fewer units than bytes, plus the terminator
constexpr double kMoveLimit = 200.0;
constexpr double kWheelStep = 120.0;
constexpr double kWheelLimit = 1200.0;
constexpr double kAbsoluteSpan = 65535.0;  // an absolute move's coordinates run 0..65535

constexpr std::size_t kButtonNameCapacity = 8;  // "forward" and its terminator

struct NamedButton {
    const char* name;
    MouseButton button;
};

constexpr NamedButton kNamedButtons[] = {
    {"left", kButtonLeft}, {"right", kButtonRight},     {"middle", kButtonMiddle},
    {"back", kButtonBack}, {"forward", kButtonForward},
};

// Keys a real keyboard sends with an E0 prefix before their scan code.
constexpr bool kExtended = true;
constexpr bool kPlain = false;

struct NamedKey {
    const char* name;  // as the web platform's KeyboardEvent.code names the key
    uint8_t virtualKey;
    bool extended;
};

// Searched in this order, after the letters KeyA..KeyZ. Every code is below 256, so it indexes
// the pressed-key table. Each row's first character is compared before the rest, so a row that
// cannot match costs one byte compare and no call.
constexpr NamedKey kNamedKeys[] = {
    {"Space", 0x20, kPlain},
    {"Enter", 0x0D, kPlain},
    {"Escape", 0x1B, kPlain},
    {"Tab", 0x09, kPlain},
    {"Backspace", 0x08, kPlain},
    {"ArrowLeft", 0x25, kExtended},
    {"ArrowRight", 0x27, kExtended},
    {"ArrowUp", 0x26, kExtended},
    {"ArrowDown", 0x28, kExtended},
    {"Shift", 0x10, kPlain},
    {"Control", 0x11, kPlain},
    {"Alt", 0x12, kPlain},
    {"Meta", 0x5B, kExtended},
    {"MediaPlayPause", 0xB3, kExtended},
    {"MediaNext", 0xB0, kExtended},
    {"MediaPrevious", 0xB1, kExtended},
    {"VolumeUp", 0xAF, kExtended},
    {"VolumeDown", 0xAE, kExtended},
    {"VolumeMute", 0xAD, kExtended},
    // The digit row.
    {"Digit0", 0x30, kPlain},
    {"Digit1", 0x31, kPlain},
    {"Digit2", 0x32, kPlain},
    {"Digit3", 0x33, kPlain},
    {"Digit4", 0x34, kPlain},
    {"Digit5", 0x35, kPlain},
    {"Digit6", 0x36, kPlain},
    {"Digit7", 0x37, kPlain},
    {"Digit8", 0x38, kPlain},
    {"Digit9", 0x39, kPlain},
    // Function keys.
    {"F1", 0x70, kPlain},
    {"F2", 0x71, kPlain},
    {"F3", 0x72, kPlain},
    {"F4", 0x73, kPlain},
    {"F5", 0x74, kPlain},
    {"F6", 0x75, kPlain},
    {"F7", 0x76, kPlain},
    {"F8", 0x77, kPlain},
    {"F9", 0x78, kPlain},
    {"F10", 0x79, kPlain},
    {"F11", 0x7A, kPlain},
    {"F12", 0x7B, kPlain},
    // The editing block.
    {"Delete", 0x2E, kExtended},
    {"Insert", 0x2D, kExtended},
    {"Home", 0x24, kExtended},
    {"End", 0x23, kExtended},
    {"PageUp", 0x21, kExtended},
    {"PageDown", 0x22, kExtended},
    // Locks and system keys.
    {"CapsLock", 0x14, kPlain},
    {"NumLock", 0x90, kExtended},
    {"ScrollLock", 0x91, kPlain},
    {"PrintScreen", 0x2C, kExtended},
    {"Pause", 0x13, kPlain},
    {"ContextMenu", 0x5D, kExtended},
    // Modifiers by side: the right-hand Control and Alt and both Windows keys are extended.
    {"ShiftLeft", 0xA0, kPlain},
    {"ShiftRight", 0xA1, kPlain},
    {"ControlLeft", 0xA2, kPlain},
    {"ControlRight", 0xA3, kExtended},
    {"AltLeft", 0xA4, kPlain},
    {"AltRight", 0xA5, kExtended},
    {"MetaLeft", 0x5B, kExtended},
    {"MetaRight", 0x5C, kExtended},
    // The numeric keypad. Its Enter shares the main Enter's virtual key; only the flag differs.
    {"Numpad0", 0x60, kPlain},
    {"Numpad1", 0x61, kPlain},
    {"Numpad2", 0x62, kPlain},
    {"Numpad3", 0x63, kPlain},
    {"Numpad4", 0x64, kPlain},
    {"Numpad5", 0x65, kPlain},
    {"Numpad6", 0x66, kPlain},
    {"Numpad7", 0x67, kPlain},
    {"Numpad8", 0x68, kPlain},
    {"Numpad9", 0x69, kPlain},
    {"NumpadAdd", 0x6B, kPlain},
    {"NumpadSubtract", 0x6D, kPlain},
    {"NumpadMultiply", 0x6A, kPlain},
    {"NumpadDivide", 0x6F, kExtended},
    {"NumpadDecimal", 0x6E, kPlain},
    {"NumpadEnter", 0x0D, kExtended},
    // Punctuation, by its place on a US keyboard; the layout decides the character.
    {"Minus", 0xBD, kPlain},
    {"Equal", 0xBB, kPlain},
    {"BracketLeft", 0xDB, kPlain},
    {"BracketRight", 0xDD, kPlain},
    {"Backslash", 0xDC, kPlain},
    {"Semicolon", 0xBA, kPlain},
    {"Quote", 0xDE, kPlain},
    {"Backquote", 0xC0, kPlain},
    {"Comma", 0xBC, kPlain},
    {"Period", 0xBE, kPlain},
    {"Slash", 0xBF, kPlain},
};

double Clamp(double value, double limit) {
    if (value < -limit) return -limit;
    if (value > limit) return limit;
    return value;
}

// Clamped first, so the conversion (truncation toward zero) is always in range.
void Move(SystemControl& control, const char* line) {
    const double x = Clamp(ReadNumber(line, "x", 0.0), kMoveLimit);
    const double y = Clamp(ReadNumber(line, "y", 0.0), kMoveLimit);
    NoteSent(control,
             SendMouseEvent(static_cast<int32_t>(x), static_cast<int32_t>(y), 0, kMouseEventMove));
}

// Notches times 120, clamped to ten notches, truncated toward zero. The signed amount travels in
// the unsigned mouseData member.
int32_t WheelAmount(double notches) {
    return static_cast<int32_t>(Clamp(notches * kWheelStep, kWheelLimit));
}

// The vertical wheel always turns, positive away from the user, even by 0. The horizontal one,
// positive to the right, follows only when `x` asks for a turn that survives the truncation: a
// line without `x` sends the vertical event alone.
void Scroll(SystemControl& control, const char* line) {
    const int32_t vertical = WheelAmount(ReadNumber(line, "y", 0.0));
    NoteSent(control, SendMouseEvent(0, 0, static_cast<uint32_t>(vertical), kMouseEventWheel));
    const int32_t horizontal = WheelAmount(ReadNumber(line, "x", 0.0));
    if (horizontal == 0) return;
    NoteSent(control, SendMouseEvent(0, 0, static_cast<uint32_t>(horizontal), kMouseEventHWheel));
}

void PressOrRelease(SystemControl& control, MouseButton button, bool down) {
    NoteButtonEvent(control, button, down, SendMouseButton(button, down));
}

// Only a `button` of exactly 1 is the right button; every other value is the left.
void Click(SystemControl& control, const char* line) {
    const bool right = ReadNumber(line, "button", 0.0) == 1.0;
    PressOrRelease(control, right ? kButtonRight : kButtonLeft, ReadBool(line, "down"));
}

// A button by name. An unreadable or unknown name sends nothing, and `down` is not read.
void Button(SystemControl& control, const char* line) {
    char name[kButtonNameCapacity];
    if (!ReadString(line, "button", name, sizeof name)) return;
    for (const NamedButton& named : kNamedButtons) {
        if (std::strcmp(named.name, name) == 0) {
            PressOrRelease(control, named.button, ReadBool(line, "down"));
            return;
        }
    }
}

// 0..1 of the whole virtual desktop, clamped, to 0..65535, rounded to the nearest step (halves
// up): 0 is the first pixel and 1 the last on each axis, and the centre of any pixel lands on
// that pixel.
int32_t AbsoluteCoordinate(double fraction) {
    if (!(fraction > 0.0)) return 0;
    if (fraction > 1.0) fraction = 1.0;
    return static_cast<int32_t>(fraction * kAbsoluteSpan + 0.5);
}

void Point(SystemControl& control, const char* line) {
    const int32_t x = AbsoluteCoordinate(ReadNumber(line, "x", 0.0));
    const int32_t y = AbsoluteCoordinate(ReadNumber(line, "y", 0.0));
    NoteSent(control, SendMouseEvent(
                          x, y, 0, kMouseEventMove | kMouseEventAbsolute | kMouseEventVirtualDesk));
}

void Key(SystemControl& control, const char* line) {
    char name[kKeyCapacity];
    if (!ReadString(line, "key", name, sizeof name)) return;
    const KeyCode key = LookupKey(name);
    if (key.virtualKey == 0) return;
    KeyEvent(control, key, ReadBool(line, "down"));
}

// Typed as Unicode units, each pressed and released, so no key stays held and the pressed table
// is not involved. A character outside the BMP goes as its two surrogates in order. A refused unit
// is not sent again; the rest of the text still goes, as the system may take input again.
void Text(SystemControl& control, const char* line) {
    char text[kTextCapacity];
    if (!ReadString(line, "text", text, sizeof text)) return;
    os::WideChar units[kWideTextCapacity];
    const int count = os::MultiByteToWideChar(os::kCodePageUtf8, os::kErrInvalidChars, text, -1,
                                              units, kWideTextCapacity);
    // 0 is invalid UTF-8; 1 is the terminator alone.
    for (int i = 0; i + 1 < count; ++i) {
        const auto unit = static_cast<uint16_t>(units[i]);
        NoteSent(control, SendKeyboardEvent(0, unit, kKeyEventUnicode));
        NoteSent(control, SendKeyboardEvent(0, unit, kKeyEventUnicode | kKeyEventKeyUp));
    }
}

}  // namespace

KeyCode LookupKey(const char* name) {
    if (std::strncmp(name, "Key", 3) == 0 && name[3] >= 'A' && name[3] <= 'Z' && name[4] == '\0') {
        // The letter keys' codes are their ASCII capitals.
        return {static_cast<uint16_t>(name[3]), kPlain};
    }
    for (const NamedKey& key : kNamedKeys) {
        if (key.name[0] == name[0] && std::strcmp(key.name, name) == 0) {
            return {key.virtualKey, key.extended};
        }
    }
    return {0, kPlain};
}

// The down takes its scan code from the current layout. The up of a held key repeats what its
// down carried, so a NumpadEnter held and let go as Enter still goes up as the key that went down.
void KeyEvent(SystemControl& control, KeyCode key, bool down) {
    const uint16_t code = key.virtualKey;
    if (code >= kVirtualKeyCount) return;
    uint16_t scanCode = 0;
    bool extended = key.extended;
    if (!down && control.pressedKeys[code]) {
        scanCode = control.pressedScanCodes[code];
        extended = control.pressedExtended[code];
    } else {
        scanCode = static_cast<uint16_t>(os::MapVirtualKeyW(code, os::kMapVkToVsc));
    }
    const Sent sent = SendKeyboardEvent(
        code, scanCode, (extended ? kKeyEventExtendedKey : 0) | (down ? 0 : kKeyEventKeyUp));
    NoteKeyEvent(control, code, scanCode, extended, down, sent);
}

void HandleSystem(SystemControl& control, const char* line, uint64_t stamp) {
    char action[kActionCapacity];
    if (!ReadString(line, "action", action, sizeof action)) return;
    RefreshHeartbeat(control, stamp);
    // A press whose line is older than the watchdog's second when its turn comes is not carried
    // out: the watchdog would lift it at once, and the host's word for it has lapsed.
    const bool lapsed = LimitPassed(stamp, os::GetTickCount64(), kHeartbeatLapseMs);
    const bool lapsedPress = lapsed && ReadBool(line, "down");

    if (std::strcmp(action, "move") == 0) {
        Move(control, line);
    } else if (std::strcmp(action, "scroll") == 0) {
        Scroll(control, line);
    } else if (std::strcmp(action, "click") == 0) {
        if (!lapsedPress) Click(control, line);
    } else if (std::strcmp(action, "key") == 0) {
        if (!lapsedPress) Key(control, line);
    } else if (std::strcmp(action, "text") == 0) {
        Text(control, line);
    } else if (std::strcmp(action, "release") == 0) {
        ReleaseAll(control);
    } else if (std::strcmp(action, "button") == 0) {
        if (!lapsedPress) Button(control, line);
    } else if (std::strcmp(action, "point") == 0) {
        Point(control, line);
    }
}

}  // namespace padbridge
