// The clock, the threads' start and the machine's last error, on the real clock.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "os/posix/posix.h"
#include "os/sim/sim.h"

namespace os::posix {
namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point processStart = Clock::now();

}  // namespace

uint64_t Tick() {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - processStart);
    return sim::kStartTick + static_cast<uint64_t>(elapsed.count());
}

void CatchUpModels() {
    const uint64_t now = Tick();
    sim::Machine& m = sim::Current();
    if (now > m.now) m.now = now;
}

void SetLastError(uint32_t error) {
    sim::Current().lastError = error;
}

sigset_t StopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    return stops;
}

bool StartThread(void* (*body)(void*), uint32_t* error) {
    const sigset_t stops = StopSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stops, &previous);  // the new thread inherits the mask
    pthread_t thread;
    const int result = pthread_create(&thread, nullptr, body, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (result != 0) {
        *error = static_cast<uint32_t>(result);
        return false;
    }
    pthread_detach(thread);  // it lives as long as the process
    return true;
}

}  // namespace os::posix

namespace os {

uint64_t GetTickCount64() {
    posix::CatchUpModels();
    return posix::Tick();
}

// A 10 MHz counter, as Windows commonly has, from the monotonic clock.
bool QueryPerformanceCounter(int64_t* count) {
    posix::CatchUpModels();
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    *count = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
    return true;
}

bool QueryPerformanceFrequency(int64_t* frequency) {
    *frequency = 10'000'000;
    return true;
}

void Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    posix::CatchUpModels();
    sim::SettleBus();
}

}  // namespace os
