// Desktop control's guard: the host's permission, the heartbeat watchdog and release-all.
#pragma once

#include <cstdint>

#include "deadline.h"
#include "desktop/events.h"

namespace padbridge {

inline constexpr int kVirtualKeyCount = 256;  // every virtual key is below this

struct SystemControl {
    bool enabled;            // the host granted desktop control
    uint64_t heartbeatTick;  // 0: watchdog disarmed
    bool pressedKeys[kVirtualKeyCount];
    bool pressedButtons[kMouseButtonCount];  // indexed by MouseButton
    // What the down of each held key carried, so that its up carries the same: the layout may
    // change while the key is held, and Enter and NumpadEnter share one virtual key.
    uint16_t pressedScanCodes[kVirtualKeyCount];
    bool pressedExtended[kVirtualKeyCount];
};

struct OutputQueue;

// `system-permission`: grants or refuses desktop control, and answers on `out`.
void HandleSystemPermission(SystemControl& control, OutputQueue& out, const char* line);
void HandleSystemHeartbeat(SystemControl& control);
void RefreshHeartbeat(SystemControl& control);
void RunHeartbeatWatchdog(SystemControl& control, uint64_t now);
// The tick at which the armed watchdog fires; kNoDeadline while it is disarmed.
uint64_t NextHeartbeatDeadline(const SystemControl& control);
// The watchdog as a hook, for a wait that holds the loop's thread: a key goes up on time even then.
DeadlineHook WatchdogHook(SystemControl& control);
void ReleaseAll(SystemControl& control);

}  // namespace padbridge
