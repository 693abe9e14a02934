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

// `system-permission`: grants desktop control and arms the watchdog, or refuses it and lets go of
// everything held; answers on `out` either way. A grant is refused while `out` may block.
void HandleSystemPermission(SystemControl& control, OutputQueue& out, const char* line);
// `system-heartbeat`, while control is granted: the watchdog's second starts again.
void HandleSystemHeartbeat(SystemControl& control);
void RefreshHeartbeat(SystemControl& control);
// Lets go of everything held once more than a second has passed since the last heartbeat, judged
// with `now`, the loop's tick from before the pass's lines; then disarms until the next heartbeat.
void RunHeartbeatWatchdog(SystemControl& control, uint64_t now);
// The tick at which the armed watchdog fires; kNoDeadline while it is disarmed.
uint64_t NextHeartbeatDeadline(const SystemControl& control);
// The watchdog as a hook, for a wait that holds the loop's thread: a key goes up on time even then.
DeadlineHook WatchdogHook(SystemControl& control);
// Every held key goes up, then every held mouse button.
void ReleaseAll(SystemControl& control);

}  // namespace padbridge
