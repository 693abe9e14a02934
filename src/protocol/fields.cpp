#include "protocol/fields.h"

#include <cmath>
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

// The same quoted key as QuoteKey makes, described in place: the name's first `length` bytes
// after the opening quote, then the closing quote when `closed`.
struct KeyPattern {
    const char* name;
    std::size_t length;
    bool closed;
};

KeyPattern DescribeKey(const char* name) {
    constexpr std::size_t kCut = 78;  // QuoteKey's 79 bytes less the opening quote
    std::size_t length = 0;
    while (length < kCut && name[length] != '\0') ++length;
    return {name, length, length < kCut};
}

// Whether the key's pattern starts at `quote`. The compare stops at the first difference, and the
// line's terminating zero differs from every name byte, so it never reads past the line.
bool MatchesKey(const char* quote, const KeyPattern& key) {
    const char* p = quote + 1;
    for (std::size_t i = 0; i < key.length; ++i) {
        if (p[i] != key.name[i]) return false;
    }
    return !key.closed || p[key.length] == '"';
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

// Every occurrence of a quoted name begins at a '"', so trying each wanted name at each quote, in
// the line's order, meets the occurrences FindValue's search meets in the same order, overlapping
// ones included, and keeps the first acceptable one per name. Whether a quote can start a key does
// not depend on the name, so it is asked once per quote, and first: most quotes fail it at the
// byte before.
void FindValues(const char* line, const char* const* names, int count, const char** values) {
    if (count > kMaxKeys) count = kMaxKeys;
    KeyPattern keys[kMaxKeys];
    for (int i = 0; i < count; ++i) {
        keys[i] = DescribeKey(names[i]);
        values[i] = nullptr;
    }
    int missing = count;
    for (const char* quote = std::strchr(line, '"'); quote != nullptr && missing > 0;
         quote = std::strchr(quote + 1, '"')) {
        if (!StartsKey(line, quote)) continue;
        for (int i = 0; i < count; ++i) {
            if (values[i] != nullptr || !MatchesKey(quote, keys[i])) continue;
            const char* value =
                ValueAfterKey(quote + 1 + keys[i].length + (keys[i].closed ? 1 : 0));
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
