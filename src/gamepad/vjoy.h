// The vJoy backend: player p drives vJoy device p + 1 while no ViGEmBus interface is open.
#pragma once

#include <cstdint>

#include "gamepad/input.h"
#include "os/os.h"

namespace padbridge {

struct OutputQueue;

constexpr int kVjoyAxisCount = 6;
constexpr int kVjoyButtonCount = 10;

// vJoyInterface.dll exports, looked up by name in this order.
struct VjoyExports {
    int32_t (*vJoyEnabled)();
    int32_t (*AcquireVJD)(uint32_t device);
    int32_t (*RelinquishVJD)(uint32_t device);
    int32_t (*SetAxis)(int32_t value, uint32_t device, uint32_t axis);
    int32_t (*SetBtn)(int32_t state, uint32_t device, uint8_t button);
    int32_t (*SetContPov)(uint32_t value, uint32_t device, uint8_t pov);
    int32_t (*GetVJDAxisExist)(uint32_t device, uint32_t axis);
    int32_t (*GetVJDAxisMin)(uint32_t device, uint32_t axis, int32_t* min);
    int32_t (*GetVJDAxisMax)(uint32_t device, uint32_t axis, int32_t* max);
    int32_t (*GetVJDButtonNumber)(uint32_t device);
    int32_t (*GetVJDContPovNumber)(uint32_t device);
};

struct VjoyBackend {
    const os::WideChar* libraryPath;  // --vjoy-dll, borrowed from the command line; null: default
    os::Handle library;               // kNullHandle while not loaded
    VjoyExports exports;
    bool available;  // loaded, every export found, and vJoyEnabled said yes
    bool acquired[kPlayerCount];
    // The values last written per device, so that an update writes only what changed.
    int32_t axisCache[kPlayerCount][kVjoyAxisCount];
    int32_t buttonCache[kPlayerCount][kVjoyButtonCount];
    int32_t hatCache[kPlayerCount];
};

// Loads the library from `libraryPath` (a drive-letter path) or vJoy's default place under
// ProgramFiles, unloading any loaded before, and resolves its exports. `available` says whether
// it can serve pads; a library that loaded but cannot serve stays loaded until the next load.
void LoadVjoy(VjoyBackend& vjoy);

// Shutdown's part: unloads the library.
void UnloadVjoy(VjoyBackend& vjoy);

// Acquires the player's device on first use, then writes only the values that changed. A failed
// acquisition writes its one error line to `out`.
void UpdateVjoyPad(VjoyBackend& vjoy, OutputQueue& out, int player, const GamepadFrame& frame);

// Writes a neutral frame, relinquishes the device and writes `created` false.
void ReleaseVjoyPad(VjoyBackend& vjoy, OutputQueue& out, int player);

}  // namespace padbridge
