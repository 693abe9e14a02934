// The lines that wait for the writer to have room again: a bounded queue, oldest first, with the
// drop policy that keeps memory bounded whatever the host does.
//
// A host that reads never sees this queue: each line goes straight to the writer. Lines queue
// only while the writer is full, that is while the host is not reading. Once the queue is full:
//   1. a newer `rumble` (or `lightbar`) line replaces its player's queued one of the same type in
//      place, when no other line of that player but the other feedback type comes after it (only
//      the newest motor state and colour matter);
//   2. otherwise the oldest line of the least worth goes, or the new line when it is worth less
//      than everything queued. From least to most worth: a `rumble` or `lightbar` line that a
//      later one of the same type and pad supersedes, `capabilities` (a `probe` asks again),
//      `error`, a player's latest `rumble` or `lightbar` line, and last `device` and
//      `system-permission` (the host cannot ask for them).
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
    kLasting,  // `device`, `system-permission`, and the lines of --self-test and --version
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
