// Desktop control's guard: the host's permission, the heartbeat watchdog and release-all.
#pragma once

#include <cstdint>

#include "deadline.h"
#include "desktop/events.h"

namespace padbridge {

inline constexpr int kVirtualKeyCount = 256;  // every virtual key is below this
// The watchdog fires on a gap of 1001 ms or more since the last line that armed it; a press whose
// line is that old when handled is not carried out.
inline constexpr uint64_t kHeartbeatLapseMs = 1000;

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

// Each handler stamps the watchdog with `stamp`, the tick at which its line arrived.
// `system-permission`: grants desktop control and arms the watchdog, or refuses it and lets go of
// everything held; answers on `out` either way.
void HandleSystemPermission(SystemControl& control, OutputQueue& out, const char* line,
                            uint64_t stamp);
// `system-heartbeat`, while control is granted: the watchdog's second starts again.
void HandleSystemHeartbeat(SystemControl& control, uint64_t stamp);
void RefreshHeartbeat(SystemControl& control, uint64_t stamp);
// Lets go of everything held once more than a second has passed, by `now`, since the last
// heartbeat, or since `waiting` (0: none), the stamp of a line not yet handled that would arm
// the watchdog; then disarms until the next heartbeat.
void RunHeartbeatWatchdog(SystemControl& control, uint64_t now, uint64_t waiting = 0);
// The tick at which the armed watchdog fires; kNoDeadline while it is disarmed.
uint64_t NextHeartbeatDeadline(const SystemControl& control, uint64_t waiting = 0);
// Every held key goes up, then every held mouse button.
void ReleaseAll(SystemControl& control);

}  // namespace padbridge
