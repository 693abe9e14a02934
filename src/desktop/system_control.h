// Desktop control's guard: the host's permission, the heartbeat watchdog and release-all.
#pragma once

#include <cstdint>

#include "desktop/events.h"

namespace padbridge {

struct SystemControl {
    int32_t enabled;         // the host granted desktop control
    uint64_t heartbeatTick;  // 0: watchdog disarmed
    uint8_t pressedKeys[256];
    uint8_t pressedButtons[kMouseButtonCount];  // indexed by MouseButton
    // What the down of each held key carried, so that its up carries the same: the layout may
    // change while the key is held, and Enter and NumpadEnter share one virtual key.
    uint16_t pressedScanCodes[256];
    uint8_t pressedExtended[256];
};

void HandleSystemPermission(SystemControl& control, const char* line);
void HandleSystemHeartbeat(SystemControl& control);
void RefreshHeartbeat(SystemControl& control);
void RunHeartbeatWatchdog(SystemControl& control, uint64_t now);
// The tick at which the armed watchdog fires; kNoDeadline while it is disarmed.
uint64_t NextHeartbeatDeadline(const SystemControl& control);
void ReleaseAll(SystemControl& control);

}  // namespace padbridge
