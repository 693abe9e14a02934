// The POSIX adapter's shared parts: its clock, its threads, and the state the loop's wait reads.
//
// padbridge-sim runs the core on this adapter for the clock, standard input, standard output, the
// trace and the stop requests, and on the simulation's models (src/os/sim) for the bus driver, the
// vJoy library and SendInput. The models keep the simulated machine's time in
// `sim::Current().now`; the adapter keeps it on the real clock, on the loop's thread only.
#pragma once

#include <signal.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "os/os.h"

namespace os::posix {

// The adapter's own events, as the loop holds them. The models' handles are 0x200, 0x400 and
// from 0x1000 on, so these never meet them.
constexpr Handle kInputReadyEvent = 0x180;     // auto-reset
constexpr Handle kStopRequestedEvent = 0x181;  // manual reset, never reset
constexpr Handle kOutputRoomEvent = 0x182;     // manual reset

// What the loop's wait looks at, set by the adapter's threads under `lock`, each followed by a
// notification of `changed`.
struct LoopWake {
    std::mutex lock;
    std::condition_variable changed;
    bool inputReady = false;
    bool stopRequested = false;
    bool outputRoom = false;
};
extern LoopWake& wake;

// Sets one of the flags above and wakes the loop.
void Signal(bool LoopWake::*flag);

// GetTickCount64 on the real clock: the models' start tick plus the milliseconds since the
// process started. Any thread may read it.
uint64_t Tick();
// Brings the models' time up to the real clock, never backwards. The loop's thread only.
void CatchUpModels();
// Leaves `error` for GetLastError (the models' record of it). The loop's thread only.
void SetLastError(uint32_t error);

// SIGINT, SIGTERM and SIGHUP: the signals that ask the bridge to stop.
sigset_t StopSignals();

// Starts a detached thread with SIGINT, SIGTERM and SIGHUP blocked, so that only the stop
// request watcher ever takes them. False, with errno's value in *error, when it cannot.
bool StartThread(void* (*body)(void*), uint32_t* error);

}  // namespace os::posix
