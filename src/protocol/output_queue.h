// The lines that wait for the writer to have room again: a bounded queue, oldest first, whose
// drop policy keeps memory bounded whatever the host does.
//
// A host that reads never sees this queue: each line goes straight to the writer. Lines queue
// only while the writer is full, that is while the host is not reading. What a full queue drops
// is the protocol's to say, since a host relies on it: the policy is written once, in
// docs/protocol.md ("A host that does not read"), and output_queue.cpp carries it out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/os.h"

namespace padbridge {

enum class LineKind : uint8_t {
    kRumble,
    kLightbar,
    kCapabilities,
    kError,
    kLasting,  // `device`, `system-permission`, `system-blocked`, and the lines of --self-test and
               // --version
};

constexpr uint32_t kOutputQueueLines = 128;
constexpr std::size_t kMaxWireLine = 258;  // the longest line's text, CR and LF
constexpr int kLineWithoutPlayer = -1;

struct QueuedLine {
    LineKind kind;
    int8_t player;  // kLineWithoutPlayer for lines about no player
    uint16_t length;
    char wire[kMaxWireLine];
};

// The output of a run: every line writer takes the one it writes to (protocol/output.h).
struct OutputQueue {
    QueuedLine slots[kOutputQueueLines];
    // order[0, count) are the queued slots, oldest first; order[count, end) the free ones.
    uint16_t order[kOutputQueueLines];
    uint32_t count;
    uint32_t dropped;   // lines lost to the bound
    uint32_t replaced;  // `rumble` and `lightbar` lines superseded in place
    os::Handle roomEvent;
    // Between StartOutput and FinishOutput. Outside a run (--self-test, --version, and before the
    // start) a line goes straight to the system.
    bool running;
};

// Empties the queue and ends its run.
void ResetOutputQueue(OutputQueue& queue);
// Queues one line of wire bytes (at most kMaxWireLine), applying the drop policy when full.
void EnqueueLine(OutputQueue& queue, LineKind kind, int player, const char* wire,
                 std::size_t length);
// The oldest queued line; the queue must not be empty.
const QueuedLine& OldestLine(const OutputQueue& queue);
void RemoveOldestLine(OutputQueue& queue);

}  // namespace padbridge
