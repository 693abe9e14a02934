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

constexpr uint64_t kHeartbeatLapseMs = 1000;  // fires on a difference of 1001 or more

uint64_t RunWatchdogHook(void* context, uint64_t now) {
    SystemControl& control = *static_cast<SystemControl*>(context);
    RunHeartbeatWatchdog(control, now);
    return NextHeartbeatDeadline(control);
}

}  // namespace

// Only a value that starts with the four bytes `true` grants; everything else (absent, false,
// "true" in quotes, 1, TRUE) refuses and lets go of everything first. Without the writer thread
// even `true` is refused: a host that stops reading would then block the loop in a write, and a
// key held meanwhile would stay down for as long as the host stays frozen, whatever the watchdog.
void HandleSystemPermission(SystemControl& control, OutputQueue& out, const char* line) {
    if (ReadBool(line, "enabled") && !OutputMayBlock(out)) {
        control.enabled = true;
        control.heartbeatTick = os::GetTickCount64();
        WriteSystemPermission(out, true);
        return;
    }
    control.enabled = false;
    control.heartbeatTick = 0;
    ReleaseAll(control);
    WriteSystemPermission(out, false);
}

void HandleSystemHeartbeat(SystemControl& control) {
    RefreshHeartbeat(control);
}

void RefreshHeartbeat(SystemControl& control) {
    control.heartbeatTick = os::GetTickCount64();
}

// `now` is the loop's one sample, taken before the lines of this pass were handled: every line
// that had arrived by then has been handled, and a heartbeat stamped later has not lapsed.
// Disarms itself: one release per lapse.
void RunHeartbeatWatchdog(SystemControl& control, uint64_t now) {
    if (control.heartbeatTick == 0 || !LimitPassed(control.heartbeatTick, now, kHeartbeatLapseMs))
        return;
    ReleaseAll(control);
    control.heartbeatTick = 0;
}

uint64_t NextHeartbeatDeadline(const SystemControl& control) {
    if (control.heartbeatTick == 0) return kNoDeadline;
    return AfterLimit(control.heartbeatTick, kHeartbeatLapseMs);
}

DeadlineHook WatchdogHook(SystemControl& control) {
    return {NextHeartbeatDeadline(control), RunWatchdogHook, &control};
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
