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
    // What may be down: set by every press, sent or refused, and cleared only once the system
    // accepted a release of it.
    bool pressedKeys[kVirtualKeyCount];
    bool pressedButtons[kMouseButtonCount];  // indexed by MouseButton
    // What the down of each held key carried, so that its up carries the same: the layout may
    // change while the key is held, and Enter and NumpadEnter share one virtual key.
    uint16_t pressedScanCodes[kVirtualKeyCount];
    bool pressedExtended[kVirtualKeyCount];
    // Releases the system refused, sent again until it accepts them.
    bool owedKeys[kVirtualKeyCount];
    bool owedButtons[kMouseButtonCount];
    uint64_t retryTick;  // the next retry; 0 exactly while no release is owed
    // The system's answer to the last event, and what the host was last told of it.
    bool blocked;
    uint32_t blockedError;
    bool toldBlocked;
};

struct OutputQueue;

// Each handler stamps the watchdog with `stamp`, the tick at which its line arrived.
// `system-permission`: grants desktop control and arms the watchdog, or refuses it and lets go of
// everything held; answers on `out` either way. A grant is refused while `out` may block.
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
// Every key and mouse button that may be down goes up: the keys in code order, then the buttons.
// Each one the system refuses is owed, and retried until it is accepted.
void ReleaseAll(SystemControl& control);

// Records a press or release of a key the host asked for, once SendInput answered. A refused
// release of a key that may be down is owed.
void NoteKeyEvent(SystemControl& control, uint16_t code, uint16_t scanCode, bool extended,
                  bool down, Sent sent);
void NoteButtonEvent(SystemControl& control, MouseButton button, bool down, Sent sent);
// Records SendInput's answer to an event of any kind. An accepted event means the system takes
// input again, so every owed release is retried at once.
void NoteSent(SystemControl& control, Sent sent);

// Retries the owed releases once their time has come, judged with the pass's tick `now`.
void RetryReleases(SystemControl& control, uint64_t now);
// The tick of the next retry (kNoDeadline: nothing owed); kRightAway while the host is owed a
// `system-blocked` line.
uint64_t NextReleaseRetry(const SystemControl& control);
bool ReleasesOwed(const SystemControl& control);
// Prints `system-blocked` when the system's answer changed since the host was last told, and only
// while the host has something to know: while desktop control is granted, or a release is owed.
// A host told the system refuses is always told when it accepts again.
void ReportBlocked(SystemControl& control, OutputQueue& out);

}  // namespace padbridge
