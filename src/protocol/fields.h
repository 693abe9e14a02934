// Field readers over one received line. There is no general JSON parser: every handler pulls the
// few fields it needs by key search in the raw, zero-terminated line.
#pragma once

#include <cstddef>

namespace padbridge {

// Finds the value of the key `name` (bare, without quotes): the first occurrence of "name" that is
// preceded, across whitespace, by '{' or ',' and followed, across whitespace, by ':'. Returns the
// position after the colon and any spaces and tabs (possibly the terminating zero), or null.
const char* FindValue(const char* line, const char* name);

// The most names one FindValues call looks for.
constexpr int kMaxKeys = 16;

// Sets values[i] to what FindValue(line, names[i]) returns, for each of the first `count` names
// (at most kMaxKeys; further ones are not looked at), in one walk over the line's quotes.
void FindValues(const char* line, const char* const* names, int count, const char** values);

// Reads a string value into `destination` (capacity bytes, terminator included). Only the escapes
// \" \\ \n \t are understood; any other escape, a missing closing quote or a value longer than
// capacity - 1 bytes fails. On failure the destination may hold a partial copy.
bool ReadString(const char* line, const char* name, char* destination, std::size_t capacity);
// The same at a value FindValue or FindValues found (null: absent).
bool ReadStringAt(const char* value, char* destination, std::size_t capacity);

// Reads a number with strtod at the value. Absent, unconvertible or non-finite gives `fallback`.
double ReadNumber(const char* line, const char* name, double fallback);
double ReadNumberAt(const char* value, double fallback);

// True exactly when the value's first four bytes are `true`.
bool ReadBool(const char* line, const char* name);

}  // namespace padbridge
