#include "protocol/fields.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "protocol/number.h"

namespace padbridge {
namespace {

bool IsFieldSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A quoted key must follow '{' or ',' (across whitespace); this is what tells a key from an equal
// string value, which follows ':'.
bool StartsKey(const char* line, const char* occurrence) {
    const char* p = occurrence;
    while (p != line) {
        --p;
        if (!IsFieldSpace(*p)) return *p == '{' || *p == ',';
    }
    return false;
}

// The quoted key, cut like a bounded format into 80 bytes would cut it: at most 79 bytes, so a
// name of 78 bytes or more loses its closing quote. Every name the bridge uses is far shorter.
std::size_t QuoteKey(const char* name, char (&pattern)[80]) {
    std::size_t length = 0;
    pattern[length++] = '"';
    while (*name != '\0' && length < sizeof pattern - 1) pattern[length++] = *name++;
    if (length < sizeof pattern - 1) pattern[length++] = '"';
    pattern[length] = '\0';
    return length;
}

// The end of the quoted key `name` if it starts at `quote`, else null: the same pattern QuoteKey
// makes, compared in place. The compare stops at the first difference, and the line's
// terminating zero differs from every name byte, so it never reads past the line.
const char* MatchKey(const char* quote, const char* name) {
    constexpr std::size_t kCut = 78;  // QuoteKey's 79 bytes less the opening quote
    const char* p = quote + 1;
    std::size_t i = 0;
    for (; i < kCut && name[i] != '\0'; ++i) {
        if (p[i] != name[i]) return nullptr;
    }
    if (i == kCut) return p + i;  // cut: no closing quote
    return p[i] == '"' ? p + i + 1 : nullptr;
}

// After a key: across whitespace the ':', then spaces and tabs. Null when there is no colon.
const char* ValueAfterKey(const char* p) {
    while (IsFieldSpace(*p)) ++p;
    if (*p != ':') return nullptr;
    ++p;
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

// The first '"' at or after `from` among the line's `length` bytes, or null.
const char* NextQuote(const char* line, const char* from, std::size_t length) {
    const auto rest = length - static_cast<std::size_t>(from - line);
    return static_cast<const char*>(std::memchr(from, '"', rest));
}

}  // namespace

const char* FindValue(const char* line, const char* name) {
    char pattern[80];
    const std::size_t patternLength = QuoteKey(name, pattern);

    for (const char* hit = std::strstr(line, pattern); hit != nullptr;
         hit = std::strstr(hit + 1, pattern)) {
        if (!StartsKey(line, hit)) continue;
        const char* p = hit + patternLength;
        while (IsFieldSpace(*p)) ++p;
        if (*p != ':') continue;
        ++p;
        while (*p == ' ' || *p == '\t') ++p;
        return p;
    }
    return nullptr;
}

// Every occurrence of a quoted name begins at a '"', so trying each wanted name at each quote, in
// the line's order, meets the occurrences FindValue's search meets in the same order, overlapping
// ones included, and keeps the first acceptable one per name. memchr takes the line from quote to
// quote within its length, so nothing past the terminator is read. A quote is tried only when the
// byte after it is the first byte of a wanted key's pattern (a quote, for the empty name), and
// whether it can start a key, which does not depend on the name, is asked once.
void FindValues(const char* line, const char* const* names, int count, const char** values) {
    if (count > kMaxKeys) count = kMaxKeys;
    uint64_t firstBytes[4] = {0, 0, 0, 0};
    for (int i = 0; i < count; ++i) {
        const auto first = static_cast<unsigned char>(names[i][0] != '\0' ? names[i][0] : '"');
        firstBytes[first / 64] |= uint64_t{1} << (first % 64);
        values[i] = nullptr;
    }
    int missing = count;
    const std::size_t length = std::strlen(line);
    for (const char* quote = NextQuote(line, line, length); quote != nullptr && missing > 0;
         quote = NextQuote(line, quote + 1, length)) {
        const auto next = static_cast<unsigned char>(quote[1]);
        if ((firstBytes[next / 64] >> (next % 64) & 1) == 0 || !StartsKey(line, quote)) continue;
        for (int i = 0; i < count; ++i) {
            if (values[i] != nullptr) continue;
            const char* keyEnd = MatchKey(quote, names[i]);
            const char* value = keyEnd != nullptr ? ValueAfterKey(keyEnd) : nullptr;
            if (value == nullptr) continue;
            values[i] = value;
            --missing;
        }
    }
}

bool ReadString(const char* line, const char* name, char* destination, std::size_t capacity) {
    return ReadStringAt(FindValue(line, name), destination, capacity);
}

bool ReadStringAt(const char* p, char* destination, std::size_t capacity) {
    if (capacity == 0) return false;
    if (p == nullptr || *p != '"') return false;
    ++p;

    std::size_t written = 0;
    while (*p != '\0' && *p != '"' && written < capacity - 1) {
        char out = *p;
        if (out == '\\') {
            switch (p[1]) {
                case '"':
                    out = '"';
                    break;
                case '\\':
                    out = '\\';
                    break;
                case 'n':
                    out = '\n';
                    break;
                case 't':
                    out = '\t';
                    break;
                default:
                    destination[written] = '\0';
                    return false;
            }
            p += 2;
        } else {
            ++p;
        }
        destination[written++] = out;
    }
    destination[written] = '\0';
    return *p == '"';
}

double ReadNumber(const char* line, const char* name, double fallback) {
    return ReadNumberAt(FindValue(line, name), fallback);
}

double ReadNumberAt(const char* p, double fallback) {
    if (p == nullptr) return fallback;
    const char* end = nullptr;
    const double value = ConvertNumber(p, &end);
    if (end == p || !std::isfinite(value)) return fallback;
    return value;
}

bool ReadBool(const char* line, const char* name) {
    const char* p = FindValue(line, name);
    return p != nullptr && std::strncmp(p, "true", 4) == 0;
}

}  // namespace padbridge
