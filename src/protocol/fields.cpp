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

bool ReadString(const char* line, const char* name, char* destination, std::size_t capacity) {
    if (capacity == 0) return false;
    const char* p = FindValue(line, name);
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
    const char* p = FindValue(line, name);
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
