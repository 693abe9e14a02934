#include "protocol/number.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace padbridge {
namespace {

// The exact paths below count on every double operation rounding to double once (SSE2 on x86-64,
// never x87's wider registers).
static_assert(FLT_EVAL_METHOD == 0);

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
    // Assembled little-endian whatever the machine's byte order; compilers make this one load.
    uint64_t chunk = 0;
    for (int i = 7; i >= 0; --i) chunk = chunk << 8 | static_cast<unsigned char>(p[i]);
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

// Veltkamp's split: `a` as high + low, each of at most 26 significant bits, so that products
// of halves are exact.
void Split(double a, double* high, double* low) {
    const double scaled = 134217729.0 * a;  // 2^27 + 1
    *high = scaled - (scaled - a);
    *low = a - *high;
}

// Mantissas above 2^53 (17 to 19 significant digits, which hosts print often) with a fraction
// of 1 to 22 digits. The quotient of the rounded mantissa by the exact power of ten lies within
// about an ulp of the true value; it is kept only when the exact remainder, found with Dekker's
// error-free product, proves it the nearest double, clear of any tie. Otherwise the general
// path decides. No rounding mode or contraction can change the products: all of them are exact.
bool ConvertLongMantissa(uint64_t mantissa, std::ptrdiff_t fraction, double* magnitude) {
    const double high = static_cast<double>(mantissa);  // correctly rounded, below 2^64
    // The rounding took at most 2^10 off or on: exact as an integer and as a double.
    const auto rest = static_cast<int64_t>(mantissa - static_cast<uint64_t>(high));
    const double power = kExactPowers[fraction];
    const double candidate = high / power;

    uint64_t bits = 0;
    std::memcpy(&bits, &candidate, sizeof bits);
    constexpr uint64_t kFractionBits = (uint64_t{1} << 52) - 1;
    // A power of two has a nearer neighbour below than above: left to the general path.
    if ((bits & kFractionBits) == 0) return false;
    // Half an ulp of the candidate, a power of two (the candidate is far from subnormal here).
    const uint64_t halfUlpBits = ((bits >> 52) - 53) << 52;
    double halfUlp = 0;
    std::memcpy(&halfUlp, &halfUlpBits, sizeof halfUlp);

    // candidate * power == product + error, exactly.
    double candidateHigh = 0, candidateLow = 0, powerHigh = 0, powerLow = 0;
    Split(candidate, &candidateHigh, &candidateLow);
    Split(power, &powerHigh, &powerLow);
    const double product = candidate * power;
    const double error = ((candidateHigh * powerHigh - product) + candidateHigh * powerLow +
                          candidateLow * powerHigh) +
                         candidateLow * powerLow;
    // mantissa - candidate * power. high - product is exact (they are within a factor of two);
    // the rest errs by far less than the margin below.
    const double remainder = (high - product) + (static_cast<double>(rest) - error);
    // Nearest when |mantissa / power - candidate| < half an ulp.
    const double limit = power * halfUlp;
    if (std::fabs(remainder) >= limit - limit * 0x1p-30) return false;
    *magnitude = candidate;
    return true;
}

// Decimals without exponent ("0.25", "-1", "0.7071", "0.12549019607843137"): at most 19 digits
// and at most 22 of them after the point. When the digits form an integer of at most 2^53, both
// operands of the division are exact and IEEE division rounds once, correctly, which is what
// strtod gives; larger integers go through ConvertLongMantissa. False leaves it to the general
// paths. `p` is after the sign.
bool ConvertShortDecimal(const char* p, bool negative, double* value, const char** end) {
    // The whole part is mostly one digit ("0", "1"): a plain loop; the fraction can be long.
    uint64_t mantissa = 0;
    const char* digitsStart = p;
    for (; IsDigit(*p); ++p) mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
    std::ptrdiff_t digits = p - digitsStart;
    std::ptrdiff_t fraction = 0;
    if (*p == '.') {
        const char* fractionStart = ++p;
        p = AppendDigits(p, &mantissa);
        fraction = p - fractionStart;
        digits += fraction;
    }
    // An exponent or a hexadecimal prefix ("0x") needs the general paths.
    const char folded = static_cast<char>(*p | 0x20);  // 'E' to 'e', 'X' to 'x'
    if (digits == 0 || folded == 'e' || folded == 'x') return false;
    if (digits > kMaxMantissaDigits || fraction > kMaxExactPower) return false;
    // Integers ("0", "1", "-1": most button values) need no division; a 64-bit integer
    // converts correctly rounded.
    double magnitude = static_cast<double>(mantissa);
    if (fraction != 0) {
        if (mantissa <= kMaxExactMantissa) {
            magnitude /= kExactPowers[fraction];
        } else if (!ConvertLongMantissa(mantissa, fraction, &magnitude)) {
            return false;
        }
    }
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
