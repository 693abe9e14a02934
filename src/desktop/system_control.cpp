// The guard in front of desktop control. The host grants it with `system-permission` and keeps it
// alive with heartbeats; when they stop for more than a second, whatever we hold down is let go,
// so a host that dies mid-press never leaves a key stuck. The permission itself outlives a lapse.
#include "desktop/system_control.h"

#include "deadline.h"
#include "desktop/events.h"
#include "os/os.h"
#include "protocol/fields.h"
#include "protocol/output.h"

namespace padbridge {
namespace {

// The watchdog counts from the later of its last heartbeat and a waiting line's stamp.
uint64_t KeptSince(const SystemControl& control, uint64_t waiting) {
    return control.heartbeatTick > waiting ? control.heartbeatTick : waiting;
}

}  // namespace

// Only a value that starts with the four bytes `true` grants; everything else (absent, false,
// "true" in quotes, 1, TRUE) refuses and lets go of everything first.
void HandleSystemPermission(SystemControl& control, OutputQueue& out, const char* line,
                            uint64_t stamp) {
    if (ReadBool(line, "enabled")) {
        control.enabled = true;
        RefreshHeartbeat(control, stamp);
        WriteSystemPermission(out, true);
        return;
    }
    control.enabled = false;
    control.heartbeatTick = 0;
    ReleaseAll(control);
    WriteSystemPermission(out, false);
}

void HandleSystemHeartbeat(SystemControl& control, uint64_t stamp) {
    RefreshHeartbeat(control, stamp);
}

// Lines are handled in the order they arrived, but a stamp never moves back all the same.
void RefreshHeartbeat(SystemControl& control, uint64_t stamp) {
    if (stamp > control.heartbeatTick) control.heartbeatTick = stamp;
}

// Every line that had arrived by `now` has either been handled or is `waiting`'s. Disarms
// itself: one release per lapse.
void RunHeartbeatWatchdog(SystemControl& control, uint64_t now, uint64_t waiting) {
    if (control.heartbeatTick == 0 ||
        !LimitPassed(KeptSince(control, waiting), now, kHeartbeatLapseMs))
        return;
    ReleaseAll(control);
    control.heartbeatTick = 0;
}

uint64_t NextHeartbeatDeadline(const SystemControl& control, uint64_t waiting) {
    if (control.heartbeatTick == 0) return kNoDeadline;
    return AfterLimit(KeptSince(control, waiting), kHeartbeatLapseMs);
}

// Keys in ascending code order, each with the scan code and extended flag of its down, then the
// buttons: left, right, middle, back, forward. The flags record what we sent, so they are cleared
// whether or not the system took the release.
void ReleaseAll(SystemControl& control) {
    for (int code = 0; code < kVirtualKeyCount; ++code) {
        if (!control.pressedKeys[code]) continue;
        const uint32_t extended = control.pressedExtended[code] ? kKeyEventExtendedKey : 0;
        SendKeyboardEvent(static_cast<uint16_t>(code), control.pressedScanCodes[code],
                          extended | kKeyEventKeyUp);
        control.pressedKeys[code] = false;
        control.pressedScanCodes[code] = 0;
        control.pressedExtended[code] = false;
    }
    for (int button = 0; button < kMouseButtonCount; ++button) {
        if (!control.pressedButtons[button]) continue;
        SendMouseButton(static_cast<MouseButton>(button), false);
        control.pressedButtons[button] = false;
    }
}

}  // namespace padbridge
