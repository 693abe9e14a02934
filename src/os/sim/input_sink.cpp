// The simulated input stream and text conversion.
#include "os/sim/input_sink.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "os/sim/sim.h"

namespace sim {
namespace {

// Marks the bytes of one member as named, so DescribeEvent can tell them from the zero fill.
template <typename T>
void Name(bool* named, std::size_t offset) {
    for (std::size_t i = 0; i < sizeof(T); ++i) named[offset + i] = true;
}

constexpr uint32_t kMouseMove = 0x1;
constexpr uint32_t kMouseVirtualDesk = 0x4000;
constexpr uint32_t kMouseAbsolute = 0x8000;

int32_t ClampTo(int64_t value, int32_t low, int32_t size) {
    if (value < low) return low;
    if (value > int64_t{low} + size - 1) return low + size - 1;
    return static_cast<int32_t>(value);
}

// An absolute coordinate outside 0..65535 is taken as it is and the result clamped, so a stray
// value shows as a pointer pinned to an edge.
int64_t AbsoluteToPixel(int32_t coordinate, int32_t low, int32_t size) {
    int64_t scaled = int64_t{coordinate} * size;
    // Rounded toward negative infinity, for negative coordinates too.
    int64_t pixel = scaled >= 0 ? scaled / 65536 : -((-scaled + 65535) / 65536);
    return low + pixel;
}

// Moves the simulated pointer for one accepted mouse record.
void MovePointer(InputSink& sink, const os::MouseInput& mi) {
    if ((mi.dwFlags & kMouseMove) == 0) return;
    const ScreenRect& desk = sink.virtualDesktop;
    int64_t x = 0;
    int64_t y = 0;
    if ((mi.dwFlags & kMouseAbsolute) != 0) {
        const ScreenRect& area =
            (mi.dwFlags & kMouseVirtualDesk) != 0 ? sink.virtualDesktop : sink.primaryMonitor;
        x = AbsoluteToPixel(mi.dx, area.left, area.width);
        y = AbsoluteToPixel(mi.dy, area.top, area.height);
    } else {
        x = int64_t{sink.cursor.x} + mi.dx;
        y = int64_t{sink.cursor.y} + mi.dy;
    }
    sink.cursor = {ClampTo(x, desk.left, desk.width), ClampTo(y, desk.top, desk.height)};
}

}  // namespace

std::array<uint16_t, 256> UsLayoutScanCodes() {
    std::array<uint16_t, 256> scan{};
    // The letters and digits have their ASCII capitals as virtual keys.
    static const uint8_t kLetters[26] = {0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17,
                                         0x24, 0x25, 0x26, 0x32, 0x31, 0x18, 0x19, 0x10, 0x13,
                                         0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};
    static const uint8_t kDigits[10] = {0x0B, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
    for (std::size_t i = 0; i < 26; ++i) scan['A' + i] = kLetters[i];
    for (std::size_t i = 0; i < 10; ++i) scan['0' + i] = kDigits[i];
    struct Pair {
        uint8_t vk;
        uint8_t scan;
    };
    static const Pair kOthers[] = {
        {0x08, 0x0E}, {0x09, 0x0F}, {0x0D, 0x1C}, {0x10, 0x2A}, {0x11, 0x1D}, {0x12, 0x38},
        {0x14, 0x3A}, {0x1B, 0x01}, {0x20, 0x39}, {0x21, 0x49}, {0x22, 0x51}, {0x23, 0x4F},
        {0x24, 0x47}, {0x25, 0x4B}, {0x26, 0x48}, {0x27, 0x4D}, {0x28, 0x50}, {0x2C, 0x54},
        {0x2D, 0x52}, {0x2E, 0x53}, {0x5B, 0x5B}, {0x5C, 0x5C}, {0x5D, 0x5D}, {0x60, 0x52},
        {0x61, 0x4F}, {0x62, 0x50}, {0x63, 0x51}, {0x64, 0x4B}, {0x65, 0x4C}, {0x66, 0x4D},
        {0x67, 0x47}, {0x68, 0x48}, {0x69, 0x49}, {0x6A, 0x37}, {0x6B, 0x4E}, {0x6D, 0x4A},
        {0x6E, 0x53}, {0x6F, 0x35}, {0x70, 0x3B}, {0x71, 0x3C}, {0x72, 0x3D}, {0x73, 0x3E},
        {0x74, 0x3F}, {0x75, 0x40}, {0x76, 0x41}, {0x77, 0x42}, {0x78, 0x43}, {0x79, 0x44},
        {0x7A, 0x57}, {0x7B, 0x58}, {0x90, 0x45}, {0x91, 0x46}, {0xA0, 0x2A}, {0xA1, 0x36},
        {0xA2, 0x1D}, {0xA3, 0x1D}, {0xA4, 0x38}, {0xA5, 0x38}, {0xAD, 0x20}, {0xAE, 0x2E},
        {0xAF, 0x30}, {0xB0, 0x19}, {0xB1, 0x10}, {0xB3, 0x22}, {0xBA, 0x27}, {0xBB, 0x0D},
        {0xBC, 0x33}, {0xBD, 0x0C}, {0xBE, 0x34}, {0xBF, 0x35}, {0xC0, 0x29}, {0xDB, 0x1A},
        {0xDC, 0x2B}, {0xDD, 0x1B}, {0xDE, 0x28},
    };
    for (const Pair& pair : kOthers) scan[pair.vk] = pair.scan;
    return scan;
}

std::string KeyEvent(uint16_t vk, uint16_t scan, uint32_t flags) {
    char text[64];
    std::snprintf(text, sizeof text, "key vk=0x%02X scan=0x%04X flags=0x%X", vk, scan, flags);
    return text;
}

std::string MouseEvent(int32_t dx, int32_t dy, int32_t data, uint32_t flags) {
    char text[80];
    std::snprintf(text, sizeof text, "mouse dx=%d dy=%d data=%d flags=0x%X", dx, dy, data, flags);
    return text;
}

std::string DescribeEvent(const InjectedEvent& event) {
    os::InputRecord record;
    std::memcpy(&record, event.bytes, sizeof record);
    bool named[sizeof record] = {};
    Name<uint32_t>(named, offsetof(os::InputRecord, type));
    std::string text;
    if (record.type == 1) {
        const std::size_t base = offsetof(os::InputRecord, ki);
        Name<uint16_t>(named, base + offsetof(os::KeyboardInput, wVk));
        Name<uint16_t>(named, base + offsetof(os::KeyboardInput, wScan));
        Name<uint32_t>(named, base + offsetof(os::KeyboardInput, dwFlags));
        text = KeyEvent(record.ki.wVk, record.ki.wScan, record.ki.dwFlags);
    } else if (record.type == 0) {
        const std::size_t base = offsetof(os::InputRecord, mi);
        Name<int32_t>(named, base + offsetof(os::MouseInput, dx));
        Name<int32_t>(named, base + offsetof(os::MouseInput, dy));
        Name<uint32_t>(named, base + offsetof(os::MouseInput, mouseData));
        Name<uint32_t>(named, base + offsetof(os::MouseInput, dwFlags));
        text = MouseEvent(record.mi.dx, record.mi.dy, static_cast<int32_t>(record.mi.mouseData),
                          record.mi.dwFlags);
    } else {
        text = "type=" + std::to_string(record.type);
    }
    for (std::size_t i = 0; i < sizeof record; ++i) {
        if (!named[i] && event.bytes[i] != 0) return text + " dirty";
    }
    return text;
}

std::vector<std::string> InjectedEvents() {
    std::vector<std::string> described;
    for (const InjectedEvent& event : Current().input.events)
        described.push_back(DescribeEvent(event));
    return described;
}

}  // namespace sim

// ---- Text conversion: UTF-8 to UTF-16 as Windows does it for CP_UTF8 ----
namespace {

constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidFlags = 1004;
constexpr uint32_t kErrorNoUnicodeTranslation = 1113;
constexpr char16_t kReplacement = 0xFFFD;

bool InRange(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

// Decodes one well-formed UTF-8 sequence at `s` (n bytes left). On success returns its length and
// the code point. On failure returns 0 and sets `skip` to the length of the maximal ill-formed
// subpart (at least 1): that is what a replacement character stands for.
std::size_t DecodeOne(const unsigned char* s, std::size_t n, uint32_t* codePoint,
                      std::size_t* skip) {
    const unsigned char lead = s[0];
    *skip = 1;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range allowed for the second byte
    if (InRange(lead, 0xC2, 0xDF)) {
        length = 2;
    } else if (InRange(lead, 0xE0, 0xEF)) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // encoded surrogates U+D800..U+DFFF
    } else if (InRange(lead, 0xF0, 0xF4)) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;  // a stray continuation byte, C0/C1 (always overlong) or F5..FF
    }
    uint32_t value = lead & (0xFFu >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        const bool ok = i < n && (i == 1 ? InRange(s[i], low, high) : InRange(s[i], 0x80, 0xBF));
        if (!ok) {
            *skip = i;
            return 0;
        }
        value = (value << 6) | (s[i] & 0x3Fu);
    }
    *codePoint = value;
    return length;
}

}  // namespace

namespace os {

using sim::Current;

uint32_t SendInput(uint32_t count, const InputRecord* records, int recordSize) {
    sim::Machine& m = Current();
    const auto slow = m.input.slowCalls.find(static_cast<uint32_t>(m.input.calls.size()));
    m.input.calls.push_back({count, recordSize});
    if (records == nullptr || recordSize != static_cast<int>(sizeof(InputRecord))) {
        m.lastError = kErrorInvalidParameter;
        return 0;
    }
    if (m.input.refuse) {
        m.lastError = 5;  // ERROR_ACCESS_DENIED
        return 0;
    }
    for (const sim::Refusal& refusal : m.input.refusals) {
        const uint64_t at = sim::Elapsed();
        if (at >= refusal.from && at < refusal.until) {
            m.lastError = refusal.win32Error;
            return 0;
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        sim::InjectedEvent event{sim::Elapsed(), m.handed.size(), {}};
        std::memcpy(event.bytes, &records[i], sizeof event.bytes);
        m.input.events.push_back(event);
        if (records[i].type == 0) sim::MovePointer(m.input, records[i].mi);
    }
    if (slow != m.input.slowCalls.end()) m.now += slow->second;
    return count;
}

// Only MAPVK_VK_TO_VSC is modelled; the other translations answer 0, as for an unmapped key.
uint32_t MapVirtualKeyW(uint32_t code, uint32_t mapType) {
    if (mapType != kMapVkToVsc || code > 0xFF) return 0;
    return Current().input.scanCodes[code];
}

// Strict when asked for MB_ERR_INVALID_CHARS (overlong forms, encoded surrogates, values above
// U+10FFFF, truncated sequences and stray continuation bytes all fail with 1113); otherwise each
// ill-formed piece becomes U+FFFD. A source length of -1 converts up to and including the
// terminator. A capacity of 0 asks for the size needed; a smaller one fails with 122.
int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* source, int sourceLength,
                        WideChar* destination, int destinationCapacity) {
    sim::Machine& m = Current();
    if (codePage != kCodePageUtf8 || source == nullptr || sourceLength == 0 || sourceLength < -1 ||
        destinationCapacity < 0 || (destination == nullptr && destinationCapacity != 0)) {
        m.lastError = kErrorInvalidParameter;
        return 0;
    }
    if ((flags & ~kErrInvalidChars) != 0) {
        m.lastError = kErrorInvalidFlags;
        return 0;
    }
    const std::size_t length =
        sourceLength == -1 ? std::strlen(source) + 1 : static_cast<std::size_t>(sourceLength);
    const auto* bytes = reinterpret_cast<const unsigned char*>(source);
    std::size_t written = 0;
    bool tooSmall = false;
    const auto put = [&](char16_t unit) {
        if (destinationCapacity != 0) {
            if (written >= static_cast<std::size_t>(destinationCapacity)) {
                tooSmall = true;
                return;
            }
            destination[written] = unit;
        }
        ++written;
    };
    for (std::size_t at = 0; at < length && !tooSmall;) {
        uint32_t codePoint = 0;
        std::size_t skip = 1;
        const std::size_t used = DecodeOne(bytes + at, length - at, &codePoint, &skip);
        if (used == 0) {
            if ((flags & kErrInvalidChars) != 0) {
                m.lastError = kErrorNoUnicodeTranslation;
                return 0;
            }
            put(kReplacement);
            at += skip;
            continue;
        }
        if (codePoint >= 0x10000) {
            put(static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10)));
            put(static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF)));
        } else {
            put(static_cast<char16_t>(codePoint));
        }
        at += used;
    }
    if (tooSmall) {
        m.lastError = kErrorInsufficientBuffer;
        return 0;
    }
    return static_cast<int>(written);
}

}  // namespace os
