// The guard in front of desktop control. The host grants it with `system-permission` and keeps it
// alive with heartbeats; when they stop for more than a second, whatever we hold down is let go,
// so a host that dies mid-press never leaves a key stuck. The permission itself outlives a lapse.
//
// The system may refuse input (while a secure desktop is up: a UAC prompt, the lock screen). A
// release it refuses is not forgotten: it is owed, and sent again soon after the refusal, then
// every kRetryEveryMs, and at once whenever another event is accepted, until it is accepted. A
// retry round stops at the first refusal, so a blocked desktop costs one call per round. Presses
// and every other event are never sent again: input that lands late is worse than none.
#include "desktop/system_control.h"

#include "deadline.h"
#include "desktop/events.h"
#include "os/os.h"
#include "protocol/fields.h"
#include "protocol/output.h"
#include "trace/trace.h"

namespace padbridge {
namespace {

// A secure desktop often goes as fast as it came (a prompt answered), so the first retry comes
// soon; then a steady pace that costs one refused call a tenth of a second.
constexpr uint64_t kFirstRetryMs = 10;
constexpr uint64_t kRetryEveryMs = 100;

void RecordAnswer(SystemControl& control, Sent sent) {
    control.blocked = sent.accepted == 0;
    if (control.blocked) control.blockedError = sent.win32Error;
}

// A refusal is told while the host has something to know of it (control is granted or a release
// is owed); a host told of a refusal always hears that input lands again.
bool BlockedReportDue(const SystemControl& control) {
    if (control.blocked == control.toldBlocked) return false;
    return !control.blocked || control.enabled || control.retryTick != 0;
}

void ClearKey(SystemControl& control, int code) {
    control.pressedKeys[code] = false;
    control.pressedScanCodes[code] = 0;
    control.pressedExtended[code] = false;
    control.owedKeys[code] = false;
}

// After any attempt: no retry while nothing is owed, and the first one soon once something is.
void SettleRetry(SystemControl& control) {
    bool owed = false;
    for (const bool key : control.owedKeys) owed = owed || key;
    for (const bool button : control.owedButtons) owed = owed || button;
    if (!owed) {
        control.retryTick = 0;
    } else if (control.retryTick == 0) {
        control.retryTick = os::GetTickCount64() + kFirstRetryMs;
    }
}

// Sends the up of every owed key, in code order with the scan code and extended flag of its down,
// then of every owed button; each one accepted is no longer held. Stops at the first refusal when
// `stopAtRefusal`; otherwise every one is tried.
void SendOwedReleases(SystemControl& control, bool stopAtRefusal) {
    bool refused = false;
    for (int code = 0; code < kVirtualKeyCount && !(refused && stopAtRefusal); ++code) {
        if (!control.owedKeys[code]) continue;
        const uint32_t extended = control.pressedExtended[code] ? kKeyEventExtendedKey : 0;
        const Sent sent = SendKeyboardEvent(
            static_cast<uint16_t>(code), control.pressedScanCodes[code], extended | kKeyEventKeyUp);
        RecordAnswer(control, sent);
        refused = sent.accepted == 0;
        if (!refused) ClearKey(control, code);
    }
    for (int button = 0; button < kMouseButtonCount && !(refused && stopAtRefusal); ++button) {
        if (!control.owedButtons[button]) continue;
        const Sent sent = SendMouseButton(static_cast<MouseButton>(button), false);
        RecordAnswer(control, sent);
        refused = sent.accepted == 0;
        if (!refused) {
            control.pressedButtons[button] = false;
            control.owedButtons[button] = false;
        }
    }
    SettleRetry(control);
}

}  // namespace

// Only a value that starts with the four bytes `true` grants; everything else (absent, false,
// "true" in quotes, 1, TRUE) refuses and lets go of everything first. Without the writer thread
// even `true` is refused: a host that stops reading would then block the loop in a write, and a
// key held meanwhile would stay down for as long as the host stays frozen, whatever the watchdog.
void HandleSystemPermission(SystemControl& control, OutputQueue& out, const char* line,
                            uint64_t stamp) {
    if (ReadBool(line, "enabled") && !OutputMayBlock(out)) {
        control.enabled = true;
        RefreshHeartbeat(control, stamp);
        WriteSystemPermission(out, true);
        return;
    }
    control.enabled = false;
    control.heartbeatTick = 0;
    ReleaseAll(control);
    ReportBlocked(control, out);  // the releases went before the answer, and so does their fate
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
        !LimitPassed(LaterOf(control.heartbeatTick, waiting), now, kHeartbeatLapseMs))
        return;
    TraceLapse(kNoTracedPlayer);
    ReleaseAll(control);
    control.heartbeatTick = 0;
}

uint64_t NextHeartbeatDeadline(const SystemControl& control, uint64_t waiting) {
    if (control.heartbeatTick == 0) return kNoDeadline;
    return AfterLimit(LaterOf(control.heartbeatTick, waiting), kHeartbeatLapseMs);
}

// Everything that may be down becomes owed, and each release is tried once now, even after a
// refusal: the system may take some and not others.
void ReleaseAll(SystemControl& control) {
    for (int code = 0; code < kVirtualKeyCount; ++code)
        control.owedKeys[code] = control.owedKeys[code] || control.pressedKeys[code];
    for (int button = 0; button < kMouseButtonCount; ++button)
        control.owedButtons[button] = control.owedButtons[button] || control.pressedButtons[button];
    SendOwedReleases(control, false);
}

// A press marks the key whatever the answer (it may be down), and an accepted one ends any owed
// release of it: the host holds it again. A refused press of a key already marked keeps what the
// earlier down carried, which may be down for sure (NumpadEnter held, then Enter refused). Only
// an accepted release clears the key.
void NoteKeyEvent(SystemControl& control, uint16_t code, uint16_t scanCode, bool extended,
                  bool down, Sent sent) {
    if (code >= kVirtualKeyCount) return;
    if (down) {
        if (sent.accepted != 0 || !control.pressedKeys[code]) {
            control.pressedScanCodes[code] = scanCode;
            control.pressedExtended[code] = extended;
        }
        control.pressedKeys[code] = true;
        if (sent.accepted != 0) control.owedKeys[code] = false;
    } else if (sent.accepted != 0) {
        ClearKey(control, code);
    } else if (control.pressedKeys[code]) {
        control.owedKeys[code] = true;
    }
    SettleRetry(control);
    NoteSent(control, sent);
}

void NoteButtonEvent(SystemControl& control, MouseButton button, bool down, Sent sent) {
    if (down) {
        control.pressedButtons[button] = true;
        if (sent.accepted != 0) control.owedButtons[button] = false;
    } else if (sent.accepted != 0) {
        control.pressedButtons[button] = false;
        control.owedButtons[button] = false;
    } else if (control.pressedButtons[button]) {
        control.owedButtons[button] = true;
    }
    SettleRetry(control);
    NoteSent(control, sent);
}

void NoteSent(SystemControl& control, Sent sent) {
    RecordAnswer(control, sent);
    if (sent.accepted != 0 && control.retryTick != 0) SendOwedReleases(control, true);
}

// From the first retry on, the pace is steady until nothing is owed.
void RetryReleases(SystemControl& control, uint64_t now) {
    if (control.retryTick == 0 || now < control.retryTick) return;
    control.retryTick = now + kRetryEveryMs;
    SendOwedReleases(control, true);
}

uint64_t NextReleaseRetry(const SystemControl& control) {
    if (BlockedReportDue(control)) return kRightAway;
    return control.retryTick == 0 ? kNoDeadline : control.retryTick;
}

bool ReleasesOwed(const SystemControl& control) {
    return control.retryTick != 0;
}

void ReportBlocked(SystemControl& control, OutputQueue& out) {
    if (!BlockedReportDue(control)) return;
    control.toldBlocked = control.blocked;
    WriteSystemBlocked(out, control.blocked, control.blockedError);
}

}  // namespace padbridge
