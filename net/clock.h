// The networking layer's monotonic clock, in nanoseconds, with a seam that
// lets tests move it forward instead of waiting.
// Threads: any.
#pragma once

#include <cstdint>

namespace bh::net {

std::int64_t MonotonicNs();

inline constexpr std::int64_t kNsPerMs = 1000000;
inline constexpr std::int64_t kNsPerSecond = 1000000000;

namespace testing {
// Moves the clock forward by ns for every later reading (process-wide).
void AdvanceClock(std::int64_t ns);
}  // namespace testing

}  // namespace bh::net
