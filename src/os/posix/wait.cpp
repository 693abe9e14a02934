// The loop's one wait, and the stop requests.
//
// The loop waits on the adapter's events (input, a stop request, room in the output writer) and
// on the models' bus events at once. The adapter's threads set their flags under the wake lock
// and notify; a bus event is signalled when the model completes a request, which happens on the
// loop's thread when the model's time reaches the request's completion, so the wait also wakes at
// the earliest such time. While the loop waits, the models forget what they recorded for tests
// (every request, call and event): a program that runs for hours must not keep them.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <optional>

#include "os/posix/posix.h"
#include "os/sim/sim.h"

namespace os::posix {

LoopWake& wake = *new LoopWake();  // never destroyed: the threads may signal until the end

void Signal(bool LoopWake::*flag) {
    {
        std::lock_guard<std::mutex> lock(wake.lock);
        wake.*flag = true;
    }
    wake.changed.notify_all();
}

}  // namespace os::posix

namespace os {
namespace {

constexpr uint32_t kInvalidHandleError = 6;
constexpr uint64_t kNoTime = UINT64_MAX;

void* WatchSignals(void*) {
    const sigset_t stops = posix::StopSignals();
    for (;;) {
        int received = 0;
        if (sigwait(&stops, &received) == 0) posix::Signal(&posix::LoopWake::stopRequested);
    }
}

// Whether `handle` is signalled now (taking an auto-reset event as it is), or when it will be
// (a bus request's completion). False with *failed for a handle nobody gave out.
bool Signalled(Handle handle, uint64_t* due, bool* failed) {
    posix::LoopWake& w = posix::wake;
    if (handle == posix::kInputReadyEvent) {
        if (!w.inputReady) return false;
        w.inputReady = false;
        return true;
    }
    if (handle == posix::kStopRequestedEvent) return w.stopRequested;
    if (handle == posix::kOutputRoomEvent) return w.outputRoom;
    if (!sim::IsBusEvent(handle)) {
        *failed = true;
        return false;
    }
    const std::optional<uint64_t> at = sim::BusEventSignalTime(handle);
    if (!at) return false;
    if (*at <= sim::Current().now) return true;
    if (*at < *due) *due = *at;
    return false;
}

std::chrono::steady_clock::time_point WhenTick(uint64_t tick) {
    const uint64_t now = posix::Tick();
    const uint64_t ahead = tick > now ? tick - now : 0;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ahead);
}

}  // namespace

uint32_t WaitForMultipleObjects(uint32_t count, const Handle* handles, uint32_t milliseconds) {
    if (count == 0 || count > kMaxWaitObjects) {
        posix::SetLastError(kErrorInvalidParameter);
        return kWaitFailed;
    }
    sim::ForgetRecords();
    const uint64_t end = milliseconds == kInfinite ? kNoTime : posix::Tick() + milliseconds;
    std::unique_lock<std::mutex> lock(posix::wake.lock);
    for (;;) {
        posix::CatchUpModels();
        sim::SettleBus();
        uint64_t due = end;
        bool failed = false;
        for (uint32_t i = 0; i < count; ++i) {
            if (Signalled(handles[i], &due, &failed)) return kWaitObject0 + i;
            if (failed) {
                posix::SetLastError(kInvalidHandleError);
                return kWaitFailed;
            }
        }
        if (posix::Tick() >= end) return kWaitTimeout;
        if (due == kNoTime) {
            posix::wake.changed.wait(lock);
        } else {
            posix::wake.changed.wait_until(lock, WhenTick(due));
        }
    }
}

uint32_t WaitForSingleObject(Handle object, uint32_t milliseconds) {
    return WaitForMultipleObjects(1, &object, milliseconds);
}

// SIGINT, SIGTERM and SIGHUP signal the stop event from here on; every thread of the adapter has
// them blocked, and one thread takes them with sigwait.
Handle WatchStopRequests() {
    const sigset_t stops = posix::StopSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    pthread_t watcher;
    if (pthread_create(&watcher, nullptr, WatchSignals, nullptr) != 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return kNullHandle;
    }
    pthread_detach(watcher);
    return posix::kStopRequestedEvent;
}

// Nothing holds the process here: a signal's sender does not wait for it.
void FinishShutdown() {}

}  // namespace os
