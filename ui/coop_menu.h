// The co-op menu: the "Co-op", "My Name" and "About" pages, fed by a
// snapshot of the session and membership that the game thread refreshes ten
// times a second.
//
// Offers: InitCoopMenu (start-up), DrawCoopTab, DrawFriendLobbies, DrawNameTab.
// Needs: co-op membership and the session (read on the game thread only),
// the menu, toasts, tr.
// Threads: InitCoopMenu and the "coop-menu" ticker on the game thread; the
// pages on the render thread, reading their own copy of the snapshot;
// every button posts its action to the game thread.
#pragma once

namespace bh::ui {

void InitCoopMenu();
void DrawCoopTab();
void DrawFriendLobbies();
void DrawNameTab();

}  // namespace bh::ui
