// The four field readers against a small model written here from the protocol's rules, on
// arbitrary lines, names and capacities; and the one-walk key index against FindValue, for the
// bridge's own keys and the input's name together.
//
// Input: two bytes of capacity (little-endian, taken modulo 2050), then the key name up to the
// first line feed, then the line. The line is copied into a block of exactly its length plus the
// terminator, and every destination is exactly `capacity` bytes, so any read past the zero or any
// write past the capacity is a sanitizer report.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/fields.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The key as the readers search for it: quote, name, quote, cut to 79 bytes.
std::string Pattern(const std::string& name) {
    return ("\"" + name + "\"").substr(0, 79);
}

// Offset of the value of `name` in `line`, or -1.
long ModelFind(const std::string& line, const std::string& name) {
    const std::string pattern = Pattern(name);
    for (std::size_t at = line.find(pattern); at != std::string::npos;
         at = line.find(pattern, at + 1)) {
        std::size_t before = at;
        while (before > 0 && IsSpace(line[before - 1])) --before;
        if (before == 0 || (line[before - 1] != '{' && line[before - 1] != ',')) continue;
        std::size_t after = at + pattern.size();
        while (after < line.size() && IsSpace(line[after])) ++after;
        if (after >= line.size() || line[after] != ':') continue;
        ++after;
        while (after < line.size() && (line[after] == ' ' || line[after] == '\t')) ++after;
        return static_cast<long>(after);
    }
    return -1;
}

// The unescaped string value, or false for no string, a bad escape or no closing quote.
bool ModelString(const std::string& line, const std::string& name, std::string* text) {
    const long found = ModelFind(line, name);
    if (found < 0) return false;
    const std::size_t at = static_cast<std::size_t>(found);
    if (at >= line.size() || line[at] != '"') return false;
    text->clear();
    for (std::size_t i = at + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') return true;
        if (c != '\\') {
            text->push_back(c);
            continue;
        }
        if (++i == line.size()) return false;
        switch (line[i]) {
            case '"':
                text->push_back('"');
                break;
            case '\\':
                text->push_back('\\');
                break;
            case 'n':
                text->push_back('\n');
                break;
            case 't':
                text->push_back('\t');
                break;
            default:
                return false;
        }
    }
    return false;
}

// The keys the bridge looks up through FindValues, and a few that overlap them; the input's name is
// added as the last.
const char* const kIndexedNames[] = {"type",  "player", "axes", "buttons", "pad",   "gyro",
                                     "accel", "touch",  "t",    "",        "type\""};
constexpr int kIndexedCount = sizeof kIndexedNames / sizeof kIndexedNames[0] + 1;
static_assert(kIndexedCount <= padbridge::kMaxKeys);

void Fail(const char* what) {
    std::fprintf(stderr, "field reader disagrees with the model: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t capacity = (data[0] | static_cast<std::size_t>(data[1]) << 8) % 2050;
    const char* rest = reinterpret_cast<const char*>(data + 2);
    const std::size_t restSize = size - 2;
    const char* feed = static_cast<const char*>(std::memchr(rest, '\n', restSize));
    const std::size_t nameBytes =
        feed != nullptr ? static_cast<std::size_t>(feed - rest) : restSize;
    // The readers see both as zero-terminated strings: each ends at its first zero byte.
    const std::string name(rest, strnlen(rest, nameBytes));
    const char* lineBytes = feed != nullptr ? feed + 1 : rest + restSize;
    const std::size_t lineSize = static_cast<std::size_t>(rest + restSize - lineBytes);

    char* line = static_cast<char*>(std::malloc(lineSize + 1));
    std::memcpy(line, lineBytes, lineSize);
    line[lineSize] = '\0';
    const std::string model(line);

    const char* found = padbridge::FindValue(line, name.c_str());
    const long expected = ModelFind(model, name);
    if (expected < 0 ? found != nullptr : found != line + expected) Fail("find value");

    const char* names[kIndexedCount];
    for (int i = 0; i + 1 < kIndexedCount; ++i) names[i] = kIndexedNames[i];
    names[kIndexedCount - 1] = name.c_str();
    const char* values[kIndexedCount];
    padbridge::FindValues(line, names, kIndexedCount, values);
    for (int i = 0; i < kIndexedCount; ++i) {
        if (values[i] != padbridge::FindValue(line, names[i])) Fail("find values");
    }

    char* destination = static_cast<char*>(std::malloc(capacity == 0 ? 1 : capacity));
    std::string text;
    const bool isString = ModelString(model, name, &text);
    const bool fits = isString && capacity > 0 && text.size() <= capacity - 1;
    const bool read = padbridge::ReadString(line, name.c_str(), destination, capacity);
    if (read != fits) Fail("read string: result");
    if (read && (std::memcmp(destination, text.data(), text.size()) != 0 ||
                 destination[text.size()] != '\0')) {
        Fail("read string: text");
    }

    double number = -12345.5;
    if (expected >= 0) {
        char* end = nullptr;
        const double converted = std::strtod(model.c_str() + expected, &end);
        if (end != model.c_str() + expected && std::isfinite(converted)) number = converted;
    }
    const double got = padbridge::ReadNumber(line, name.c_str(), -12345.5);
    if (std::memcmp(&got, &number, sizeof got) != 0) Fail("read number");

    const bool flag =
        expected >= 0 && model.compare(static_cast<std::size_t>(expected), 4, "true") == 0;
    if (padbridge::ReadBool(line, name.c_str()) != flag) Fail("read bool");

    std::free(destination);
    std::free(line);
    return 0;
}
