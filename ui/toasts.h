// Toasts: short notifications posted from any thread and drawn by the
// overlay in the top right corner for a few seconds, newest on top.
//
// Offers: PostToast; for the overlay: SnapshotToasts (expiry and a private
// copy) and LayoutToast (where and how opaque each box is this frame).
// Needs: Log. The drawing itself lives with the overlay (Dear ImGui).
// Threads: PostToast from any thread, also before the overlay is up; the
// snapshot on the render thread. One mutex, held only to push/trim and to
// expire/copy.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bh::ui {

enum ToastKind : std::int32_t { Info = 0, Success = 1, Warning = 2, Error = 3 };

inline constexpr std::size_t kMaxToasts = 5;
inline constexpr float kMinToastSeconds = 0.8f;

using ToastClock = std::chrono::steady_clock;

// Logs "toast[kind]: text" and queues the toast (at least 0.8 s; only the newest five are kept).
void PostToast(const std::string& text, std::int32_t kind, float seconds = 4.0f);

struct ToastEntry {
  std::string text;
  std::int32_t kind = Info;
  float seconds = 4.0f;
  ToastClock::time_point posted;
};

struct LiveToast {
  const ToastEntry* entry;  // into the snapshot's storage
  float ageSeconds;
};

// Drops expired toasts and copies the rest into out (oldest first), reusing
// its storage; ages are measured from now.
void SnapshotToasts(ToastClock::time_point now, std::vector<ToastEntry>& out, std::vector<float>& ages);

// One box of the stack, for a toast of the given age and display time whose
// text (wrapped at kToastWrapWidth) measures textWidth x textHeight.
inline constexpr float kToastWrapWidth = 380.0f;
struct ToastBox {
  float x, y, width, height;
  float alpha;              // 0..1
  std::uint8_t background;  // opacity of the background, 0..225
  std::uint8_t opacity;     // opacity of the accent bar and text, 0..255
  std::uint8_t accent[3];   // red, green, blue of the accent bar by kind
};
ToastBox LayoutToast(float displayWidth, float y, float textWidth, float textHeight, float ageSeconds, float seconds,
                     std::int32_t kind);
// The y of the next box below this one.
inline float NextToastY(const ToastBox& box) { return box.y + box.height + 8.0f; }
inline constexpr float kFirstToastY = 16.0f;

}  // namespace bh::ui
