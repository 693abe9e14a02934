// vJoy pads: player p drives vJoy device p + 1 when no ViGEmBus interface is open.
#pragma once

#include <cstdint>

#include "gamepad/input.h"

namespace padbridge {

struct Bridge;

constexpr int kVjoyAxisCount = 6;
constexpr int kVjoyButtonCount = 10;

struct VjoyPads {
    bool acquired[kPlayerCount];
    int32_t axisCache[kPlayerCount][kVjoyAxisCount];
    int32_t buttonCache[kPlayerCount][kVjoyButtonCount];
    int32_t hatCache[kPlayerCount];
};

// Acquires the player's device on first use, then writes only the values that changed.
void UpdateVjoyPad(Bridge& bridge, int player, const GamepadFrame& frame);

// Writes a neutral frame, relinquishes the device and prints `created` false.
void ReleaseVjoyPad(Bridge& bridge, int player);

}  // namespace padbridge
