// The ViGEmBus backend: the one open bus interface and everything that runs on it.
#pragma once

#include <cstdint>

#include "deadline.h"
#include "gamepad/input.h"
#include "gamepad/vigem/detached_requests.h"
#include "gamepad/vigem/pads.h"
#include "os/os.h"

namespace padbridge {

// What the last discovery found: the capabilities line's `vigemBus`.
enum class BusStatus : uint8_t { kMissing, kUnavailable, kIncompatible, kReady };

// A discovery in progress: the interface list it walks and the version check it waits for.
struct BusDiscovery {
    bool running = false;
    os::Handle list = os::kInvalidHandle;
    uint32_t index = 0;                      // the next interface to try
    os::Handle device = os::kInvalidHandle;  // the interface whose check is in flight
    int check = kNoDetachedRequest;          // that check, in the detached requests
};

struct BusPads {
    os::Handle handle = os::kInvalidHandle;  // the open bus interface, shared by every pad
    BusStatus status;
    PadSlot pads[kPlayerCount];
    DetachedRequests detached;  // requests that may outlive their issuer
    // The open bus refused a DualShock 4's full report: every DualShock 4 sends the short one.
    bool ds4ShortReports;
    BusDiscovery discovery;
};

// The capabilities line's word for the status.
const char* VigemBusWord(BusStatus status);

// Whether the bus is the backend: once an interface is open it serves every pad, and vJoy none.
inline bool BusIsBackend(const BusPads& bus) {
    return bus.handle != os::kInvalidHandle;
}

// Looks for a bus interface that opens and speaks our version, and keeps it open. With several,
// the last one tried decides the status word. Each version check waits up to a second for its
// answer without holding the loop: true when the discovery finished at once, false while a check
// runs, and then ContinueBusDiscovery moves it on when the check's event or deadline comes.
bool StartBusDiscovery(BusPads& bus);
// True once the discovery has finished (or none runs).
bool ContinueBusDiscovery(BusPads& bus);
inline bool BusDiscoveryRunning(const BusPads& bus) {
    return bus.discovery.running;
}
// When the running check must be looked at: its time-out, or right away once answered.
uint64_t NextDiscoveryDeadline(const BusPads& bus);
// Gives a running discovery up at once: its check is cancelled and left to the detached requests,
// and the interface it went to is closed once the driver lets go. The status stays as it was.
void AbandonBusDiscovery(BusPads& bus);

// True while any pad is being torn down or the driver holds a request of the bus.
bool BusHeld(const BusPads& bus);

// Shutdown's part: closes the bus handle, unless the driver still holds a request on it. Closing
// it under a running request is misuse, so then the handle, like the request's record and event,
// is left to the process's end, which Windows cleans up once the driver lets go.
void CloseBus(BusPads& bus);

}  // namespace padbridge
