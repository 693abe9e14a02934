#include "protocol/number.h"

#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace padbridge {
namespace {

// strtod's leading white space in the C locale.
bool IsCSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Bytes that can belong to a decimal number after its first digit or point.
bool IsDecimalByte(char c) {
    return IsDigit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}

// Exact powers of ten: 10^0 .. 10^22 are all representable in a double.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactPower = 22;
constexpr uint64_t kMaxExactMantissa = uint64_t{1} << 53;
constexpr int kMaxMantissaDigits = 19;  // always fits in 64 bits

// Eight ASCII digits (already checked) as their value, without a chain of dependent steps.
uint64_t EightDigits(const char* p) {
    uint64_t chunk = 0;
    std::memcpy(&chunk, p, sizeof chunk);
    // Byte order independent: assemble the bytes little-endian first.
    if constexpr (std::endian::native == std::endian::big) chunk = __builtin_bswap64(chunk);
    chunk = ((chunk & 0x0F0F0F0F0F0F0F0F) * 2561) >> 8;
    chunk = ((chunk & 0x00FF00FF00FF00FF) * 6553601) >> 16;
    return ((chunk & 0x0000FFFF0000FFFF) * 42949672960001) >> 32;
}

// Appends the decimal digits at `p` to `mantissa` and returns their end. The run is found first
// and then converted eight digits at a time, which keeps the multiplications off the byte loop.
// Wraps on overflow, which the caller detects from the digit count.
const char* AppendDigits(const char* p, uint64_t* mantissa) {
    const char* end = p;
    while (IsDigit(*end)) ++end;
    uint64_t m = *mantissa;
    for (; end - p >= 8; p += 8) m = m * 100000000 + EightDigits(p);
    for (; p != end; ++p) m = m * 10 + static_cast<uint64_t>(*p - '0');
    *mantissa = m;
    return end;
}

// Short decimals without exponent ("0.25", "-1", "0.7071"): when the digits form an integer of
// at most 2^53 and there are at most 22 fraction digits, both operands of the division are exact
// and IEEE division rounds once, correctly, which is what strtod gives. False leaves it to the
// general paths. `p` is after the sign.
bool ConvertShortDecimal(const char* p, bool negative, double* value, const char** end) {
    uint64_t mantissa = 0;
    const char* digitsStart = p;
    p = AppendDigits(p, &mantissa);
    std::ptrdiff_t digits = p - digitsStart;
    std::ptrdiff_t fraction = 0;
    if (*p == '.') {
        const char* fractionStart = ++p;
        p = AppendDigits(p, &mantissa);
        fraction = p - fractionStart;
        digits += fraction;
    }
    // An exponent or a hexadecimal prefix ("0x") needs the general paths.
    if (digits == 0 || *p == 'e' || *p == 'E' || *p == 'x' || *p == 'X') return false;
    if (digits > kMaxMantissaDigits || mantissa > kMaxExactMantissa || fraction > kMaxExactPower) {
        return false;
    }
    const double magnitude = static_cast<double>(mantissa) / kExactPowers[fraction];
    *value = negative ? -magnitude : magnitude;
    *end = p;
    return true;
}

// Everything the short path leaves: long or exponent decimals through from_chars, which takes
// the same decimal grammar as strtod (sign '-' only, no white space) and rounds correctly too;
// the rest, and what from_chars reports as out of range, through strtod itself. Kept out of line
// so the short path stays small.
[[gnu::noinline]] double ConvertGeneral(const char* text, const char* start, const char** end) {
    const char* body = *start == '-' ? start + 1 : start;
    const bool decimal = IsDigit(*body) || (*body == '.' && IsDigit(body[1]));
    const bool hexadecimal = body[0] == '0' && (body[1] == 'x' || body[1] == 'X');
    if (decimal && !hexadecimal) {
        const char* limit = body;
        while (IsDecimalByte(*limit)) ++limit;
        double value = 0.0;
        const std::from_chars_result result = std::from_chars(start, limit, value);
        if (result.ec == std::errc{}) {
            *end = result.ptr;
            return value;
        }
    }
    char* stop = nullptr;
    const double value = std::strtod(text, &stop);
    *end = stop;
    return value;
}

}  // namespace

double ConvertNumber(const char* text, const char** end) {
    const char* start = text;
    while (IsCSpace(*start)) ++start;
    const bool negative = *start == '-';
    double value = 0.0;
    if (ConvertShortDecimal(negative ? start + 1 : start, negative, &value, end)) return value;
    return ConvertGeneral(text, start, end);
}

}  // namespace padbridge
