// Standard input read on a thread of its own into a bounded ring, with the tick each read
// returned at, as the Windows adapter does: the loop learns of bytes through its input event
// and takes them without blocking.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "os/input_ring.h"
#include "os/posix/posix.h"

namespace os {
namespace {

struct InputReader {
    std::mutex lock;
    std::condition_variable spaceFreed;
    InputRing ring{};
};

// Never destroyed: at the process's end the thread may still be blocked in a read.
InputReader& reader = *new InputReader();

// One read: the count, or 0 at the end of the input (end of file, or an error that ends it).
ssize_t ReadSome(char* into, uint32_t room) {
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, into, room);
        if (got >= 0) return got;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
        // A host may hand over a non-blocking descriptor: wait for bytes instead.
        pollfd input{STDIN_FILENO, POLLIN, 0};
        ::poll(&input, 1, -1);
    }
}

void* ReadInput(void*) {
    for (;;) {
        std::unique_lock<std::mutex> lock(reader.lock);
        reader.spaceFreed.wait(lock, [] { return RingHasRoom(reader.ring); });
        char* into = nullptr;
        const uint32_t free = RingFreeRun(reader.ring, &into);
        lock.unlock();

        const uint32_t got = static_cast<uint32_t>(ReadSome(into, free));
        // The bytes' stamp: when they reached the bridge, however long the loop takes to look.
        const uint64_t tick = posix::Tick();

        lock.lock();
        RingAddRead(reader.ring, got, tick, got == 0);
        lock.unlock();
        posix::Signal(&posix::LoopWake::inputReady);
        if (got == 0) return nullptr;
    }
}

}  // namespace

Handle StartInputReader() {
    uint32_t error = 0;
    if (!posix::StartThread(ReadInput, &error)) {
        // Without a reader the input reads as one that has already ended.
        {
            std::lock_guard<std::mutex> lock(reader.lock);
            reader.ring.ended = true;
        }
        posix::Signal(&posix::LoopWake::inputReady);
    }
    return posix::kInputReadyEvent;
}

uint32_t TakeInput(void* buffer, uint32_t capacity, bool* ended, InputArrival* arrivals,
                   uint32_t* arrivalCount) {
    std::unique_lock<std::mutex> lock(reader.lock);
    const uint32_t n = RingTake(reader.ring, buffer, capacity, ended, arrivals, arrivalCount);
    const bool wakeAgain = reader.ring.count > 0 || reader.ring.ended;
    lock.unlock();
    if (n > 0) reader.spaceFreed.notify_one();
    if (wakeAgain) posix::Signal(&posix::LoopWake::inputReady);
    return n;
}

uint32_t InputWaiting() {
    std::lock_guard<std::mutex> lock(reader.lock);
    return reader.ring.count;
}

}  // namespace os
