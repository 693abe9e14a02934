// Cuts the host's byte stream into lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/os.h"

namespace padbridge {

constexpr std::size_t kMaxLineBytes = 16384;  // a line's content, its line feed not counted

// One instance for the life of the main loop. Bytes after the last line feed of a read are kept
// as the start of the next line.
struct LineAssembler {
    char buffer[kMaxLineBytes + 1];  // content plus the terminating zero
    std::size_t fill;
    bool overflow;  // the current line lost a byte; the rest of it is discarded
};

// Receives each completed line, zero-terminated and `length` bytes long, valid only for the
// duration of the call, with its stamp: the tick at which its line feed reached the bridge.
using LineConsumer = void (*)(void* context, const char* line, std::size_t length, uint64_t stamp);

// Feeds the bytes of one take, which came in the reads `arrivals` describes (at least one, the
// last ending at `count`). Every line they complete is handed to `consumer` at once, in order,
// before the next byte is looked at. A line longer than kMaxLineBytes is dropped whole, up to and
// including its line feed. A carriage return before the line feed stays in the line.
void FeedLines(LineAssembler& assembler, const char* bytes, std::size_t count,
               const os::InputArrival* arrivals, uint32_t arrivalCount, LineConsumer consumer,
               void* context);

}  // namespace padbridge
