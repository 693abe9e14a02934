#include "gamepad/input.h"

#include <cmath>
#include <cstring>

#include "protocol/fields.h"
#include "protocol/number.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

// Reads a JSON array of `minCount` to `maxCount` numbers at `p` and returns how many it held, or
// -1 when the value is not such an array. Each number is converted as strtod does (skipping
// leading white space of every kind) and must be finite; only spaces may follow it before the ','
// or the closing ']'. An empty array is '[' and ']' with only spaces between. Bytes after the ']'
// are not examined.
int ParseNumberList(const char* p, double* values, int minCount, int maxCount) {
    if (p == nullptr || *p != '[') return -1;
    ++p;
    if (minCount == 0) {
        const char* q = p;
        while (*q == ' ') ++q;
        if (*q == ']') return 0;
    }
    for (int k = 0; k < maxCount; ++k) {
        const char* end = nullptr;
        const double value = ConvertNumber(p, &end);
        if (end == p || !std::isfinite(value)) return -1;
        p = end;
        while (*p == ' ') ++p;
        values[k] = value;
        if (*p == ']') return k + 1 >= minCount ? k + 1 : -1;
        if (*p != ',') return -1;
        ++p;
    }
    return -1;  // more numbers than allowed
}

// Reads a JSON array of exactly `count` numbers.
bool ParseNumberArray(const char* p, double* values, int count) {
    return ParseNumberList(p, values, count, count) == count;
}

// An optional array field: absent leaves `values` as they are; present, it must hold exactly
// `count` numbers.
bool ParseOptionalArray(const char* value, double* values, int count) {
    return value == nullptr || ParseNumberArray(value, values, count);
}

// `pad`: absent or "xbox360" is the Xbox 360 pad, "dualshock4" the DualShock 4; anything else
// drops the line.
bool ParsePadKind(const char* value, PadKind* kind) {
    *kind = PadKind::kXbox360;
    if (value == nullptr) return true;
    char name[16];
    if (!ReadStringAt(value, name, sizeof name)) return false;
    if (std::strcmp(name, "xbox360") == 0) return true;
    if (std::strcmp(name, "dualshock4") != 0) return false;
    *kind = PadKind::kDualShock4;
    return true;
}

double Clamp(double value, double low, double high) {
    return value < low ? low : (value > high ? high : value);
}

uint8_t TriggerByte(double value) {
    if (!std::isfinite(value)) return 0;
    return static_cast<uint8_t>(Clamp(value, 0.0, 1.0) * 255.0);
}

int16_t StickValue(double value) {
    if (!std::isfinite(value)) return 0;
    value = Clamp(value, -1.0, 1.0);
    return static_cast<int16_t>(value < 0 ? value * 32768.0 : value * 32767.0);
}

// Report bits of the standard-gamepad buttons; 0 for the two triggers, which have bytes of their
// own, and for the touchpad click.
constexpr uint16_t kButtonBits[kMaxButtonCount] = {
    0x1000, 0x2000, 0x4000, 0x8000,  // A, B, X, Y
    0x0100, 0x0200,                  // left and right shoulder
    0,      0,                       // triggers
    0x0020, 0x0010,                  // back, start
    0x0040, 0x0080,                  // left and right thumb
    0x0001, 0x0002, 0x0004, 0x0008,  // d-pad up, down, left, right
    0x0400,                          // Guide (the centre button)
    0,                               // the touchpad click, which this pad lacks
};

}  // namespace

bool ParseGamepadFrame(const char* line, GamepadFrame* frame) {
    const char* values[kInputKeyCount];
    FindValues(line, kInputKeys, kInputKeyCount, values);
    return ParseGamepadValues(values, frame);
}

bool ParseGamepadValues(const char* const values[kInputKeyCount], GamepadFrame* frame) {
    *frame = GamepadFrame{};
    if (!ParseNumberArray(values[kKeyAxes], frame->axes, kAxisCount)) return false;
    if (ParseNumberList(values[kKeyButtons], frame->buttons, kButtonCount, kMaxButtonCount) < 0) {
        return false;
    }
    if (!ParsePadKind(values[kKeyPad], &frame->kind)) return false;
    frame->accel[1] = kStandardGravity;  // absent motion: lying still and flat
    if (!ParseOptionalArray(values[kKeyGyro], frame->gyro, kMotionAxes)) return false;
    if (!ParseOptionalArray(values[kKeyAccel], frame->accel, kMotionAxes)) return false;
    if (const char* touch = values[kKeyTouch]; touch != nullptr) {
        const int count = ParseNumberList(touch, frame->touch, 0, 2 * kMaxFingers);
        if (count < 0 || count % 2 != 0) return false;
        frame->fingerCount = count / 2;
    }
    for (double& axis : frame->axes) axis = Clamp(axis, -1.0, 1.0);
    for (double& button : frame->buttons) button = Clamp(button, 0.0, 1.0);
    for (double& coordinate : frame->touch) coordinate = Clamp(coordinate, 0.0, 1.0);
    return true;
}

PadReport BuildPadReport(const GamepadFrame& frame) {
    PadReport report{};
    for (int i = 0; i < kMaxButtonCount; ++i) {
        if (frame.buttons[i] > 0.5)
            report.buttons = static_cast<uint16_t>(report.buttons | kButtonBits[i]);
    }
    report.leftTrigger = TriggerByte(frame.buttons[6]);
    report.rightTrigger = TriggerByte(frame.buttons[7]);
    // The standard layout's vertical axes point down, the pad's point up.
    report.leftX = StickValue(frame.axes[0]);
    report.leftY = StickValue(-frame.axes[1]);
    report.rightX = StickValue(frame.axes[2]);
    report.rightY = StickValue(-frame.axes[3]);
    return report;
}

TracedPad ShownPad(const PadReport& report) {
    TracedPad pad{"xbox360", 0, {}, {}};
    for (int i = 0; i < kMaxButtonCount; ++i) {
        if (kButtonBits[i] != 0 && (report.buttons & kButtonBits[i]) != 0) pad.buttons |= 1U << i;
    }
    pad.triggers[0] = report.leftTrigger / 255.0;
    pad.triggers[1] = report.rightTrigger / 255.0;
    const int16_t sticks[kAxisCount] = {report.leftX, report.leftY, report.rightX, report.rightY};
    for (int axis = 0; axis < kAxisCount; ++axis) {
        const double value = StickFraction(sticks[axis], -32768, 32767);
        pad.axes[axis] = axis % 2 == 1 ? -value : value;  // the pad's vertical axes point up
    }
    return pad;
}

const SelfTestVector kSelfTestVector = {
    {{-1.0, 0.0, 1.0, 0.5},
     {1.0, 0, 1.0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     PadKind::kXbox360,
     {0, 0, 0},
     {0, kStandardGravity, 0},
     0,
     {0, 0, 0, 0}},
    0x5000,  // A and X
    -32768,
    32767,
    -16384,
};

int RunSelfTest(const SelfTestVector& vector, OutputQueue& out) {
    const PadReport report = BuildPadReport(vector.frame);
    if (report.buttons != vector.buttons || report.leftX != vector.leftX ||
        report.rightX != vector.rightX || report.rightY != vector.rightY) {
        return 1;
    }
    WriteSelfTestPassed(out);
    return 0;
}

}  // namespace padbridge
