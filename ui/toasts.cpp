#include "ui/toasts.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "core/log.h"
#include "core/log_tags.h"

namespace bh::ui {
namespace {

struct ToastQueue {
  std::mutex lock;  // guards entries; posters on any thread, the render thread to expire and copy
  std::deque<ToastEntry> entries;  // posting order, oldest at the front, at most kMaxToasts
};

ToastQueue& Queue() {
  static ToastQueue* queue = new ToastQueue();
  return *queue;
}

float AgeSeconds(ToastClock::time_point now, const ToastEntry& e) {
  return static_cast<float>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - e.posted).count()) / 1e9f;
}

}  // namespace

void PostToast(const std::string& text, std::int32_t kind, float seconds) {
  core::LogInfo(tag::kOverlay, "toast[{}]: {}", kind, text);
  ToastQueue& q = Queue();
  std::lock_guard<std::mutex> guard(q.lock);
  q.entries.push_back(ToastEntry{text, kind, std::max(seconds, kMinToastSeconds), ToastClock::now()});
  while (q.entries.size() > kMaxToasts) q.entries.pop_front();
}

void SnapshotToasts(ToastClock::time_point now, std::vector<ToastEntry>& out, std::vector<float>& ages) {
  out.clear();
  ages.clear();
  ToastQueue& q = Queue();
  std::lock_guard<std::mutex> guard(q.lock);
  // Display times differ, so a short toast may expire behind a longer one.
  std::erase_if(q.entries, [now](const ToastEntry& e) { return AgeSeconds(now, e) >= e.seconds; });
  for (const ToastEntry& e : q.entries) {
    out.push_back(e);
    ages.push_back(AgeSeconds(now, e));
  }
}

ToastBox LayoutToast(float displayWidth, float y, float textWidth, float textHeight, float age, float seconds,
                     std::int32_t kind) {
  ToastBox box{};
  float appear = std::clamp(age * 4.0f, 0.0f, 1.0f);            // slides and fades in over 0.25 s
  float vanish = std::clamp((seconds - age) * 2.0f, 0.0f, 1.0f);  // fades out over the last 0.5 s
  box.alpha = std::min(appear, vanish);
  box.width = textWidth + 30.0f;
  box.height = textHeight + 18.0f;
  box.x = displayWidth - 16.0f - box.width + (1.0f - appear) * 24.0f;
  box.y = y;
  box.background = static_cast<std::uint8_t>(box.alpha * 225.0f);
  box.opacity = static_cast<std::uint8_t>(box.alpha * 255.0f);
  switch (kind) {
    case Success: box.accent[0] = 126, box.accent[1] = 214, box.accent[2] = 150; break;
    case Warning: box.accent[0] = 244, box.accent[1] = 196, box.accent[2] = 98; break;
    case Error: box.accent[0] = 236, box.accent[1] = 104, box.accent[2] = 112; break;
    default: box.accent[0] = 242, box.accent[1] = 167, box.accent[2] = 195; break;
  }
  return box;
}

}  // namespace bh::ui
