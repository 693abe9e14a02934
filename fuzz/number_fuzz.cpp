// The number conversion used by every field reader and the `input` arrays against the C
// library's strtod: the same double bit for bit (NaN payloads aside) and the same end, for any
// text. The text sits in a block of exactly its length plus the zero, so reading past the zero is
// a sanitizer report.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/number.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    char* text = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(text, data, size);
    text[size] = '\0';

    char* expectedEnd = nullptr;
    const double expected = std::strtod(text, &expectedEnd);
    const char* end = nullptr;
    const double got = padbridge::ConvertNumber(text, &end);
    const bool same =
        std::isnan(expected) ? std::isnan(got) : std::memcmp(&got, &expected, sizeof got) == 0;
    if (!same || end != expectedEnd) {
        std::fprintf(stderr, "ConvertNumber(\"%s\") = %.17g ending at %td; strtod: %.17g at %td\n",
                     text, got, end - text, expected, expectedEnd - text);
        std::abort();
    }
    std::free(text);
    return 0;
}
