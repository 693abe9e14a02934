// Every line the bridge writes to the host, each with its one exact text. Each line is handed to
// the writer in one piece and ends in CR LF on the wire. Nothing here blocks: while the host does
// not read, lines wait in a bounded queue (protocol/output_queue.h says what it drops).
#pragma once

#include <cstdint>

#include "os/os.h"

namespace padbridge {

struct OutputQueue;

// A run of the output. StartOutput starts the writer before the first line of the run; while
// OutputRoomEvent is not kNullHandle lines wait in `out` for room, and the loop waits on the event
// too and calls PumpOutput when it wakes; FinishOutput hands over what is left, waits at most
// `milliseconds` for the writer to pass it on, and ends the run. True when all went out. Outside a
// run every line is handed straight to the system.
void StartOutput(OutputQueue& out);
os::Handle OutputRoomEvent(const OutputQueue& out);
void PumpOutput(OutputQueue& out);
bool FinishOutput(OutputQueue& out, uint32_t milliseconds);
// Whether a line written now may block the loop's thread until the host reads: outside a run, and
// in a run whose writer thread could not start, each line is written in place.
bool OutputMayBlock(const OutputQueue& out);

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

// Each writes its line to `out`.
void WriteCapabilities(OutputQueue& out, const char* gamepadBackend, const char* vigemBus,
                       bool gamepadAvailable, bool systemEnabled);
// kBackendVigem, kBackendDualShock4 or kBackendVjoy
void WriteDeviceCreated(OutputQueue& out, int player, const char* backend);
void WriteDeviceRemoved(OutputQueue& out, int player);
// Motor strengths as bytes; printed as fractions of 255 with six decimals.
void WriteRumble(OutputQueue& out, int player, uint8_t low, uint8_t high);
// The lightbar colour a game set on a DualShock 4, 0..255 each.
void WriteLightbar(OutputQueue& out, int player, uint8_t red, uint8_t green, uint8_t blue);
void WritePlayerError(OutputQueue& out, int player, const char* code, uint32_t win32Error);
void WriteDriverRequired(OutputQueue& out);
void WriteVjoyConfigurationRequired(OutputQueue& out);
void WriteVjoyConfigurationRequiredShort(OutputQueue& out);
void WriteVjoyBusy(OutputQueue& out);
void WriteSystemPermission(OutputQueue& out, bool enabled);
// Whether SendInput refuses desktop input now; win32Error is printed only while it does.
void WriteSystemBlocked(OutputQueue& out, bool blocked, uint32_t win32Error);
void WriteSelfTestPassed(OutputQueue& out);
void WriteVersion(OutputQueue& out);  // the version from CMakeLists.txt's project(VERSION)

}  // namespace padbridge
