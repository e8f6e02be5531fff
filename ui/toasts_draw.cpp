#include "ui/toasts_draw.h"

#include "imgui.h"
#include "ui/toasts.h"

namespace bh::ui {

void DrawToasts() {
  // Reused every frame: nothing is allocated while there are no toasts.
  static std::vector<ToastEntry>* entries = new std::vector<ToastEntry>();
  static std::vector<float>* ages = new std::vector<float>();
  SnapshotToasts(ToastClock::now(), *entries, *ages);
  if (entries->empty()) return;

  ImDrawList* draw = ImGui::GetForegroundDrawList();
  ImFont* font = ImGui::GetFont();
  const float fontSize = ImGui::GetFontSize();
  const float displayWidth = ImGui::GetIO().DisplaySize.x;
  float y = kFirstToastY;
  for (std::size_t i = entries->size(); i-- > 0;) {  // newest first
    const ToastEntry& e = (*entries)[i];
    ImVec2 text = font->CalcTextSizeA(fontSize, FLT_MAX, kToastWrapWidth, e.text.c_str());
    ToastBox box = LayoutToast(displayWidth, y, text.x, text.y, (*ages)[i], e.seconds, e.kind);
    ImVec2 min(box.x, box.y), max(box.x + box.width, box.y + box.height);
    draw->AddRectFilled(min, max, IM_COL32(24, 20, 26, box.background), 8.0f);
    draw->AddRectFilled(min, ImVec2(box.x + 5, max.y), IM_COL32(box.accent[0], box.accent[1], box.accent[2], box.opacity),
                        8.0f, ImDrawFlags_RoundCornersLeft);
    draw->AddText(font, fontSize, ImVec2(box.x + 16, box.y + 9), IM_COL32(245, 240, 244, box.opacity), e.text.c_str(),
                  nullptr, kToastWrapWidth);
    y = NextToastY(box);
  }
}

}  // namespace bh::ui
