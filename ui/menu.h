// Menu and pages: one overlay window with a tab per registered page.
//
// Offers: RegisterPage, DrawMenuWindow (overlay frame), DrawLanguageSwitch,
// RegisterAboutPage.
// Needs: tr/trf, the overlay (SetMenuOpen), the settings (menu_key text).
// Threads: RegisterPage from any thread (page list under its mutex); drawing
// on the render thread; actions are posted to the game thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace bh::ui {

// Adds a page, or replaces the label key, draw function and order of the
// page with that id (keeping its place among equal orders). A null label key
// uses the id.
void RegisterPage(const std::string& id, const char* labelKey, std::function<void()> draw, std::int32_t order);

// The menu window; called by the overlay frame while the menu is open.
void DrawMenuWindow();

// "Language:" and three radio buttons; a click previews at once and posts
// the saved choice to the game thread.
void DrawLanguageSwitch();

// The About page (mod name, version, author, description, language switch).
void DrawAboutPage();

}  // namespace bh::ui
