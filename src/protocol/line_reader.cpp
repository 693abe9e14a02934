#include "protocol/line_reader.h"

#include <cstring>

namespace padbridge {

// Works a segment at a time: everything up to the next line feed is copied in one go, so a read
// costs a scan and a copy rather than a branch per byte.
void FeedLines(LineAssembler& assembler, const char* bytes, std::size_t count,
               const os::InputArrival* arrivals, uint32_t arrivalCount, LineConsumer consumer,
               void* context) {
    std::size_t at = 0;  // where `bytes` stands in the take
    uint32_t arrival = 0;
    while (count > 0) {
        const auto* lineFeed = static_cast<const char*>(std::memchr(bytes, '\n', count));
        const std::size_t segment =
            lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - bytes) : count;
        if (!assembler.overflow) {
            const std::size_t room = kMaxLineBytes - assembler.fill;
            // A byte beyond the buffer's room loses the whole line, up to its line feed.
            const std::size_t kept = segment <= room ? segment : room;
            std::memcpy(assembler.buffer + assembler.fill, bytes, kept);
            assembler.fill += kept;
            assembler.overflow = segment > room;
        }
        if (lineFeed == nullptr) return;

        if (!assembler.overflow) {
            // The line's stamp is its line feed's arrival.
            while (arrival + 1 < arrivalCount && arrivals[arrival].end <= at + segment) ++arrival;
            assembler.buffer[assembler.fill] = '\0';
            consumer(context, assembler.buffer, assembler.fill, arrivals[arrival].tick);
        }
        assembler.fill = 0;
        assembler.overflow = false;
        bytes = lineFeed + 1;
        count -= segment + 1;
        at += segment + 1;
    }
}

}  // namespace padbridge
