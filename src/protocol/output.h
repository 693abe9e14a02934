// Every line the bridge writes to the host, each with its one exact text. Each line reaches the
// system in a single write and ends in CR LF on the wire.
#pragma once

#include <cstdint>

namespace padbridge {

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
