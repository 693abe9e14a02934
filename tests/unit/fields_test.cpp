#include "protocol/fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace padbridge {
namespace {

struct FindCase {
    const char* line;
    const char* name;
    const char* expectedRest;  // the text from the returned position on; null for not found
};

TEST(FindValueTest, KeyRules) {
    const std::string name78(78, 'k');  // quoted, 79 bytes: cut before the closing quote
    const std::string line78 = "{\"" + name78 + ":1}";
    const FindCase cases[] = {
        {R"({"type":"input"})", "type", R"("input"})"},
        {R"({ "type" :   "x"})", "type", R"("x"})"},
        {"{\"type\"\t:\t\"x\"}", "type", "\"x\"}"},
        {"{\"type\"\r\n:\"x\"}", "type", "\"x\"}"},
        {R"("type":"probe"})", "type", nullptr},            // no '{' before the key
        {R"(  "type":"probe"})", "type", nullptr},          // only whitespace before it
        {R"({"a":"type","type":"b"})", "type", R"("b"})"},  // a value is skipped
        {R"({"a":"type"})", "type", nullptr},
        {R"({"x":{"type":"deep"}})", "type", R"("deep"}})"},  // any depth
        {R"({"axes":[1,2]})", "axes", "[1,2]}"},
        {R"({"o":{"k":1}})", "o", R"({"k":1}})"},
        {R"({"type":)", "type", ""},                // missing value: the terminating zero
        {R"({"typ\u0065":"x"})", "type", nullptr},  // escaped key names are not recognised
        {R"({"Type":"x"})", "type", nullptr},
        {R"({"type" "x"})", "type", nullptr},
        {R"({"s":"x,"pad":"y"})", "pad", R"("y"})"},       // a quote inside a value begins a key
        {R"({"pad":1,"pad":2})", "pad", R"(1,"pad":2})"},  // the first acceptable one wins
        {R"({"s":"\",\"type\":1"})", "type", nullptr},     // escaped quotes start no key
        {R"({"x":"","":5})", "", "5}"},  // the empty name's two quotes overlap a value's
        {line78.c_str(), name78.c_str(), "1}"},
        {R"({"ty:1,"t":2})", "t", "2}"},  // the closing quote is part of the key
    };
    for (const FindCase& c : cases) {
        // The one-walk index answers as FindValue does, beside keys of its own.
        const char* names[] = {"type", c.name, "pad", "t"};
        const char* values[4];
        FindValues(c.line, names, 4, values);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(values[i], FindValue(c.line, names[i])) << c.line;
        const char* found = FindValue(c.line, c.name);
        if (c.expectedRest == nullptr) {
            EXPECT_EQ(found, nullptr) << c.line;
        } else {
            ASSERT_NE(found, nullptr) << c.line;
            EXPECT_STREQ(found, c.expectedRest) << c.line;
        }
    }
}

struct StringCase {
    const char* line;
    std::size_t capacity;
    bool ok;
    const char* value;  // checked when ok
};

TEST(ReadStringTest, EscapesCapacityAndEnds) {
    const std::string v31(31, 'a');
    const std::string v32(32, 'a');
    const std::string line31 = "{\"t\":\"" + v31 + "\"}";
    const std::string line32 = "{\"t\":\"" + v32 + "\"}";
    const StringCase cases[] = {
        {R"({"t":"abc"})", 32, true, "abc"},         {R"({"t":""})", 32, true, ""},
        {R"({"t":"a\"b"})", 32, true, "a\"b"},       {R"({"t":"a\\b"})", 32, true, "a\\b"},
        {R"({"t":"a\nb\tc"})", 32, true, "a\nb\tc"}, {R"({"t":"caf\u00e9"})", 32, false, nullptr},
        {R"({"t":"a\/b"})", 32, false, nullptr},     {R"({"t":"a\rb"})", 32, false, nullptr},
        {"{\"t\":\"ab\\", 32, false, nullptr},  // backslash at the end of the line
        {R"({"t":"abc)", 32, false, nullptr},   // no closing quote
        {R"({"t":abc})", 32, false, nullptr},   // not a string
        {R"({"t":5})", 32, false, nullptr},          {R"({"u":"abc"})", 32, false, nullptr},
        {line31.c_str(), 32, true, v31.c_str()},     {line32.c_str(), 32, false, nullptr},
        {R"({"t":"ab\"c"})", 5, true, "ab\"c"},  // an escape counts as one byte
        {R"({"t":"ab\"cd"})", 5, false, nullptr},
    };
    for (const StringCase& c : cases) {
        char out[64];
        EXPECT_EQ(ReadString(c.line, "t", out, c.capacity), c.ok) << c.line;
        if (c.ok) {
            EXPECT_STREQ(out, c.value) << c.line;
        }
    }
}

struct NumberCase {
    const char* line;
    double expected;
};

TEST(ReadNumberTest, StrtodRulesAndFallback) {
    const NumberCase cases[] = {
        {R"({"n":3})", 3},      {R"({"n":-2.5e1})", -25},
        {R"({"n": 0x10})", 16}, {R"({"n":3abc})", 3},
        {"{\"n\":7\r", 7},      {R"({"n":"3"})", -1},  // a quoted number is not a number
        {R"({"n":1e999})", -1}, {R"({"n":-1e999})", -1},
        {R"({"n":nan})", -1},   {R"({"n":inf})", -1},
        {R"({"n":x})", -1},     {R"({"m":4})", -1},
        {R"({"n":)", -1},
    };
    for (const NumberCase& c : cases) {
        EXPECT_EQ(ReadNumber(c.line, "n", -1), c.expected) << c.line;
    }
}

TEST(ReadBoolTest, FourBytePrefix) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"b":true})", true},   {R"({"b": true})", true},   {R"({"b":truely})", true},
        {R"({"b":True})", false},  {R"({"b":"true"})", false}, {R"({"b":1})", false},
        {R"({"b":false})", false}, {R"({"c":true})", false},   {R"({"b":tru})", false},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(ReadBool(line, "b"), expected) << line;
}

TEST(FieldReadersTest, ZeroByteHidesTheRest) {
    const char line[] = "{\"a\":1,\0\"b\":2}";
    EXPECT_EQ(ReadNumber(line, "a", -1), 1);
    EXPECT_EQ(ReadNumber(line, "b", -1), -1);
}

}  // namespace
}  // namespace padbridge
