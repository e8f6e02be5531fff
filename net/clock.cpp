#include "net/clock.h"

#include <atomic>
#include <chrono>

namespace bh::net {
namespace {
std::atomic<std::int64_t> g_offsetNs{0};
}

std::int64_t MonotonicNs() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() + g_offsetNs.load(std::memory_order_relaxed);
}

void testing::AdvanceClock(std::int64_t ns) { g_offsetNs.fetch_add(ns); }

}  // namespace bh::net
