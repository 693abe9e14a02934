// Pad input: the `input` line parsed into a GamepadFrame, and the Xbox 360 PadReport built from it.
#pragma once

#include <cstdint>

#include "trace/trace.h"

namespace padbridge {

struct OutputQueue;

constexpr int kPlayerCount = 8;
constexpr int kAxisCount = 4;
constexpr int kButtonCount = 16;     // the standard layout's buttons, which every pad has
constexpr int kMaxButtonCount = 18;  // 16: the centre button, 17: the touchpad click
constexpr int kCentreButton = 16;
constexpr int kTouchpadButton = 17;
constexpr int kMotionAxes = 3;  // x to the pad's right, y out of its top face, z to the player
constexpr int kMaxFingers = 2;
constexpr double kStandardGravity = 9.80665;  // m/s^2

// Which pad the bus driver presents for the player.
enum class PadKind : uint32_t { kXbox360 = 0, kDualShock4 = 1 };

// Standard-gamepad layout: axes 0..3 (left X, left Y, right X, right Y; positive right and down)
// in [-1, 1], buttons 0..17 in [0, 1] (16 and 17 are 0 when the line has 16 buttons). Motion and
// touch are used only by a DualShock 4; a zero frame has them at zero, which ParseGamepadFrame
// replaces with a pad lying still and flat and no finger.
struct GamepadFrame {
    double axes[kAxisCount];
    double buttons[kMaxButtonCount];
    PadKind kind;
    double gyro[kMotionAxes];       // degrees per second
    double accel[kMotionAxes];      // m/s^2, gravity included
    int fingerCount;                // 0, 1 or 2
    double touch[2 * kMaxFingers];  // x1, y1, x2, y2 in [0, 1]; x right, y down
};

// The Xbox 360 input report, 12 bytes little-endian on the wire.
struct PadReport {
    uint16_t buttons;
    uint8_t leftTrigger;
    uint8_t rightTrigger;
    int16_t leftX;
    int16_t leftY;  // positive up
    int16_t rightX;
    int16_t rightY;  // positive up
};
static_assert(sizeof(PadReport) == 12);

// The `input` line's own keys, in the order ParseGamepadValues takes their values.
enum InputKey { kKeyAxes, kKeyButtons, kKeyPad, kKeyGyro, kKeyAccel, kKeyTouch, kInputKeyCount };
inline constexpr const char* kInputKeys[kInputKeyCount] = {"axes", "buttons", "pad",
                                                           "gyro", "accel",   "touch"};

// Parses `axes` (exactly 4 numbers), `buttons` (16, 17 or 18) and the optional `pad`, `gyro`,
// `accel` (3 numbers each) and `touch` (0, 2 or 4 numbers), and clamps them. False drops the
// line.
bool ParseGamepadFrame(const char* line, GamepadFrame* frame);
// The same from the values FindValues found for kInputKeys.
bool ParseGamepadValues(const char* const values[kInputKeyCount], GamepadFrame* frame);

// Maps any frame to a valid report: non-finite values give 0, everything is clamped.
PadReport BuildPadReport(const GamepadFrame& frame);

// The pad as a report shows it, in the standard layout: the trace's view of what the driver took.
TracedPad ShownPad(const PadReport& report);

// A stick's integer as -1..1, each end of its range reaching its end of -1..1.
inline double StickFraction(int value, int negativeEnd, int positiveEnd) {
    return value < 0 ? static_cast<double>(value) / -negativeEnd
                     : static_cast<double>(value) / positiveEnd;
}

// The built-in check of BuildPadReport run by --self-test.
struct SelfTestVector {
    GamepadFrame frame;
    uint16_t buttons;
    int16_t leftX;
    int16_t rightX;
    int16_t rightY;
};
extern const SelfTestVector kSelfTestVector;

// Writes the self-test line to `out` and returns 0 when the vector passes; returns 1 silently
// otherwise.
int RunSelfTest(const SelfTestVector& vector, OutputQueue& out);

}  // namespace padbridge
