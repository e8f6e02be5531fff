// Co-op membership: the room's four slots (the host in slot 0), the Hello /
// Welcome handshake, members joining, leaving and renaming, routing of every
// received message to the handlers registered for its type, and the send
// helpers the gameplay subsystems use.
//
// Offers: Init (start-up), the readers (Members, MemberCount, LocalSlot,
// IsCoopActive, IsAuthority, CoopUsable), messaging (RegisterMessageHandler,
// RegisterMemberListener, SendTo/SendToHost/SendToAll/SendToSlot/Broadcast),
// the local name (LocalName, ProfileKey, SaveSlot, SetLocalName), the
// onCoopStarted/onCoopEnded callbacks, and the session for the menu.
// Needs: the session (net), the wire codecs, names and profiles, toasts, tr.
// Threads: everything on the game thread (the "coop" ticker, the session's
// callbacks, the readers); the menu reads a copy made there.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "coop/wire.h"

namespace bh::net {
class Session;
}

namespace bh::coop {

struct Member {
  bool used = false;
  std::uint8_t slot = 0;
  std::uint64_t steamId = 0;
  std::string name;
  bool isLocal = false;
};

using MessageHandler = std::function<void(std::uint8_t fromSlot, const std::uint8_t* data, std::size_t size)>;
using MemberListener = std::function<void(const Member& member, bool joined)>;

void Init();

const std::array<Member, kMaxSlots>& Members();
int MemberCount();  // occupied slots, at least 1
struct SlotInfo {
  std::uint8_t slot;
  bool known;
};
SlotInfo LocalSlot();
bool IsCoopActive();
bool IsAuthority();
bool CoopUsable();
bool SessionReady();
// The process's session (for the menu and the send helpers); created on first use.
net::Session& GetSession();

void RegisterMessageHandler(std::uint8_t type, MessageHandler handler);
void RegisterMemberListener(MemberListener listener);

// All do nothing while the session is not ready or the message is empty.
void SendTo(std::uint64_t peer, std::uint8_t channel, const Bytes& bytes);
void SendToHost(std::uint8_t channel, const Bytes& bytes);
void Broadcast(std::uint8_t exceptSlot, std::uint8_t channel, const Bytes& bytes);
void SendToAll(std::uint8_t channel, const Bytes& bytes);
void SendToSlot(std::uint8_t slot, std::uint8_t channel, const Bytes& bytes);

const std::string& LocalName();
const std::string& ProfileKey();
int SaveSlot();
// From the menu: stores the name for this save slot (empty: back to the
// default name), uses it at once and tells the others.
void SetLocalName(const std::string& text);
// The Steam persona name, cleaned, or the default "Player" text.
std::string DefaultName();

// Called when co-op starts or ends (a callback may chain the previous one).
std::function<void()>& OnCoopStarted();
std::function<void()>& OnCoopEnded();

namespace testing {
// Replaces the source of the game's active save slot (-1 = none); null means none.
void SetSaveSlotSource(int (*source)());
// Runs one "coop" ticker pass.
void Tick(float dt);
}  // namespace testing

}  // namespace bh::coop
