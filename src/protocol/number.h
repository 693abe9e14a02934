// Number conversion for the field readers and the `input` arrays.
#pragma once

namespace padbridge {

// Converts the text at `text` exactly as the C library's strtod does in the C locale: the same
// double, bit for bit (-0 included), and the same end position, for every input. Plain decimal
// text, which is what hosts send, takes a fast path that neither allocates nor touches errno's
// meaning for the callers; anything else (leading '+', hexadecimal, the words for infinity and
// NaN, out-of-range values) goes to strtod itself. `*end` is `text` when nothing was converted.
double ConvertNumber(const char* text, const char** end);

}  // namespace padbridge
