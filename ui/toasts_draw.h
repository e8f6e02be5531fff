// Drawing the toast stack into ImGui's foreground draw list (render thread,
// inside the overlay frame, before the menu).
#pragma once

namespace bh::ui {
void DrawToasts();
}  // namespace bh::ui
