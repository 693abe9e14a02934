// Carries out `system` lines as synthetic input. Each action is bounded: a move of at most 200
// on each axis, at most ten wheel steps, at most 1024 UTF-16 units of text.
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
constexpr int kLeftButton = 0;
constexpr int kRightButton = 1;

struct NamedKey {
    const char* name;
    uint16_t code;
};

// Searched in this order; every code is below 256, so it indexes the pressed-key table.
constexpr NamedKey kNamedKeys[] = {
    {"Space", 0x20},     {"Enter", 0x0D},          {"Escape", 0x1B},     {"Tab", 0x09},
    {"Backspace", 0x08}, {"ArrowLeft", 0x25},      {"ArrowRight", 0x27}, {"ArrowUp", 0x26},
    {"ArrowDown", 0x28}, {"Shift", 0x10},          {"Control", 0x11},    {"Alt", 0x12},
    {"Meta", 0x5B},      {"MediaPlayPause", 0xB3}, {"MediaNext", 0xB0},  {"MediaPrevious", 0xB1},
    {"VolumeUp", 0xAF},  {"VolumeDown", 0xAE},     {"VolumeMute", 0xAD},
};

double Clamp(double value, double limit) {
    if (value < -limit) return -limit;
    if (value > limit) return limit;
    return value;
}

// Clamped first, so the conversion (truncation toward zero) is always in range.
void Move(const char* line) {
    const double x = Clamp(ReadNumber(line, "x", 0.0), kMoveLimit);
    const double y = Clamp(ReadNumber(line, "y", 0.0), kMoveLimit);
    SendMouseEvent(static_cast<int32_t>(x), static_cast<int32_t>(y), 0, kMouseEventMove);
}

// Vertical only; positive turns the wheel away from the user. The signed amount travels in the
// unsigned mouseData member.
void Scroll(const char* line) {
    const double amount = Clamp(ReadNumber(line, "y", 0.0) * kWheelStep, kWheelLimit);
    SendMouseEvent(0, 0, static_cast<uint32_t>(static_cast<int32_t>(amount)), kMouseEventWheel);
}

// Only a `button` of exactly 1 is the right button. The flag follows what we send, even if the
// system turns the event down.
void Click(SystemControl& control, const char* line) {
    const bool right = ReadNumber(line, "button", 0.0) == 1.0;
    const bool down = ReadBool(line, "down");
    control.pressedButtons[right ? kRightButton : kLeftButton] = down ? 1 : 0;
    uint32_t flags = 0;
    if (right) {
        flags = down ? kMouseEventRightDown : kMouseEventRightUp;
    } else {
        flags = down ? kMouseEventLeftDown : kMouseEventLeftUp;
    }
    SendMouseEvent(0, 0, 0, flags);
}

void Key(SystemControl& control, const char* line) {
    char name[kKeyCapacity];
    if (!ReadString(line, "key", name, sizeof name)) return;
    const uint16_t code = LookupKey(name);
    if (code == 0) return;
    KeyEvent(control, code, ReadBool(line, "down"));
}

// Typed as Unicode units, each pressed and released, so no key stays held and the pressed table
// is not involved. A character outside the BMP goes as its two surrogates in order.
void Text(const char* line) {
    char text[kTextCapacity];
    if (!ReadString(line, "text", text, sizeof text)) return;
    os::WideChar units[kWideTextCapacity];
    const int count = os::MultiByteToWideChar(os::kCodePageUtf8, os::kErrInvalidChars, text, -1,
                                              units, kWideTextCapacity);
    // 0 is invalid UTF-8; 1 is the terminator alone.
    for (int i = 0; i + 1 < count; ++i) {
        const auto unit = static_cast<uint16_t>(units[i]);
        SendKeyboardEvent(0, unit, kKeyEventUnicode);
        SendKeyboardEvent(0, unit, kKeyEventUnicode | kKeyEventKeyUp);
    }
}

}  // namespace

uint16_t LookupKey(const char* name) {
    if (std::strncmp(name, "Key", 3) == 0 && name[3] >= 'A' && name[3] <= 'Z' && name[4] == '\0') {
        return static_cast<uint16_t>(name[3]);  // the letter keys' codes are their ASCII capitals
    }
    for (const NamedKey& key : kNamedKeys) {
        if (std::strcmp(name, key.name) == 0) return key.code;
    }
    return 0;
}

void KeyEvent(SystemControl& control, uint16_t code, bool down) {
    SendKeyboardEvent(code, 0, down ? 0 : kKeyEventKeyUp);
    if (code < sizeof control.pressedKeys) control.pressedKeys[code] = down ? 1 : 0;
}

void HandleSystem(SystemControl& control, const char* line) {
    char action[kActionCapacity];
    if (!ReadString(line, "action", action, sizeof action)) return;
    RefreshHeartbeat(control);

    if (std::strcmp(action, "move") == 0) {
        Move(line);
    } else if (std::strcmp(action, "scroll") == 0) {
        Scroll(line);
    } else if (std::strcmp(action, "click") == 0) {
        Click(control, line);
    } else if (std::strcmp(action, "key") == 0) {
        Key(control, line);
    } else if (std::strcmp(action, "text") == 0) {
        Text(line);
    } else if (std::strcmp(action, "release") == 0) {
        ReleaseAll(control);
    }
}

}  // namespace padbridge
