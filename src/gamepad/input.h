// Pad input: the `input` line parsed into a GamepadFrame, the Xbox 360 PadReport built from it,
// the per-player last-input ticks, the idle-player check and player teardown.
#pragma once

#include <cstdint>

namespace padbridge {

struct Bridge;

constexpr int kPlayerCount = 8;
constexpr int kAxisCount = 4;
constexpr int kButtonCount = 16;
constexpr uint64_t kIdleTimeoutMs = 1000;  // a gap of more than this tears the player down

// Standard-gamepad layout: axes 0..3 (left X, left Y, right X, right Y; positive right and down)
// in [-1, 1], buttons 0..15 in [0, 1].
struct GamepadFrame {
    double axes[kAxisCount];
    double buttons[kButtonCount];
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

// Parses `axes` (exactly 4 numbers) and `buttons` (exactly 16) and clamps them. False drops the
// line.
bool ParseGamepadFrame(const char* line, GamepadFrame* frame);

// Maps any frame to a valid report: non-finite values give 0, everything is clamped.
PadReport BuildPadReport(const GamepadFrame& frame);

// The `input` handler: hands the frame to the open backend and stamps the player's last-input
// tick, or answers `driver_required` when no backend is available.
void HandleInput(Bridge& bridge, const char* line, int player);

// Releases the player's vJoy device, tears its ViGEmBus pad down and clears its last-input tick.
void TeardownPlayer(Bridge& bridge, int player);

// Tears the player down when its last input is more than kIdleTimeoutMs older than `now`.
bool CheckIdlePlayer(Bridge& bridge, int player, uint64_t now);
// The tick at which the player's idle check fires; kNoDeadline while it has no input.
uint64_t NextIdleDeadline(const Bridge& bridge, int player);

// The built-in check of BuildPadReport run by --self-test.
struct SelfTestVector {
    GamepadFrame frame;
    uint16_t buttons;
    int16_t leftX;
    int16_t rightX;
    int16_t rightY;
};
extern const SelfTestVector kSelfTestVector;

// Prints the self-test line and returns 0 when the vector passes; returns 1 silently otherwise.
int RunSelfTest(const SelfTestVector& vector);

}  // namespace padbridge
