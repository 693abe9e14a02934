// The reader thread's ring of the host's bytes, shared by the adapters that read standard input
// on a thread of their own (Windows, POSIX). Plain data and arithmetic: each adapter holds its own
// lock around every call, and its own thread and events around the ring.
#pragma once

#include <cstdint>

#include "os/os.h"

namespace os {

// A host that writes faster than the bridge takes blocks in its own write, as with a bare pipe.
constexpr uint32_t kInputRingBytes = 64 * 1024;
// Reads whose bytes wait, each with the tick it returned at. Full, the reader waits as for bytes.
constexpr uint32_t kInputRingArrivals = 256;

struct InputRing {
    struct Arrival {
        uint64_t end;  // the count of bytes ever read once this read's had been added
        uint64_t tick;
    };
    uint32_t head;   // first waiting byte
    uint32_t count;  // waiting bytes
    uint64_t taken;  // bytes ever taken by the loop
    uint32_t arrivalHead;
    uint32_t arrivalCount;
    bool ended;
    Arrival arrivals[kInputRingArrivals];
    char bytes[kInputRingBytes];
};

// Whether the reader may read again: room for bytes and for their arrival record.
bool RingHasRoom(const InputRing& ring);
// Where the next read goes: the free run after the waiting bytes, which is the reader's alone
// (the loop only takes from the head). Returns its length.
uint32_t RingFreeRun(InputRing& ring, char** into);
// Adds a read of `got` bytes that returned at `tick`; `end`: the input has ended.
void RingAddRead(InputRing& ring, uint32_t got, uint64_t tick, bool end);
// TakeInput's contract, on the ring.
uint32_t RingTake(InputRing& ring, void* buffer, uint32_t capacity, bool* ended,
                  InputArrival* arrivals, uint32_t* arrivalCount);

}  // namespace os
