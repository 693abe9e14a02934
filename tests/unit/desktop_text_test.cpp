// Text typing, and the UTF-8 conversion it relies on as the simulated machine answers it (the
// simulation has to refuse exactly what Windows refuses, or the text tests prove nothing).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/os.h"
#include "session.h"

namespace padbridge {
namespace {

using sim::KeyEvent;
using test::Session;
using Events = std::vector<std::string>;

constexpr uint32_t kUtf8 = 65001;
constexpr uint32_t kStrict = 0x8;  // MB_ERR_INVALID_CHARS

// Events for typing these UTF-16 units: press and release of each, in order.
Events Typed(const std::u16string& units) {
    Events events;
    for (char16_t unit : units) {
        events.push_back(KeyEvent(0, static_cast<uint16_t>(unit), 4));
        events.push_back(KeyEvent(0, static_cast<uint16_t>(unit), 6));
    }
    return events;
}

// `value` goes between the quotes of `text` as is: raw UTF-8 and the line's own escapes.
Events TypeText(const std::string& value) {
    Session session;
    sim::SendLine(0, R"({"type":"system-permission","enabled":true})");
    sim::SendLine(0, R"({"type":"system","action":"text","text":")" + value + "\"}");
    sim::CloseInput(10);
    session.Run();
    return sim::InjectedEvents();
}

TEST(DesktopTextTest, EachUnitIsPressedAndReleased) {
    const std::pair<std::string, std::u16string> cases[] = {
        {R"(a\nb)", u"a\nb"},
        {R"(\t\"\\)", u"\t\"\\"},
        {"\xC3\xA9", u"\u00E9"},                // é as raw UTF-8
        {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},  // U+1F600: high then low surrogate
        {"x\xE2\x82\xACy", u"x\u20ACy"},        // €
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},  // U+10FFFF, the last code point
        {"", u""},                              // nothing to type
        {R"(\u00e9)", u""},                     // escapes beyond \" \\ \n \t refuse the text
        {"\xC3\x28", u""},                      // invalid UTF-8 sends nothing at all
        {"ok\xED\xA0\x80", u""},                // an encoded surrogate, after good text
        {"ok\xC0\xAF", u""},                    // overlong
        {"ok\xF0\x9F\x98", u""},                // truncated at the closing quote
        {"\x80", u""},                          // stray continuation byte
    };
    for (const auto& [value, units] : cases) EXPECT_EQ(TypeText(value), Typed(units)) << value;
}

TEST(DesktopTextTest, OutsideTheBmpIsFourEventsInOrder) {
    EXPECT_EQ(TypeText("\xF0\x9F\x98\x80"),
              (Events{KeyEvent(0, 0xD83D, 4), KeyEvent(0, 0xD83D, 6), KeyEvent(0, 0xDE00, 4),
                      KeyEvent(0, 0xDE00, 6)}));
}

TEST(DesktopTextTest, LimitIs1024BytesAfterUnescaping) {
    EXPECT_EQ(TypeText(std::string(1024, 'k')).size(), 2048u);
    EXPECT_TRUE(TypeText(std::string(1025, 'k')).empty());
    // 1023 bytes and one escape: 1025 bytes on the wire, 1024 after unescaping.
    EXPECT_EQ(TypeText(std::string(1023, 'k') + R"(\n)").size(), 2048u);
    EXPECT_TRUE(TypeText(std::string(1024, 'k') + R"(\n)").empty());

    std::string emoji;
    for (int i = 0; i < 256; ++i) emoji += "\xF0\x9F\x98\x80";  // 1024 bytes, 512 units
    std::u16string pairs;
    for (int i = 0; i < 256; ++i) pairs += u"\xD83D\xDE00";
    EXPECT_EQ(TypeText(emoji), Typed(pairs));
}

TEST(DesktopTextTest, LeavesNothingHeld) {
    Session session;
    sim::SendLine(0, R"({"type":"system-permission","enabled":true})");
    sim::SendLine(0, R"({"type":"system","action":"text","text":"Aa"})");
    sim::SendLine(0, R"({"type":"system","action":"release"})");
    sim::CloseInput(10);
    session.Run();
    EXPECT_EQ(sim::InjectedEvents(), Typed(u"Aa"));  // no release of the letter keys afterwards
}

// ---- The simulated MultiByteToWideChar ----

struct Conversion {
    std::string bytes;
    std::u16string units;  // without the terminator; empty with ok false means it fails
    bool ok;
};

TEST(SimUtf8Test, StrictConversionAcceptsExactlyWellFormedUtf8) {
    const Conversion cases[] = {
        {"\x7F", u"\x7F", true},
        {"\xC2\x80", u"\x80", true},
        {"\xDF\xBF", u"\x7FF", true},
        {"\xE0\xA0\x80", u"\x800", true},
        {"\xED\x9F\xBF", u"\xD7FF", true},
        {"\xEE\x80\x80", u"\xE000", true},
        {"\xEF\xBF\xBF", u"\xFFFF", true},
        {"\xF0\x90\x80\x80", u"\xD800\xDC00", true},
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF", true},
        {"\xC0\x80", u"", false},          // overlong NUL
        {"\xC1\xBF", u"", false},          // overlong
        {"\xE0\x9F\xBF", u"", false},      // overlong three-byte
        {"\xF0\x8F\xBF\xBF", u"", false},  // overlong four-byte
        {"\xED\xA0\x80", u"", false},      // U+D800
        {"\xED\xBF\xBF", u"", false},      // U+DFFF
        {"\xF4\x90\x80\x80", u"", false},  // U+110000
        {"\xF5\x80\x80\x80", u"", false},
        {"\xFF", u"", false},
        {"\x80", u"", false},
        {"a\xBF", u"", false},
        {"\xE2\x82", u"", false},  // truncated by the terminator
        {"\xE2\x82x", u"", false},
        {"\xC3\xA9\xC3", u"", false},
    };
    for (const Conversion& c : cases) {
        sim::Reset();
        char16_t out[16];
        const int count = os::MultiByteToWideChar(kUtf8, kStrict, c.bytes.c_str(), -1, out, 16);
        if (!c.ok) {
            EXPECT_EQ(count, 0) << c.bytes;
            EXPECT_EQ(os::GetLastError(), 1113u) << c.bytes;
            continue;
        }
        ASSERT_EQ(count, static_cast<int>(c.units.size()) + 1) << c.bytes;  // the terminator counts
        EXPECT_EQ(std::u16string(out, c.units.size()), c.units) << c.bytes;
        EXPECT_EQ(out[c.units.size()], 0) << c.bytes;
    }
}

TEST(SimUtf8Test, LengthsCapacitiesAndReplacement) {
    sim::Reset();
    char16_t out[8] = {};
    // An explicit length stops short of the terminator and may cut through a sequence.
    EXPECT_EQ(os::MultiByteToWideChar(kUtf8, kStrict, "ab", 2, out, 8), 2);
    EXPECT_EQ(os::MultiByteToWideChar(kUtf8, kStrict, "\xC3\xA9", 1, out, 8), 0);
    EXPECT_EQ(os::GetLastError(), 1113u);
    // Capacity 0 asks for the size; too small a buffer fails with 122.
    EXPECT_EQ(os::MultiByteToWideChar(kUtf8, kStrict, "\xF0\x9F\x98\x80", -1, nullptr, 0), 3);
    EXPECT_EQ(os::MultiByteToWideChar(kUtf8, kStrict, "\xF0\x9F\x98\x80", -1, out, 2), 0);
    EXPECT_EQ(os::GetLastError(), 122u);
    EXPECT_EQ(os::MultiByteToWideChar(kUtf8, kStrict, "abc", -1, out, 3), 0);  // no room for 0
    EXPECT_EQ(os::GetLastError(), 122u);
    // Bad arguments.
    EXPECT_EQ(os::MultiByteToWideChar(kUtf8, kStrict, "a", 0, out, 8), 0);
    EXPECT_EQ(os::GetLastError(), 87u);
    EXPECT_EQ(os::MultiByteToWideChar(kUtf8, 0x1, "a", -1, out, 8), 0);
    EXPECT_EQ(os::GetLastError(), 1004u);
    // Without the strict flag each ill-formed piece becomes one U+FFFD.
    ASSERT_EQ(os::MultiByteToWideChar(kUtf8, 0, "\xE2\x82x\x80", -1, out, 8), 4);
    EXPECT_EQ(std::u16string(out, 3), u"\xFFFDx\xFFFD");
}

}  // namespace
}  // namespace padbridge
