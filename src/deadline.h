// When the loop must next run a timer, as an absolute tick. Every owner of a timer answers with
// one of these, and the loop sleeps until the earliest (or until input or a request wakes it).
#pragma once

#include <cstdint>

namespace padbridge {

inline constexpr uint64_t kNoDeadline = ~uint64_t{0};  // nothing to do until something arrives
inline constexpr uint64_t kRightAway = 0;              // work is waiting now

inline constexpr uint64_t EarlierOf(uint64_t a, uint64_t b) {
    return a < b ? a : b;
}

// The later of two stamps: what a lapse counts from when a waiting line may keep what it judges.
inline constexpr uint64_t LaterOf(uint64_t a, uint64_t b) {
    return a > b ? a : b;
}

// The tick at which a limit of "more than `limitMs`" since `since` is reached.
inline constexpr uint64_t AfterLimit(uint64_t since, uint64_t limitMs) {
    return since + limitMs + 1;
}

// Whether more than `limitMs` have passed from `since` to `now`. A stamp taken after `now` (by a
// handler that ran after the loop took its tick) has not lapsed: the difference must not wrap.
inline constexpr bool LimitPassed(uint64_t since, uint64_t now, uint64_t limitMs) {
    return now >= AfterLimit(since, limitMs);
}

}  // namespace padbridge
