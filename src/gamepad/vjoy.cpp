#include "gamepad/vjoy.h"

#include <cmath>

#include "protocol/output.h"
#include "trace/trace.h"

namespace padbridge {
namespace {

// HID Generic Desktop usages of the six axes, in the order they are checked and written: the
// four stick axes from GamepadFrame axes 0..3, then Z and Rz from the two trigger buttons.
constexpr uint32_t kAxisUsages[kVjoyAxisCount] = {0x30, 0x31, 0x33, 0x34, 0x32, 0x35};

// GamepadFrame button behind vJoy buttons 1..10; the triggers and the d-pad go elsewhere.
constexpr int kButtonSources[kVjoyButtonCount] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11};

constexpr int kDpadUp = 12;
constexpr int kDpadDown = 13;
constexpr int kDpadLeft = 14;
constexpr int kDpadRight = 15;
constexpr uint8_t kHatPov = 1;

constexpr int32_t kHatCentred = -1;  // reaches SetContPov as 0xFFFFFFFF
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

// Cache values no update computes, so the first update after acquisition writes everything.
constexpr int32_t kUnknownAxisOrButton = -1;
constexpr int32_t kUnknownHat = -2;

int Pressed(double value) {
    return value > 0.5 ? 1 : 0;
}

// min + trunc((max - min) * f) in 32-bit arithmetic. The range comes from the driver, so the
// difference and the sum wrap as 32-bit values instead of overflowing.
int32_t AxisValue(int32_t min, int32_t max, double fraction) {
    const int32_t range =
        static_cast<int32_t>(static_cast<uint32_t>(max) - static_cast<uint32_t>(min));
    const int32_t offset = static_cast<int32_t>(std::trunc(static_cast<double>(range) * fraction));
    return static_cast<int32_t>(static_cast<uint32_t>(min) + static_cast<uint32_t>(offset));
}

// Hundredths of a degree clockwise from up, or centred when the d-pad nets to nothing.
int32_t HatValue(const GamepadFrame& frame) {
    const int x = Pressed(frame.buttons[kDpadRight]) - Pressed(frame.buttons[kDpadLeft]);
    const int y = Pressed(frame.buttons[kDpadUp]) - Pressed(frame.buttons[kDpadDown]);
    if (x == 0 && y == 0) return kHatCentred;
    double angle = std::atan2(static_cast<double>(x), static_cast<double>(y));
    if (angle < 0) angle += kTwoPi;
    return static_cast<int32_t>(std::trunc(angle * 18000.0 / kPi));
}

// The device as the game now sees it, from the values last written and each axis's range.
TracedPad VjoyPad(const VjoyBackend& vjoy, int player, const int32_t (&min)[kVjoyAxisCount],
                  const int32_t (&max)[kVjoyAxisCount]) {
    TracedPad pad{"vjoy", 0, {}, {}};
    for (int row = 0; row < kVjoyAxisCount; ++row) {
        const double range = static_cast<double>(max[row]) - static_cast<double>(min[row]);
        const double fraction =
            range != 0 ? (vjoy.axisCache[player][row] - static_cast<double>(min[row])) / range : 0;
        if (row < 4) {
            pad.axes[row] = fraction * 2 - 1;
        } else {
            pad.triggers[row - 4] = fraction;
        }
    }
    for (int n = 0; n < kVjoyButtonCount; ++n) {
        if (vjoy.buttonCache[player][n] == 1) pad.buttons |= 1U << kButtonSources[n];
    }
    const int32_t hat = vjoy.hatCache[player];
    if (hat >= 0) {  // hundredths of a degree clockwise from up
        if (hat < 9000 || hat > 27000) pad.buttons |= 1U << kDpadUp;
        if (hat > 0 && hat < 18000) pad.buttons |= 1U << kDpadRight;
        if (hat > 9000 && hat < 27000) pad.buttons |= 1U << kDpadDown;
        if (hat > 18000) pad.buttons |= 1U << kDpadLeft;
    }
    return pad;
}

// The configuration checks, then AcquireVJD. Prints the one line that ends a failed attempt.
bool AcquireDevice(VjoyBackend& vjoy, OutputQueue& out, int player) {
    const VjoyExports& calls = vjoy.exports;
    const uint32_t device = static_cast<uint32_t>(player + 1);
    if (calls.GetVJDButtonNumber(device) < kVjoyButtonCount ||
        calls.GetVJDContPovNumber(device) < 1) {
        WriteVjoyConfigurationRequired(out);
        return false;
    }
    for (const uint32_t usage : kAxisUsages) {
        if (calls.GetVJDAxisExist(device, usage) == 0) {
            WriteVjoyConfigurationRequiredShort(out);
            return false;
        }
    }
    if (calls.AcquireVJD(device) == 0) {
        WriteVjoyBusy(out);
        return false;
    }
    vjoy.acquired[player] = true;
    for (int32_t& value : vjoy.axisCache[player]) value = kUnknownAxisOrButton;
    for (int32_t& value : vjoy.buttonCache[player]) value = kUnknownAxisOrButton;
    vjoy.hatCache[player] = kUnknownHat;
    WriteDeviceCreated(out, player, kBackendVjoy);
    return true;
}

}  // namespace

void UpdateVjoyPad(VjoyBackend& vjoy, OutputQueue& out, int player, const GamepadFrame& frame) {
    if (!vjoy.acquired[player] && !AcquireDevice(vjoy, out, player)) return;
    const VjoyExports& calls = vjoy.exports;
    const uint32_t device = static_cast<uint32_t>(player + 1);

    const double fractions[kVjoyAxisCount] = {
        (frame.axes[0] + 1) * 0.5, (frame.axes[1] + 1) * 0.5, (frame.axes[2] + 1) * 0.5,
        (frame.axes[3] + 1) * 0.5, frame.buttons[6],          frame.buttons[7],
    };
    int32_t min[kVjoyAxisCount];
    int32_t max[kVjoyAxisCount];
    for (int row = 0; row < kVjoyAxisCount; ++row) {
        // The range is asked every time; a query that writes nothing leaves 0..32768.
        min[row] = 0;
        max[row] = 0x8000;
        calls.GetVJDAxisMin(device, kAxisUsages[row], &min[row]);
        calls.GetVJDAxisMax(device, kAxisUsages[row], &max[row]);
        const int32_t value = AxisValue(min[row], max[row], fractions[row]);
        if (value == vjoy.axisCache[player][row]) continue;
        calls.SetAxis(value, device, kAxisUsages[row]);
        vjoy.axisCache[player][row] = value;  // a refused write waits for the next change
    }

    for (int n = 0; n < kVjoyButtonCount; ++n) {
        const int32_t pressed = Pressed(frame.buttons[kButtonSources[n]]);
        if (pressed == vjoy.buttonCache[player][n]) continue;
        calls.SetBtn(pressed, device, static_cast<uint8_t>(n + 1));
        vjoy.buttonCache[player][n] = pressed;
    }

    const int32_t hat = HatValue(frame);
    if (hat != vjoy.hatCache[player]) {
        calls.SetContPov(static_cast<uint32_t>(hat), device, kHatPov);
        vjoy.hatCache[player] = hat;
    }
    if (Tracing()) WritePadRecord(player, VjoyPad(vjoy, player, min, max));
}

void ReleaseVjoyPad(VjoyBackend& vjoy, OutputQueue& out, int player) {
    if (!vjoy.acquired[player]) return;
    const GamepadFrame neutral{};
    UpdateVjoyPad(vjoy, out, player, neutral);
    vjoy.exports.RelinquishVJD(static_cast<uint32_t>(player + 1));
    vjoy.acquired[player] = false;  // the caches stay; the next acquisition resets them
    WriteDeviceRemoved(out, player);
}

}  // namespace padbridge
