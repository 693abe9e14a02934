#include "protocol/fields.h"

#include <bit>
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

namespace {

// The wanted keys of one FindValues call and what it has found so far. `firsts` holds, for each
// key, the byte its pattern has after the opening quote (a quote for an empty name), and
// `firstBytes` the same as a set: a quote followed by no such byte starts none of the keys.
struct KeySearch {
    const char* const* names;
    const char** values;
    int count;
    uint32_t missing;  // bit i: names[i] not found yet
    uint64_t firstBytes[4];
    unsigned char firsts[kMaxKeys];
};
static_assert(kMaxKeys <= 32);

// Tries every key not yet found at one quote of the line. Whether a quote can start a key does
// not depend on the name, so that is asked once per quote, and only of quotes that one of the
// names could follow; then only the names with that first byte are compared.
void TryKeysAt(const char* line, const char* quote, KeySearch& search) {
    const auto next = static_cast<unsigned char>(quote[1]);
    if ((search.firstBytes[next / 64] >> (next % 64) & 1) == 0 || !StartsKey(line, quote)) return;
    uint32_t candidates = 0;
    for (int i = 0; i < search.count; ++i)
        candidates |= static_cast<uint32_t>(search.firsts[i] == next) << i;
    for (candidates &= search.missing; candidates != 0; candidates &= candidates - 1) {
        const int i = std::countr_zero(candidates);
        const char* end = MatchKey(quote, search.names[i]);
        const char* value = end != nullptr ? ValueAfterKey(end) : nullptr;
        if (value == nullptr) continue;
        search.values[i] = value;
        search.missing &= ~(uint32_t{1} << i);
    }
}

}  // namespace

// Every occurrence of a quoted name begins at a '"', so trying each wanted name at each quote, in
// the line's order, meets the occurrences FindValue's search meets in the same order, overlapping
// ones included, and keeps the first acceptable one per name. memchr takes the line from quote to
// quote within its length, so nothing past the terminator is read.
void FindValues(const char* line, const char* const* names, int count, const char** values) {
    KeySearch search{names, values, count < kMaxKeys ? count : kMaxKeys, 0, {0, 0, 0, 0}, {}};
    for (int i = 0; i < search.count; ++i) {
        const auto first = static_cast<unsigned char>(names[i][0] != '\0' ? names[i][0] : '"');
        search.firsts[i] = first;
        search.firstBytes[first / 64] |= uint64_t{1} << (first % 64);
        search.missing |= uint32_t{1} << i;
        values[i] = nullptr;
    }
    const std::size_t length = std::strlen(line);
    for (std::size_t at = 0; at < length && search.missing != 0;) {
        const void* quote = std::memchr(line + at, '"', length - at);
        if (quote == nullptr) break;
        TryKeysAt(line, static_cast<const char*>(quote), search);
        at = static_cast<std::size_t>(static_cast<const char*>(quote) - line) + 1;
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
