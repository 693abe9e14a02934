// ConvertNumber against the C library's strtod: the same double bit for bit (-0 and NaN payloads
// included) and the same end position, on chosen edges and on many generated inputs. Built for
// both this machine and Windows, so each build is checked against its own runtime's strtod.
#include "protocol/number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace padbridge {
namespace {

uint64_t Bits(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Empty when both agree, else what differs.
std::string Difference(const std::string& text) {
    char* strtodEnd = nullptr;
    const double expected = std::strtod(text.c_str(), &strtodEnd);
    const char* end = nullptr;
    const double got = ConvertNumber(text.c_str(), &end);
    const auto expectedLength = static_cast<long long>(strtodEnd - text.c_str());
    const auto gotLength = static_cast<long long>(end - text.c_str());
    if (Bits(got) == Bits(expected) && gotLength == expectedLength) return {};
    char message[160];
    std::snprintf(message, sizeof message, "got %a (%lld bytes), strtod %a (%lld bytes)", got,
                  gotLength, expected, expectedLength);
    return message;
}

TEST(ConvertNumberTest, AgreesWithStrtodOnEdges) {
    const std::string longDigits(800, '7');
    const char* const cases[] = {
        // Plain decimals, signs and points.
        "0",
        "-0",
        "+0",
        "-0.0",
        "1",
        "-1",
        "0.5",
        "0.25",
        "1.",
        "-1.",
        ".5",
        "-.5",
        ".",
        "-.",
        "-",
        "+",
        "+1",
        "+-1",
        "-+1",
        "--1",
        "",
        "1.5.3",
        "0.5,",
        "1]",
        "1 ",
        "12abc",
        "007",
        // Leading white space of the C locale, and what is not white space there.
        " 1",
        "\t\n\v\f\r-2.5",
        "\x01"
        "1",
        "\xa0"
        "1",
        // Exponents, complete or not.
        "1e5",
        "1E5",
        "1e+5",
        "1e-5",
        "1e",
        "1e+",
        "1e-",
        "1.e5",
        ".5e1",
        "1e5.5",
        "1ee5",
        "0e999999999",
        "1e0000000000000000000000000001",
        // Hexadecimal and its look-alikes.
        "0x10",
        "0X10",
        "-0x1p-2",
        "0x1.8p1",
        "0x",
        "0xg",
        "00x10",
        "1x10",
        "0.x1",
        "0x.8",
        // Words.
        "inf",
        "-inf",
        "INF",
        "infinity",
        "Infinity",
        "infinit",
        "nan",
        "-nan",
        "NaN",
        "nan(123)",
        "nan(",
        "in",
        "na",
        // Range: overflow, the largest finite, subnormals and underflow to zero.
        "1e309",
        "-1e309",
        "1.7976931348623157e308",
        "1.7976931348623158e308",
        "1.7976931348623159e308",
        "2.2250738585072014e-308",
        "2.2250738585072011e-308",
        "4.9406564584124654e-324",
        "2.4703282292062327e-324",
        "2.4703282292062328e-324",
        "1e-400",
        "-1e-400",
        "1e-320",
        // Exactness at the short path's limits: 2^53, 19 digits, 22 fraction digits.
        "9007199254740992",
        "9007199254740993",
        "9007199254740994",
        "9007199254740995",
        "0.9007199254740993",
        "9999999999999999999",
        "99999999999999999999",
        "18446744073709551615",
        "18446744073709551616",
        "0.1234567890123456789012",
        "0.12345678901234567890123",
        "0.0000000000000000000001",
        "0.00000000000000000000001",
        "0.30000000000000004",
        "0.12549019607843137",
        "123456789012345678901234567890",
        "0.003921568859368563",
        "-0.5019607843137255",
        "1733560000123.4",
    };
    for (const char* text : cases) EXPECT_EQ(Difference(text), "") << '"' << text << '"';
    EXPECT_EQ(Difference(longDigits), "");
    EXPECT_EQ(Difference("0." + longDigits), "");
    EXPECT_EQ(Difference("1" + std::string(400, '0')), "");
    EXPECT_EQ(Difference("0." + std::string(400, '0') + "1"), "");
}

// Text built from the pieces strtod cares about, in shapes both plausible and not.
std::string Generated(std::mt19937_64& random) {
    static const char* const kSpaces[] = {"", "", "", " ", "\t", "  "};
    static const char* const kSigns[] = {"", "", "", "-", "+"};
    static const char kAlphabet[] = "0123456789.eE+-xXpPinfatyINF \t,]";
    auto pick = [&random](uint64_t n) { return static_cast<std::size_t>(random() % n); };
    std::string text;
    switch (pick(4)) {
        case 0: {  // a number-shaped string
            text = std::string(kSpaces[pick(6)]) + kSigns[pick(5)];
            const std::size_t whole = pick(4) == 0 ? pick(25) : pick(4);
            for (std::size_t i = 0; i < whole; ++i) text += static_cast<char>('0' + pick(10));
            if (pick(3) != 0) text += '.';
            const std::size_t fraction = pick(3) == 0 ? pick(30) : pick(18);
            for (std::size_t i = 0; i < fraction; ++i) text += static_cast<char>('0' + pick(10));
            if (pick(4) == 0)
                text +=
                    std::string(pick(2) ? "e" : "E") + kSigns[pick(5)] + std::to_string(pick(700));
            break;
        }
        case 1: {  // a double printed the way hosts print them, or in hexadecimal
            uint64_t bits = random();
            double value = 0;
            std::memcpy(&value, &bits, sizeof value);
            char printed[64];
            const int digits = static_cast<int>(pick(17)) + 1;
            if (pick(5) == 0) {
                std::snprintf(printed, sizeof printed, "%a", value);
            } else {
                std::snprintf(printed, sizeof printed, "%.*g", digits,
                              pick(2) ? value
                                      : static_cast<double>(static_cast<float>(
                                            static_cast<double>(random() % 2000001) / 1e6 - 1)));
            }
            text = printed;
            break;
        }
        default: {  // bytes from the alphabet
            const std::size_t length = pick(12);
            for (std::size_t i = 0; i < length; ++i) text += kAlphabet[pick(sizeof kAlphabet - 1)];
            break;
        }
    }
    if (pick(2) == 0) text += kAlphabet[pick(sizeof kAlphabet - 1)];
    return text;
}

TEST(ConvertNumberTest, AgreesWithStrtodOnGeneratedText) {
    std::mt19937_64 random(20261207);
    int failures = 0;
    for (int i = 0; i < 300000 && failures < 10; ++i) {
        const std::string text = Generated(random);
        const std::string difference = Difference(text);
        if (!difference.empty()) {
            ++failures;
            ADD_FAILURE() << '"' << text << "\": " << difference;
        }
    }
}

}  // namespace
}  // namespace padbridge
