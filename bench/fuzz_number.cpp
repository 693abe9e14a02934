// libFuzzer target: ConvertNumber must give strtod's double, bit for bit, and strtod's end
// position, on every input. The input is cut at its first zero byte, as a received line is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/number.h"

namespace {
char text[4097];
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size >= sizeof text) size = sizeof text - 1;
    std::memcpy(text, data, size);
    text[size] = '\0';
    char* strtodEnd = nullptr;
    const double expected = std::strtod(text, &strtodEnd);
    const char* end = nullptr;
    const double got = padbridge::ConvertNumber(text, &end);
    uint64_t expectedBits = 0;
    uint64_t gotBits = 0;
    std::memcpy(&expectedBits, &expected, sizeof expected);
    std::memcpy(&gotBits, &got, sizeof got);
    if (expectedBits != gotBits || end != strtodEnd) std::abort();
    return 0;
}
