// Every line the bridge writes to the host, each with its one exact text. Each line is handed to
// the writer in one piece and ends in CR LF on the wire. Nothing here blocks: while the host does
// not read, lines wait in a bounded queue (protocol/output_queue.h says what it drops).
#pragma once

#include <cstdint>

#include "os/os.h"

namespace padbridge {

struct OutputQueue;

// The output's part in a run. StartOutput starts the writer and binds the run's queue before the
// first line; while OutputRoomEvent is not kNullHandle lines wait for room, and the loop waits on
// it too and calls PumpOutput when it wakes; FinishOutput hands over what is left, waits at most
// `milliseconds` for the writer to pass it on, and lets the queue go. True when all went out.
void StartOutput(OutputQueue& queue);
os::Handle OutputRoomEvent();
void PumpOutput();
bool FinishOutput(uint32_t milliseconds);

// How long the end of a run waits for a host that does not read before the process ends anyway.
inline constexpr uint32_t kShutdownFlushMs = 500;

// gamepadBackend words of the capabilities line.
inline constexpr const char* kBackendVigem = "Xbox 360 (ViGEmBus)";
inline constexpr const char* kBackendDualShock4 = "DualShock 4 (ViGEmBus)";  // device lines only
inline constexpr const char* kBackendVjoy = "vJoy DirectInput";
inline constexpr const char* kBackendNone = "No gamepad driver installed";

// vigemBus status words.
inline constexpr const char* kBusMissing = "missing";
inline constexpr const char* kBusUnavailable = "unavailable";
inline constexpr const char* kBusIncompatible = "incompatible";
inline constexpr const char* kBusReady = "ready";

// Player error codes.
inline constexpr const char* kGamepadCreateFailed = "gamepad_create_failed";
inline constexpr const char* kGamepadUpdateFailed = "gamepad_update_failed";
inline constexpr const char* kGamepadRemoveFailed = "gamepad_remove_failed";
inline constexpr const char* kGamepadRumbleUnavailable = "gamepad_rumble_unavailable";
inline constexpr const char* kGamepadMotionUnavailable = "gamepad_motion_unavailable";

void WriteCapabilities(const char* gamepadBackend, const char* vigemBus, bool gamepadAvailable,
                       bool systemEnabled);
// kBackendVigem, kBackendDualShock4 or kBackendVjoy
void WriteDeviceCreated(int player, const char* backend);
void WriteDeviceRemoved(int player);
// Motor strengths as bytes; printed as fractions of 255 with six decimals.
void WriteRumble(int player, uint8_t low, uint8_t high);
// The lightbar colour a game set on a DualShock 4, 0..255 each.
void WriteLightbar(int player, uint8_t red, uint8_t green, uint8_t blue);
void WritePlayerError(int player, const char* code, uint32_t win32Error);
void WriteDriverRequired();
void WriteVjoyConfigurationRequired();
void WriteVjoyConfigurationRequiredShort();
void WriteVjoyBusy();
void WriteSystemPermission(bool enabled);
void WriteSelfTestPassed();
void WriteVersion();  // the version from CMakeLists.txt's project(VERSION)

}  // namespace padbridge
