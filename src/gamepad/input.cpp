#include "gamepad/input.h"

#include <cmath>

#include "bridge.h"
#include "deadline.h"
#include "os/os.h"
#include "protocol/fields.h"
#include "protocol/number.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

// Reads a JSON array of exactly `count` numbers at `p`. Each number is converted as strtod does
// (skipping leading white space of every kind) and must be finite; only spaces may follow it
// before the ',' or the closing ']'. Bytes after the ']' are not examined.
bool ParseNumberArray(const char* p, double* values, int count) {
    if (p == nullptr || *p != '[') return false;
    ++p;
    for (int k = 0; k < count; ++k) {
        const char* end = nullptr;
        const double value = ConvertNumber(p, &end);
        if (end == p || !std::isfinite(value)) return false;
        p = end;
        while (*p == ' ') ++p;
        if (*p != (k + 1 < count ? ',' : ']')) return false;
        ++p;
        values[k] = value;
    }
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
// own.
constexpr uint16_t kButtonBits[kButtonCount] = {
    0x1000, 0x2000, 0x4000, 0x8000,  // A, B, X, Y
    0x0100, 0x0200,                  // left and right shoulder
    0,      0,                       // triggers
    0x0020, 0x0010,                  // back, start
    0x0040, 0x0080,                  // left and right thumb
    0x0001, 0x0002, 0x0004, 0x0008,  // d-pad up, down, left, right
};

}  // namespace

bool ParseGamepadFrame(const char* line, GamepadFrame* frame) {
    if (!ParseNumberArray(FindValue(line, "axes"), frame->axes, kAxisCount)) return false;
    if (!ParseNumberArray(FindValue(line, "buttons"), frame->buttons, kButtonCount)) return false;
    for (double& axis : frame->axes) axis = Clamp(axis, -1.0, 1.0);
    for (double& button : frame->buttons) button = Clamp(button, 0.0, 1.0);
    return true;
}

PadReport BuildPadReport(const GamepadFrame& frame) {
    PadReport report{};
    for (int i = 0; i < kButtonCount; ++i) {
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

void HandleInput(Bridge& bridge, const char* line, int player) {
    GamepadFrame frame;
    if (!ParseGamepadFrame(line, &frame)) return;
    if (bridge.backend.busHandle != os::kInvalidHandle) {
        AcceptReport(bridge, player, frame);
    } else if (bridge.backend.vjoyAvailable) {
        UpdateVjoyPad(bridge, player, frame);
    } else {
        WriteDriverRequired();
        return;
    }
    // Stamped whatever the backend did with the frame (retry window, failed acquisition).
    bridge.lastInputTick[player] = os::GetTickCount64();
}

void TeardownPlayer(Bridge& bridge, int player) {
    if (bridge.vjoy.acquired[player]) ReleaseVjoyPad(bridge, player);
    TeardownPad(bridge, player);
    bridge.lastInputTick[player] = 0;
}

bool CheckIdlePlayer(Bridge& bridge, int player, uint64_t now) {
    const uint64_t last = bridge.lastInputTick[player];
    if (last == 0 || !LimitPassed(last, now, kIdleTimeoutMs)) return false;
    TeardownPlayer(bridge, player);
    return true;
}

uint64_t NextIdleDeadline(const Bridge& bridge, int player) {
    const uint64_t last = bridge.lastInputTick[player];
    return last == 0 ? kNoDeadline : AfterLimit(last, kIdleTimeoutMs);
}

const SelfTestVector kSelfTestVector = {
    {{-1.0, 0.0, 1.0, 0.5}, {1.0, 0, 1.0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    0x5000,  // A and X
    -32768,
    32767,
    -16384,
};

int RunSelfTest(const SelfTestVector& vector) {
    const PadReport report = BuildPadReport(vector.frame);
    if (report.buttons != vector.buttons || report.leftX != vector.leftX ||
        report.rightX != vector.rightX || report.rightY != vector.rightY) {
        return 1;
    }
    WriteSelfTestPassed();
    return 0;
}

}  // namespace padbridge
