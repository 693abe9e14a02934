#include "app/inbox.h"

#include <cstring>

#include "deadline.h"
#include "protocol/fields.h"
#include "trace/trace.h"

namespace padbridge {
namespace {

// Which keeper a line would keep, or kKeeperCount for none. A watchdog's line counts whether or
// not control is granted by the time it is handled: a line that then keeps nothing only delays a
// lapse to a second after its own arrival. A refusal keeps nothing.
int KeeperOf(const char* line, LineType kind, int player) {
    switch (kind) {
        case LineType::kInput:
            return player == kNoPlayer ? kKeeperCount : player;
        case LineType::kHeartbeat:
        case LineType::kSystem:
            return kWatchdogKeeper;
        case LineType::kPermission:
            return ReadBool(line, "enabled") ? kWatchdogKeeper : kKeeperCount;
        default:
            return kKeeperCount;
    }
}

}  // namespace

uint32_t InboxRoom(const Inbox& inbox, const LineAssembler& assembler) {
    const uint32_t start = inbox.count > 0 ? inbox.lines[inbox.head].offset : inbox.byteEnd;
    const std::size_t used = inbox.byteEnd - start + assembler.fill;
    const std::size_t freeBytes = used < kInboxBytes ? kInboxBytes - used : 0;
    // The lines n bytes complete take, zero-terminated, at most n bytes more than the part the
    // assembler holds. Only lines that ask for something are kept, and the shortest of those,
    // `{"type":"probe"}`, takes 17 bytes with its line feed: n bytes add at most one line (the one
    // the assembler holds) and one more for every kShortestKeptLine bytes.
    // Lines of an unknown type, when they are kept, may be as short as `,"type":""`.
    constexpr uint32_t kShortestKeptLine = 15;
    constexpr uint32_t kShortestUnknownLine = 10;
    const uint32_t shortest = inbox.keepUnknown ? kShortestUnknownLine : kShortestKeptLine;
    const uint32_t freeLines = kInboxLines - inbox.count;
    const std::size_t lineRoom = freeLines > 0 ? (freeLines - 1) * shortest : 0;
    const std::size_t room = freeBytes < lineRoom ? freeBytes : lineRoom;
    return static_cast<uint32_t>(room);
}

void AddToInbox(void* context, const char* text, std::size_t length, uint64_t stamp) {
    TraceIn(text, length);
    Inbox& inbox = *static_cast<Inbox*>(context);
    int player = kNoPlayer;
    const LineType kind = ClassifyLine(text, &player);
    // A line that asks for nothing needs no turn.
    if (kind == LineType::kOther || (kind == LineType::kUnknown && !inbox.keepUnknown)) return;
    if (inbox.byteEnd + length + 1 > sizeof inbox.bytes) {
        // Move the waiting lines to the front: the room InboxRoom promised is then behind them.
        const uint32_t start = inbox.count > 0 ? inbox.lines[inbox.head].offset : inbox.byteEnd;
        std::memmove(inbox.bytes, inbox.bytes + start, inbox.byteEnd - start);
        for (uint32_t i = 0; i < inbox.count; ++i)
            inbox.lines[(inbox.head + i) % kInboxLines].offset -= start;
        inbox.byteEnd -= start;
    }
    InboxLine& line = inbox.lines[(inbox.head + inbox.count) % kInboxLines];
    line.offset = inbox.byteEnd;
    line.length = static_cast<uint32_t>(length);
    line.stamp = stamp;
    line.type = kind;
    line.player = static_cast<int8_t>(player);
    std::memcpy(inbox.bytes + inbox.byteEnd, text, length + 1);
    inbox.byteEnd += static_cast<uint32_t>(length + 1);
    ++inbox.count;
    ++inbox.added;
    const int keeper = KeeperOf(text, kind, player);
    if (keeper != kKeeperCount) {
        inbox.keeperLine[keeper] = inbox.added;
        inbox.keeperStamp[keeper] = stamp;
    }
}

const InboxLine* FirstWaitingLine(const Inbox& inbox) {
    return inbox.count > 0 ? &inbox.lines[inbox.head] : nullptr;
}

void RemoveFirstLine(Inbox& inbox) {
    inbox.head = (inbox.head + 1) % kInboxLines;
    --inbox.count;
    ++inbox.handled;
    if (inbox.count == 0) inbox.byteEnd = 0;
}

uint64_t WaitingKeeperStamp(const Inbox& inbox, int keeper) {
    const uint64_t waiting =
        inbox.keeperLine[keeper] > inbox.handled ? inbox.keeperStamp[keeper] : 0;
    return LaterOf(waiting, inbox.unseenSince);
}

}  // namespace padbridge
