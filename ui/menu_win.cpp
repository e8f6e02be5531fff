// The menu window, its page list, the language picker and the About page.
#include <algorithm>
#include <mutex>
#include <vector>

#include "imgui.h"

#include "core/config.h"
#include "core/gamethread.h"
#include "core/startup.h"
#include "ui/i18n.h"
#include "ui/menu.h"
#include "ui/overlay.h"

namespace bh::ui {
namespace {

const ImVec4 kAccent(0.949f, 0.655f, 0.765f, 1.0f);

struct MenuPage {
  std::string id;
  std::string labelKey;
  std::function<void()> draw;
  std::int32_t order = 0;
  std::uint64_t registration = 0;
};

struct PageList {
  std::mutex lock;  // guards pages and nextRegistration; any thread registers, the render thread copies
  std::vector<MenuPage> pages;
  std::uint64_t nextRegistration = 1;
};

PageList& Pages() {
  static PageList* list = new PageList();
  return *list;
}

}  // namespace

void RegisterPage(const std::string& id, const char* labelKey, std::function<void()> draw, std::int32_t order) {
  PageList& list = Pages();
  std::lock_guard<std::mutex> guard(list.lock);
  for (MenuPage& page : list.pages) {
    if (page.id == id) {
      page.labelKey = labelKey ? labelKey : id;
      page.draw = std::move(draw);
      page.order = order;
      return;
    }
  }
  list.pages.push_back(MenuPage{id, labelKey ? labelKey : id, std::move(draw), order, list.nextRegistration++});
}

void DrawMenuWindow() {
  std::vector<MenuPage> pages;
  {
    PageList& list = Pages();
    std::lock_guard<std::mutex> guard(list.lock);
    pages = list.pages;
  }
  std::sort(pages.begin(), pages.end(), [](const MenuPage& a, const MenuPage& b) {
    return a.order != b.order ? a.order < b.order : a.registration < b.registration;
  });

  const ImGuiIO& io = ImGui::GetIO();
  ImGui::SetNextWindowPos(ImVec2(io.DisplaySize.x * 0.5f, io.DisplaySize.y * 0.5f), ImGuiCond_FirstUseEver,
                          ImVec2(0.5f, 0.5f));
  ImGui::SetNextWindowSize(ImVec2(600, 480), ImGuiCond_FirstUseEver);
  bool open = true;
  if (ImGui::Begin("Fenwarden \xE2\x80\x94 by Varrow###bhcoop_main", &open, ImGuiWindowFlags_NoCollapse)) {
    if (pages.empty()) {
      ImGui::TextDisabled("%s", tr("menu.empty"));
    } else if (ImGui::BeginTabBar("##bhcoop_tabs")) {
      for (const MenuPage& page : pages) {
        std::string label = std::string(tr(page.labelKey.c_str())) + "###" + page.id;
        if (ImGui::BeginTabItem(label.c_str())) {
          if (page.draw) page.draw();
          ImGui::EndTabItem();
        }
      }
      ImGui::EndTabBar();
    }
    ImGui::Separator();
    ImGui::TextDisabled("%s", trf("menu.footer", core::GetSettings().menuKey).c_str());
  }
  ImGui::End();
  if (!open) SetMenuOpen(false);
}

void DrawLanguageSwitch() {
  ImGui::Text("%s:", tr("coop.language"));
  struct Choice {
    const char* label;
    Language language;
  };
  static constexpr Choice kChoices[] = {{"English##lang_en", Language::English},
                                        {"\xE4\xB8\xAD\xE6\x96\x87##lang_zh", Language::Chinese},
                                        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E##lang_ja", Language::Japanese}};
  Language current = CurrentLanguage();
  for (const Choice& choice : kChoices) {
    ImGui::SameLine();
    if (ImGui::RadioButton(choice.label, current == choice.language) && current != choice.language) {
      PreviewLanguage(choice.language);
      Language chosen = choice.language;
      core::PostToGameThread([chosen] { SelectLanguage(chosen); });
    }
  }
}

void DrawAboutPage() {
  ImGui::TextColored(kAccent, "%s", core::ModName);
  ImGui::Text("%s: %s", tr("about.version"), core::ModVersion);
  ImGui::Text("%s: %s", tr("about.author"), core::ModAuthor);
  ImGui::Spacing();
  ImGui::TextWrapped("%s", tr("about.desc"));
  ImGui::Spacing();
  ImGui::TextDisabled("%s", tr("about.disclaimer"));
  ImGui::Spacing();
  ImGui::Separator();
  DrawLanguageSwitch();
}

}  // namespace bh::ui
