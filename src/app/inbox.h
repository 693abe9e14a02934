// The lines that have reached the bridge and are not yet handled, each with its stamp (when its
// line feed arrived) and what the loop needs to know of it before it is handled: its kind and its
// player. The loop takes the host's bytes in here as soon as it can, so that it may judge a lapse
// at any moment, between any two lines, knowing which waiting line would keep a key held or a
// pad alive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gamepad/input.h"
#include "protocol/line_reader.h"

namespace padbridge {

// What a line asks for, from its `type`.
enum class LineType : uint8_t {
    kOther,    // nothing: an unreadable type, or a player's line without a player of ours
    kUnknown,  // a readable type the bridge does not know: its turn only for Bridge::otherLines
    kProbe,
    kInput,
    kTeardown,  // `neutral` and `remove`
    kPermission,
    kHeartbeat,
    kSystem,
};

inline constexpr int kNoPlayer = -1;

// Who a waiting line may keep: a player's pad (0..7) or the heartbeat watchdog.
inline constexpr int kWatchdogKeeper = kPlayerCount;
inline constexpr int kKeeperCount = kPlayerCount + 1;

// The inbox holds at most this many bytes of complete lines and this many lines. Beyond that the
// loop leaves the host's bytes in the reader (whose ring then fills and blocks the host's write).
inline constexpr uint32_t kInboxBytes = 64 * 1024;
inline constexpr uint32_t kInboxLines = 1024;

struct InboxLine {
    uint32_t offset;  // in Inbox::bytes
    uint32_t length;
    uint64_t stamp;
    LineType type;
    int8_t player;  // kNoPlayer, or 0..7 for the kinds that name one
};

struct Inbox {
    // Lines in arrival order, zero-terminated, from the first waiting one's offset on; the room
    // after them is kept for the longest line the assembler may still complete.
    char bytes[kInboxBytes + kMaxLineBytes + 1];
    uint32_t byteEnd;
    InboxLine lines[kInboxLines];  // a ring
    uint32_t head;
    uint32_t count;
    uint64_t added;    // lines ever added; a line's number is `added` when it came
    uint64_t handled;  // lines ever taken out
    // Per keeper, one more than the number of the last line that keeps it, and that line's stamp.
    uint64_t keeperLine[kKeeperCount];
    uint64_t keeperStamp[kKeeperCount];
    // Bytes were left in the reader for want of room: they arrived by this tick (0: none left).
    uint64_t unseenSince;
    bool ended;        // the input has ended and every byte before the end is here
    bool keepUnknown;  // lines of an unknown type wait for their turn too (a hook takes them)
};

// Reads a line's kind and player.
LineType ClassifyLine(const char* line, int* player);

// How many bytes may be taken now, so that every line they complete fits.
uint32_t InboxRoom(const Inbox& inbox, const LineAssembler& assembler);

// Adds one complete line (a LineConsumer's arguments, with the Inbox as context).
void AddToInbox(void* inbox, const char* line, std::size_t length, uint64_t stamp);

// The oldest waiting line, or null.
const InboxLine* FirstWaitingLine(const Inbox& inbox);
inline const char* LineText(const Inbox& inbox, const InboxLine& line) {
    return inbox.bytes + line.offset;
}
// Takes the oldest line out, once it has been handled.
void RemoveFirstLine(Inbox& inbox);

// The newest stamp of the waiting lines that would keep `keeper` (counting bytes left in the
// reader as keeping it since they were last looked for); 0 when none would.
uint64_t WaitingKeeperStamp(const Inbox& inbox, int keeper);

}  // namespace padbridge
