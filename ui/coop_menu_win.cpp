// The co-op pages and their snapshot.
//
// In the Failed state the page offers Host, Join and Accept as in Idle, and
// pressing one first leaves the failed room, so the player never has to find
// Leave before trying again.
#include <mutex>

#include "imgui.h"

#include "coop/coop.h"
#include "coop/names.h"
#include "core/config.h"
#include "core/gamethread.h"
#include "core/startup.h"
#include "net/session.h"
#include "ui/coop_menu.h"
#include "ui/i18n.h"
#include "ui/menu.h"
#include "ui/toasts.h"

namespace bh::ui {
namespace {

using net::SessionState;

const ImVec4 kAccent(0.949f, 0.655f, 0.765f, 1);
const ImVec4 kGreen(0.55f, 0.86f, 0.62f, 1);
const ImVec4 kYellow(0.96f, 0.77f, 0.38f, 1);
const ImVec4 kRed(0.93f, 0.42f, 0.45f, 1);
const ImVec4 kGold(1.0f, 0.843f, 0.47f, 1);
const ImVec4 kGrey(0.75f, 0.72f, 0.76f, 1);

struct SnapshotMember {
  std::uint8_t slot = 0;
  std::string name;
  std::int32_t pingMs = -1;
  bool isLocal = false;
};

struct MenuSnapshot {
  bool valid = false, sessionReady = false, coopUsable = false, isAuthority = false, coopActive = false;
  SessionState state = SessionState::Idle;
  std::string failureReason;
  std::vector<SnapshotMember> members;
  std::vector<net::FriendLobby> friendLobbies;
  std::uint64_t pendingInvite = 0;
  std::string localName, profileKey;
  int saveSlot = 0;
};

struct CoopMenuState {
  std::mutex lock;  // guards snapshot; the game thread replaces it, the render thread copies it
  MenuSnapshot snapshot;
  float sinceRefresh = 0;  // game thread
  std::int32_t tickerId = 0;

  // Render thread: the name field.
  char nameBuffer[73] = {};
  bool editing = false;
  std::string lastSeenName;
};

CoopMenuState& State() {
  static CoopMenuState* state = new CoopMenuState();
  return *state;
}

MenuSnapshot Copy() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().snapshot;
}

void Refresh() {
  MenuSnapshot s;
  s.valid = true;
  s.sessionReady = coop::SessionReady();
  s.coopUsable = coop::CoopUsable();
  s.isAuthority = coop::IsAuthority();
  s.coopActive = coop::IsCoopActive();
  net::Session* session = s.sessionReady ? &coop::GetSession() : nullptr;
  for (const coop::Member& m : coop::Members()) {
    if (!m.used) continue;
    SnapshotMember member{m.slot, m.name, -1, m.isLocal};
    if (session && !m.isLocal && (s.isAuthority || m.slot == 0))
      if (net::ITransport* transport = session->Transport()) member.pingMs = transport->Ping(m.steamId);
    s.members.push_back(member);
  }
  if (session) {
    s.state = session->State();
    s.failureReason = session->FailureReason();
    s.friendLobbies = session->FriendLobbies();
    s.pendingInvite = session->PendingInvite();
  }
  s.localName = coop::LocalName();
  s.profileKey = coop::ProfileKey();
  s.saveSlot = coop::SaveSlot();
  std::lock_guard<std::mutex> guard(State().lock);
  State().snapshot = std::move(s);
}

// A role starts only from Idle: leave a failed room first.
void LeaveIfFailed(net::Session& session) {
  if (session.State() == SessionState::Failed) session.Leave();
}

void PostHost() {
  core::PostToGameThread([] {
    if (!coop::CoopUsable()) return;
    net::Session& session = coop::GetSession();
    LeaveIfFailed(session);
    session.Host();
  });
}

void PostJoin(std::uint64_t lobby) {
  core::PostToGameThread([lobby] {
    if (!coop::CoopUsable()) return;
    net::Session& session = coop::GetSession();
    LeaveIfFailed(session);
    session.JoinLobby(lobby);
  });
}

bool CanStartRole(const MenuSnapshot& s) {
  return s.coopUsable && (s.state == SessionState::Idle || s.state == SessionState::Failed);
}

bool Compatible(const net::FriendLobby& lobby) {
  return lobby.version == core::ModVersion && lobby.author == core::ModAuthor && lobby.gameBuild == core::GameBuildId();
}

void StatusLine(const MenuSnapshot& s) {
  ImGui::TextUnformatted(tr("coop.status"));
  ImGui::SameLine(0, 0);
  std::string text;
  ImVec4 colour = kGrey;
  switch (s.state) {
    case SessionState::Idle: text = tr("coop.state.idle"); break;
    case SessionState::CreatingLobby: text = tr("coop.state.creating"), colour = kYellow; break;
    case SessionState::Hosting:
      text = s.coopActive ? trf("coop.state.hosting_n", std::to_string(s.members.size()))
                          : std::string(tr("coop.state.hosting_wait"));
      colour = kGold;
      break;
    case SessionState::JoiningLobby:
    case SessionState::Connecting: text = tr("coop.state.joining"), colour = kYellow; break;
    case SessionState::Connected:
      text = s.coopActive ? tr("coop.state.connected") : tr("coop.state.handshake");
      colour = kGreen;
      break;
    case SessionState::Failed:
      text = trf("coop.state.failed", s.failureReason.empty() ? std::string(tr("common.unknown_error")) : s.failureReason);
      colour = kRed;
      break;
  }
  ImGui::PushStyleColor(ImGuiCol_Text, colour);
  ImGui::TextWrapped("%s", text.c_str());
  ImGui::PopStyleColor();
}

void MembersTable(const MenuSnapshot& s) {
  ImGui::SeparatorText(tr("coop.members"));
  if (!ImGui::BeginTable("##members", 3,
                         ImGuiTableFlags_RowBg | ImGuiTableFlags_BordersInnerH | ImGuiTableFlags_SizingStretchProp))
    return;
  ImGui::TableSetupColumn(tr("coop.col.slot"), ImGuiTableColumnFlags_WidthFixed, 70);
  ImGui::TableSetupColumn(tr("coop.col.name"), ImGuiTableColumnFlags_WidthStretch);
  ImGui::TableSetupColumn(tr("coop.col.ping"), ImGuiTableColumnFlags_WidthFixed, 80);
  ImGui::TableHeadersRow();
  for (const SnapshotMember& m : s.members) {
    ImGui::TableNextRow();
    ImGui::TableNextColumn();
    if (m.slot == 0) ImGui::TextColored(kGold, "%d %s", 0, tr("coop.host_tag"));
    else ImGui::Text("%d", m.slot);
    ImGui::TableNextColumn();
    if (m.isLocal) ImGui::TextColored(kAccent, "%s", trf("coop.you", m.name).c_str());
    else ImGui::TextUnformatted(m.name.c_str());
    ImGui::TableNextColumn();
    if (m.isLocal) ImGui::TextDisabled("-");
    else if (m.pingMs < 0) ImGui::TextDisabled("?");
    else ImGui::TextColored(m.pingMs < 80 ? kGreen : m.pingMs < 180 ? kYellow : kRed, "%d ms", m.pingMs);
  }
  ImGui::EndTable();
}

void FriendLobbies(const MenuSnapshot& s) {
  ImGui::SeparatorText(tr("coop.friends"));
  ImGui::BeginDisabled(!s.coopUsable);
  if (ImGui::Button(tr("coop.refresh")))
    core::PostToGameThread([] {
      if (coop::CoopUsable()) coop::GetSession().RefreshFriendLobbies();
    });
  ImGui::EndDisabled();
  if (s.pendingInvite != 0 && CanStartRole(s)) {
    ImGui::SameLine();
    ImGui::TextColored(kAccent, "%s", tr("coop.invite"));
    ImGui::SameLine();
    if (ImGui::SmallButton(tr("coop.accept"))) PostJoin(s.pendingInvite);
  }
  if (s.friendLobbies.empty()) {
    ImGui::TextDisabled("%s", tr("coop.no_lobbies"));
    return;
  }
  if (!ImGui::BeginTable("##lobbies", 3, ImGuiTableFlags_RowBg | ImGuiTableFlags_SizingStretchProp)) return;
  ImGui::TableSetupColumn("", ImGuiTableColumnFlags_WidthStretch);
  ImGui::TableSetupColumn("", ImGuiTableColumnFlags_WidthFixed, 70);
  ImGui::TableSetupColumn("", ImGuiTableColumnFlags_WidthFixed, 110);
  for (const net::FriendLobby& lobby : s.friendLobbies) {
    ImGui::PushID(static_cast<int>(lobby.lobby & 0x7FFFFFFF));
    bool compatible = Compatible(lobby);
    ImGui::TableNextRow();
    ImGui::TableNextColumn();
    ImGui::TextUnformatted(lobby.hostName.empty() ? tr("coop.unknown_host") : lobby.hostName.c_str());
    if (!compatible) {
      ImGui::SameLine();
      ImGui::TextColored(kRed, "%s", tr("coop.version_diff"));
    }
    ImGui::TableNextColumn();
    ImGui::Text("%d/%d", lobby.members, lobby.memberLimit);
    ImGui::TableNextColumn();
    ImGui::BeginDisabled(!(CanStartRole(s) && compatible && lobby.members < lobby.memberLimit));
    if (ImGui::SmallButton(tr("coop.join"))) PostJoin(lobby.lobby);
    ImGui::EndDisabled();
    ImGui::PopID();
  }
  ImGui::EndTable();
}

// Keeps at most 24 characters (code points); everything from the 25th on goes.
int LimitNameLength(ImGuiInputTextCallbackData* data) {
  if (data->EventFlag != ImGuiInputTextFlags_CallbackEdit) return 0;
  State().editing = true;
  int characters = 0;
  for (int i = 0; i < data->BufTextLen; ++i) {
    if ((static_cast<unsigned char>(data->Buf[i]) & 0xC0) == 0x80) continue;
    if (++characters > static_cast<int>(coop::kNameMaxChars)) {
      data->DeleteChars(i, data->BufTextLen - i);
      break;
    }
  }
  return 0;
}

std::size_t CountCharacters(const char* text) {
  std::size_t n = 0;
  for (; *text; ++text) n += (static_cast<unsigned char>(*text) & 0xC0) != 0x80;
  return n;
}

}  // namespace

void InitCoopMenu() {
  CoopMenuState& state = State();
  if (state.tickerId != 0) return;
  Refresh();
  state.tickerId = core::AddTicker("coop-menu", [](float dt) {
    CoopMenuState& s = State();
    s.sinceRefresh += dt;
    if (s.sinceRefresh < 0.1f) return;
    s.sinceRefresh = 0;
    Refresh();
  });
  RegisterPage("coop", "tab.coop", &DrawCoopTab, 10);
  RegisterPage("name", "tab.name", &DrawNameTab, 20);
  RegisterPage("about", "tab.about", &DrawAboutPage, 1000);
}

void DrawCoopTab() {
  DrawLanguageSwitch();
  ImGui::Separator();
  MenuSnapshot s = Copy();
  if (!s.valid) {
    ImGui::TextDisabled("%s", tr("coop.loading"));
    return;
  }
  if (!s.sessionReady) {
    ImGui::PushStyleColor(ImGuiCol_Text, kYellow);
    ImGui::TextWrapped("%s", tr("coop.starting"));
    ImGui::PopStyleColor();
  }
  StatusLine(s);
  ImGui::Spacing();
  ImGui::BeginDisabled(!CanStartRole(s));
  if (ImGui::Button(tr("coop.host"))) PostHost();
  ImGui::EndDisabled();
  ImGui::SameLine();
  ImGui::BeginDisabled(!(s.sessionReady && s.state != SessionState::Idle));
  if (ImGui::Button(tr("coop.leave"))) {
    core::PostToGameThread([] {
      if (coop::SessionReady()) coop::GetSession().Leave();
    });
    PostToast(tr("toast.left_session"), Info, 4);
  }
  ImGui::EndDisabled();
  FriendLobbies(s);
  MembersTable(s);
}

void DrawFriendLobbies() { FriendLobbies(Copy()); }

void DrawNameTab() {
  CoopMenuState& state = State();
  MenuSnapshot s = Copy();
  if (!state.editing && s.localName != state.lastSeenName) {
    state.lastSeenName = s.localName;
    std::string cut = std::string(coop::CleanName(s.localName)).substr(0, 72);
    std::snprintf(state.nameBuffer, sizeof state.nameBuffer, "%s", cut.c_str());
  }
  ImGui::TextUnformatted(tr("name.current"));
  ImGui::SameLine(0, 0);
  ImGui::TextColored(kAccent, "%s", s.localName.c_str());
  ImGui::TextUnformatted(trf("name.slot", std::to_string(s.saveSlot)).c_str());
  ImGui::Spacing();
  ImGui::SetNextItemWidth(320);
  ImGui::InputText("##name", state.nameBuffer, sizeof state.nameBuffer, ImGuiInputTextFlags_CallbackEdit,
                   &LimitNameLength);
  ImGui::SameLine();
  ImGui::TextDisabled("%zu/%zu", CountCharacters(state.nameBuffer), coop::kNameMaxChars);
  if (ImGui::Button(tr("name.save"))) {
    state.editing = false;
    std::string text = state.nameBuffer;
    core::PostToGameThread([text] { coop::SetLocalName(text); });
  }
  ImGui::SameLine();
  if (ImGui::Button(tr("name.reset"))) {
    state.editing = false;
    core::PostToGameThread([] { coop::SetLocalName(""); });
  }
  ImGui::Spacing();
  ImGui::PushStyleColor(ImGuiCol_Text, ImGui::GetStyleColorVec4(ImGuiCol_TextDisabled));
  ImGui::TextWrapped("%s", tr("name.help1"));
  ImGui::TextWrapped("%s", tr("name.help2"));
  ImGui::PopStyleColor();
}

}  // namespace bh::ui
