// Standard input read on a thread of its own into a bounded ring, with the tick each read
// returned at, as the Windows adapter does: the loop learns of bytes through its input event
// and takes them without blocking.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "os/posix/posix.h"

namespace os {
namespace {

// A host that writes faster than the bridge takes blocks in its own write, as with a bare pipe.
constexpr uint32_t kRingBytes = 64 * 1024;
// Reads whose bytes wait, each with the tick it returned at. Full, the reader waits as for bytes.
constexpr uint32_t kArrivalRecords = 256;

struct Arrival {
    uint64_t end;  // the count of bytes ever read once this read's had been added
    uint64_t tick;
};

struct InputReader {
    std::mutex lock;
    std::condition_variable spaceFreed;
    uint32_t head = 0;   // first waiting byte
    uint32_t count = 0;  // waiting bytes
    uint64_t taken = 0;  // bytes ever taken by the loop
    uint32_t arrivalHead = 0;
    uint32_t arrivalCount = 0;
    bool ended = false;
    Arrival arrivals[kArrivalRecords];
    char ring[kRingBytes];
};

InputReader reader;

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
        reader.spaceFreed.wait(lock, [] {
            return reader.count < kRingBytes && reader.arrivalCount < kArrivalRecords;
        });
        // The free run after the waiting bytes is ours alone: the loop only takes from the head.
        const uint32_t tail = (reader.head + reader.count) % kRingBytes;
        const uint32_t free =
            reader.head + reader.count < kRingBytes ? kRingBytes - tail : reader.head - tail;
        lock.unlock();

        const ssize_t read = ReadSome(reader.ring + tail, free);
        const uint32_t got = static_cast<uint32_t>(read);
        // The bytes' stamp: when they reached the bridge, however long the loop takes to look.
        const uint64_t tick = posix::Tick();

        lock.lock();
        if (got > 0) {
            const uint64_t readEnd = reader.taken + reader.count + got;
            const uint32_t last =
                (reader.arrivalHead + reader.arrivalCount + kArrivalRecords - 1) % kArrivalRecords;
            if (reader.arrivalCount > 0 && reader.arrivals[last].tick == tick) {
                reader.arrivals[last].end = readEnd;
            } else {
                const uint32_t slot = (reader.arrivalHead + reader.arrivalCount) % kArrivalRecords;
                reader.arrivals[slot] = {readEnd, tick};
                ++reader.arrivalCount;
            }
        }
        reader.count += got;
        reader.ended = got == 0;
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
            reader.ended = true;
        }
        posix::Signal(&posix::LoopWake::inputReady);
    }
    return posix::kInputReadyEvent;
}

uint32_t TakeInput(void* buffer, uint32_t capacity, bool* ended, InputArrival* arrivals,
                   uint32_t* arrivalCount) {
    char* out = static_cast<char*>(buffer);
    std::unique_lock<std::mutex> lock(reader.lock);
    uint32_t n = reader.count < capacity ? reader.count : capacity;
    // The arrivals of the bytes taken; a take ends at a read's end once the records run out.
    uint32_t records = 0;
    for (uint32_t i = 0; i < reader.arrivalCount; ++i) {
        const Arrival& arrival = reader.arrivals[(reader.arrivalHead + i) % kArrivalRecords];
        const uint64_t end = arrival.end - reader.taken;
        if (records == kMaxTakeArrivals) {
            n = arrivals[records - 1].end;
            break;
        }
        arrivals[records++] = {static_cast<uint32_t>(end < n ? end : n), arrival.tick};
        if (end >= n) break;
    }
    *arrivalCount = records;
    const uint32_t firstRun = kRingBytes - reader.head < n ? kRingBytes - reader.head : n;
    std::memcpy(out, reader.ring + reader.head, firstRun);
    std::memcpy(out + firstRun, reader.ring, n - firstRun);
    reader.head = (reader.head + n) % kRingBytes;
    reader.count -= n;
    reader.taken += n;
    while (reader.arrivalCount > 0 && reader.arrivals[reader.arrivalHead].end <= reader.taken) {
        reader.arrivalHead = (reader.arrivalHead + 1) % kArrivalRecords;
        --reader.arrivalCount;
    }
    *ended = reader.count == 0 && reader.ended;
    const bool wakeAgain = reader.count > 0 || reader.ended;
    lock.unlock();
    if (n > 0) reader.spaceFreed.notify_one();
    if (wakeAgain) posix::Signal(&posix::LoopWake::inputReady);
    return n;
}

uint32_t InputWaiting() {
    std::lock_guard<std::mutex> lock(reader.lock);
    return reader.count;
}

}  // namespace os
