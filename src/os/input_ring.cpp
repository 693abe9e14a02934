#include "os/input_ring.h"

#include <cstring>

namespace os {

bool RingHasRoom(const InputRing& ring) {
    return ring.count < kInputRingBytes && ring.arrivalCount < kInputRingArrivals;
}

uint32_t RingFreeRun(InputRing& ring, char** into) {
    const uint32_t tail = (ring.head + ring.count) % kInputRingBytes;
    *into = ring.bytes + tail;
    return ring.head + ring.count < kInputRingBytes ? kInputRingBytes - tail : ring.head - tail;
}

void RingAddRead(InputRing& ring, uint32_t got, uint64_t tick, bool end) {
    if (got > 0) {
        const uint64_t readEnd = ring.taken + ring.count + got;
        const uint32_t last =
            (ring.arrivalHead + ring.arrivalCount + kInputRingArrivals - 1) % kInputRingArrivals;
        if (ring.arrivalCount > 0 && ring.arrivals[last].tick == tick) {
            ring.arrivals[last].end = readEnd;
        } else {
            const uint32_t slot = (ring.arrivalHead + ring.arrivalCount) % kInputRingArrivals;
            ring.arrivals[slot] = {readEnd, tick};
            ++ring.arrivalCount;
        }
    }
    ring.count += got;
    ring.ended = end;
}

uint32_t RingTake(InputRing& ring, void* buffer, uint32_t capacity, bool* ended,
                  InputArrival* arrivals, uint32_t* arrivalCount) {
    char* out = static_cast<char*>(buffer);
    uint32_t n = ring.count < capacity ? ring.count : capacity;
    // The arrivals of the bytes taken; a take ends at a read's end once the records run out.
    uint32_t records = 0;
    for (uint32_t i = 0; i < ring.arrivalCount; ++i) {
        const InputRing::Arrival& arrival =
            ring.arrivals[(ring.arrivalHead + i) % kInputRingArrivals];
        const uint64_t end = arrival.end - ring.taken;
        if (records == kMaxTakeArrivals) {
            n = arrivals[records - 1].end;
            break;
        }
        arrivals[records++] = {static_cast<uint32_t>(end < n ? end : n), arrival.tick};
        if (end >= n) break;
    }
    *arrivalCount = records;
    const uint32_t firstRun = kInputRingBytes - ring.head < n ? kInputRingBytes - ring.head : n;
    std::memcpy(out, ring.bytes + ring.head, firstRun);
    std::memcpy(out + firstRun, ring.bytes, n - firstRun);
    ring.head = (ring.head + n) % kInputRingBytes;
    ring.count -= n;
    ring.taken += n;
    while (ring.arrivalCount > 0 && ring.arrivals[ring.arrivalHead].end <= ring.taken) {
        ring.arrivalHead = (ring.arrivalHead + 1) % kInputRingArrivals;
        --ring.arrivalCount;
    }
    *ended = ring.count == 0 && ring.ended;
    return n;
}

}  // namespace os
