// The millisecond clock of the start-up waits, with a seam for tests.
// The product always runs on the real clock (GetTickCount64 and Sleep);
// tests of the long waits install a fast one.
#pragma once

#include <cstdint>

namespace bh::core {

std::uint64_t TickMs();
void SleepMs(std::uint32_t ms);

namespace testing {
struct Clock {
  std::uint64_t (*tickMs)();
  void (*sleepMs)(std::uint32_t);
};
// Replaces the clock; null fields restore the real one.
void SetClock(Clock clock);
}  // namespace testing

}  // namespace bh::core
