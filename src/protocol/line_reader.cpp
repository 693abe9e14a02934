#include "protocol/line_reader.h"

namespace padbridge {

void FeedLines(LineAssembler& assembler, const char* bytes, std::size_t count,
               LineConsumer consumer, void* context) {
    for (std::size_t i = 0; i < count; ++i) {
        const char byte = bytes[i];
        if (byte == '\n') {
            if (!assembler.overflow) {
                assembler.buffer[assembler.fill] = '\0';
                consumer(context, assembler.buffer);
            }
            assembler.fill = 0;
            assembler.overflow = false;
        } else if (assembler.overflow || assembler.fill >= kMaxLineBytes) {
            assembler.overflow = true;
        } else {
            assembler.buffer[assembler.fill++] = byte;
        }
    }
}

}  // namespace padbridge
