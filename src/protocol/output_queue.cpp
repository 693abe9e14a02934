#include "protocol/output_queue.h"

#include <cstring>

#include "trace/trace.h"

namespace padbridge {
namespace {

constexpr int kPlayers = 8;

// How much a host loses with a queued line, as the policy ranks it (higher is kept longer).
enum class Worth : uint8_t {
    kSupersededFeedback,  // a `rumble` or `lightbar` line a later one of its type and pad replaces
    kCapabilities,
    kError,
    kLatestFeedback,
    kLasting,
};

Worth WorthOfKind(LineKind kind) {
    switch (kind) {
        case LineKind::kRumble:
        case LineKind::kLightbar:
            return Worth::kLatestFeedback;
        case LineKind::kCapabilities:
            return Worth::kCapabilities;
        case LineKind::kError:
            return Worth::kError;
        case LineKind::kLasting:
            return Worth::kLasting;
    }
    return Worth::kLasting;
}

bool IsPlayer(int player) {
    return player >= 0 && player < kPlayers;
}

bool IsDeviceLine(const QueuedLine& line) {
    return line.kind == LineKind::kLasting && IsPlayer(line.player);
}

QueuedLine& SlotAt(OutputQueue& queue, uint32_t position) {
    return queue.slots[queue.order[position]];
}

void Fill(QueuedLine& slot, LineKind kind, int player, const char* wire, std::size_t length) {
    if (length > kMaxWireLine) length = kMaxWireLine;
    slot.kind = kind;
    slot.player = static_cast<int8_t>(IsPlayer(player) ? player : kLineWithoutPlayer);
    slot.length = static_cast<uint16_t>(length);
    std::memcpy(slot.wire, wire, length);
}

// Takes the line at `position` out; its slot becomes the first free one.
void RemoveAt(OutputQueue& queue, uint32_t position) {
    const uint16_t freed = queue.order[position];
    for (uint32_t i = position; i + 1 < queue.count; ++i) queue.order[i] = queue.order[i + 1];
    --queue.count;
    queue.order[queue.count] = freed;
}

void Append(OutputQueue& queue, LineKind kind, int player, const char* wire, std::size_t length) {
    Fill(SlotAt(queue, queue.count), kind, player, wire, length);
    ++queue.count;
}

bool IsFeedback(LineKind kind) {
    return kind == LineKind::kRumble || kind == LineKind::kLightbar;
}

// A full queue and a new `rumble` or `lightbar` line: the player's latest queued line of the same
// type takes the new text, when only feedback lines of the other type come after it. Any other
// line of the player in between (a `device` line: another pad's motors; an `error`) keeps it.
bool ReplaceQueuedFeedback(OutputQueue& queue, LineKind kind, int player, const char* wire,
                           std::size_t length) {
    for (uint32_t position = queue.count; position-- > 0;) {
        QueuedLine& line = SlotAt(queue, position);
        if (line.player != player) continue;
        if (line.kind == kind) {
            TraceDrop(line.wire, line.length);
            Fill(line, kind, player, wire, length);
            return true;
        }
        if (!IsFeedback(line.kind)) return false;
    }
    return false;
}

// The position of the oldest queued line of the least worth, and that worth. The queue must not
// be empty.
uint32_t LeastWorthLine(OutputQueue& queue, Worth* worth) {
    bool laterRumble[kPlayers] = {};    // per player: a later `rumble` line of the same pad
    bool laterLightbar[kPlayers] = {};  // and a later `lightbar` line
    uint32_t found = 0;
    *worth = Worth::kLasting;  // the most any line is worth: the newest line is the first found
    for (uint32_t position = queue.count; position-- > 0;) {  // newest first, to see "later"
        const QueuedLine& line = SlotAt(queue, position);
        Worth lineWorth = WorthOfKind(line.kind);
        if (IsPlayer(line.player)) {
            if (IsDeviceLine(line)) laterRumble[line.player] = laterLightbar[line.player] = false;
            bool* later = line.kind == LineKind::kRumble     ? &laterRumble[line.player]
                          : line.kind == LineKind::kLightbar ? &laterLightbar[line.player]
                                                             : nullptr;
            if (later != nullptr) {
                if (*later) lineWorth = Worth::kSupersededFeedback;
                *later = true;
            }
        }
        if (lineWorth <= *worth) {  // ties go to the older line
            *worth = lineWorth;
            found = position;
        }
    }
    return found;
}

}  // namespace

void ResetOutputQueue(OutputQueue& queue) {
    for (uint32_t i = 0; i < kOutputQueueLines; ++i) queue.order[i] = static_cast<uint16_t>(i);
    queue.count = 0;
    queue.dropped = 0;
    queue.replaced = 0;
    queue.roomEvent = os::kNullHandle;
    queue.running = false;
}

void EnqueueLine(OutputQueue& queue, LineKind kind, int player, const char* wire,
                 std::size_t length) {
    if (queue.count < kOutputQueueLines) {
        Append(queue, kind, player, wire, length);
        return;
    }
    if (IsFeedback(kind) && ReplaceQueuedFeedback(queue, kind, player, wire, length)) {
        ++queue.replaced;
        return;
    }
    ++queue.dropped;
    Worth leastWorth = Worth::kLasting;
    const uint32_t position = LeastWorthLine(queue, &leastWorth);
    if (leastWorth > WorthOfKind(kind)) {  // the new line is the one worth least
        TraceDrop(wire, length);
        return;
    }
    TraceDrop(SlotAt(queue, position).wire, SlotAt(queue, position).length);
    RemoveAt(queue, position);
    Append(queue, kind, player, wire, length);
}

const QueuedLine& OldestLine(const OutputQueue& queue) {
    return queue.slots[queue.order[0]];
}

void RemoveOldestLine(OutputQueue& queue) {
    RemoveAt(queue, 0);
}

}  // namespace padbridge
