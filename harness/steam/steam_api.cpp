// The stand-in steam_api64.dll: Steam's flat C interface, answered by a
// connection to the broker. Its Steam declarations are its own, written from
// Steam's public documentation, and never shared with the product: a layout
// slip on either side shows up as a failing test.
//
// [SECTION] Steam's layouts, as this side reads them
// [SECTION] Client state
// [SECTION] Broker connection
// [SECTION] Callbacks
// [SECTION] Exports
#define FD_SETSIZE 64
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"

using fwsteam::Op;
using fwsteam::Reader;
using fwsteam::Writer;

// [SECTION] Steam's layouts, as this side reads them
// Callback structures use Steam's Windows packing (8). Sizes and offsets are
// checked below against the figures Steam documents.
#pragma pack(push, 8)
struct NetIdentity {
  std::int32_t type;  // 16 = Steam id
  std::int32_t size;  // bytes of the union in use
  union {
    std::uint64_t steamId;
    std::uint8_t raw[128];
  };
};
struct NetMessage {
  void* data;
  std::int32_t size;
  std::uint32_t connection;
  NetIdentity peer;
  std::int64_t connectionUserData;
  std::int64_t timeReceivedUs;
  std::int64_t messageNumber;
  void (*freeData)(NetMessage*);
  void (*release)(NetMessage*);
  std::int32_t channel;
  std::int32_t flags;
  std::int64_t userData;
  std::uint16_t lane;
  std::uint16_t padding;
};
struct SessionRequestEvent {  // id 1251
  NetIdentity remote;
};
struct LobbyJoinRequestedEvent {  // id 333
  std::uint64_t lobby;
  std::uint64_t friendId;
};
struct RichPresenceJoinEvent {  // id 337
  std::uint64_t friendId;
  char connect[256];
};
struct LobbyChatUpdateEvent {  // id 506
  std::uint64_t lobby;
  std::uint64_t changed;
  std::uint64_t makingChange;
  std::uint32_t stateBits;
};
struct LobbyCreatedResult {  // id 513
  std::int32_t result;
  std::uint64_t lobby;
};
struct LobbyEnterResult {  // id 504
  std::uint64_t lobby;
  std::uint32_t permissions;
  bool locked;
  std::uint32_t response;
};
struct FriendGameInfo {
  std::uint64_t gameId;
  std::uint32_t ip;
  std::uint16_t port;
  std::uint16_t queryPort;
  std::uint64_t lobby;
};
#pragma pack(pop)
static_assert(sizeof(NetIdentity) == 136);
static_assert(offsetof(NetMessage, size) == 8 && offsetof(NetMessage, peer) == 16);
static_assert(offsetof(NetMessage, release) == 184 && offsetof(NetMessage, channel) == 192);
static_assert(sizeof(SessionRequestEvent) == 136 && sizeof(LobbyJoinRequestedEvent) == 16);
static_assert(sizeof(RichPresenceJoinEvent) == 264 && sizeof(LobbyChatUpdateEvent) == 32);
static_assert(sizeof(LobbyCreatedResult) == 16 && sizeof(LobbyEnterResult) == 24);
static_assert(offsetof(LobbyEnterResult, response) == 16);
static_assert(sizeof(FriendGameInfo) == 24 && offsetof(FriendGameInfo, lobby) == 16);

constexpr int kIdSessionRequest = 1251, kIdJoinRequested = 333, kIdRichPresenceJoin = 337, kIdChatUpdate = 506;
constexpr int kIdLobbyCreated = 513, kIdLobbyEnter = 504;
constexpr std::int32_t kIdentitySteamId = 16;
constexpr int kEResultOk = 1, kEResultNoConnection = 3, kEResultInvalidParam = 8, kEResultLimitExceeded = 25;
constexpr std::uint32_t kMaxMessage = 512 * 1024;
constexpr int kSendReliable = 8;

// The game's callback receiver (CCallbackBase) as Steam calls it: a table of
// three entries (run with call-result arguments, run, size in bytes), then
// the flags byte and the callback id that Steam itself maintains.
struct Receiver;
struct ReceiverTable {
  void (*runWithResult)(Receiver* self, void* data, bool ioFailure, std::uint64_t call);
  void (*run)(Receiver* self, void* data);
  int (*size)(Receiver* self);
};
struct Receiver {
  const ReceiverTable* table;
  std::uint8_t flags;  // bit 0: registered
  std::int32_t id;
};
static_assert(offsetof(Receiver, flags) == 8 && offsetof(Receiver, id) == 12);

// [SECTION] Client state

namespace {

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string EnvText(const char* name) {
  char buffer[512];
  DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

struct Interface {
  const char* name;  // for diagnostics when a call arrives on the wrong interface
};
Interface g_matchmaking{"matchmaking"}, g_messages{"networking messages"}, g_friends{"friends"}, g_user{"user"},
    g_utils{"utils"}, g_apps{"apps"};

struct Inbound {
  std::uint64_t from;
  int channel;
  std::vector<std::uint8_t> bytes;
  std::int64_t atUs;
};

struct Event {
  int id;
  std::vector<std::uint8_t> data;
};

struct CallResult {
  std::uint8_t kind;  // 0 lobby created, 1 lobby entered
  std::uint64_t lobby;
  std::int32_t result;
};

struct Client {
  // Set once by SteamAPI_Init, read by any thread.
  std::atomic<bool> ready{false};
  std::uint64_t steamId = 0;
  std::string persona, language = "english";
  std::int64_t readyAtUs = 0;  // interfaces answer null before this
  bool steamIdZero = false;
  bool callbackThread = false;

  // Connection: see SendFrame for writing; the reader thread alone reads.
  SOCKET socket = INVALID_SOCKET;
  std::mutex writeLock;  // guards outgoing and sending; every sending thread
  std::vector<std::uint8_t> outgoing;
  bool sending = false;
  std::thread reader;
  std::atomic<bool> connected{false};

  std::mutex replyLock;  // guards replies and nextRequest; any thread
  std::condition_variable replyArrived;
  std::map<std::uint32_t, std::optional<std::vector<std::uint8_t>>> replies;
  std::uint32_t nextRequest = 1;

  // Networking messages: sessions as Steam keeps them (see HandleMessage).
  std::mutex netLock;  // guards everything to the next blank line; reader and callers
  std::uint32_t configBits = 0;
  std::set<std::uint64_t> accepted;
  std::map<std::uint64_t, std::deque<Inbound>> held;  // waiting for AcceptSessionWithUser
  std::map<std::uint64_t, std::int64_t> lastRequestUs;
  std::map<int, std::deque<Inbound>> inbox;
  std::int64_t nextMessageNumber = 1;

  std::mutex resultLock;  // guards results; reader and callers
  std::map<std::uint64_t, CallResult> results;

  std::mutex eventLock;  // guards events; reader and dispatcher
  std::vector<Event> events;

  std::mutex receiverLock;  // guards receivers
  std::multimap<int, Receiver*> receivers;
  std::recursive_mutex dispatchLock;  // held while receivers run; unregistering waits for it
  std::thread dispatcher;

  std::mutex textLock;  // guards texts: returned strings stay valid for the next 64 calls
  std::string texts[64];
  unsigned nextText = 0;

  std::atomic<int> sendCalls{0};
};

// Never destroyed: the reader thread may outlive static destruction at exit.
Client& C() {
  static Client* client = new Client();
  return *client;
}

const char* KeepText(std::string s) {
  Client& c = C();
  std::lock_guard<std::mutex> guard(c.textLock);
  std::string& slot = c.texts[c.nextText++ % 64];
  slot = std::move(s);
  return slot.c_str();
}

bool InterfacesUp() { return C().ready.load() && NowUs() >= C().readyAtUs; }

// A call that arrives with another interface than its own is a slip in the
// caller's binding; say so loudly and answer as for a broken interface.
bool CheckSelf(const void* self, const Interface& expected, const char* function) {
  if (self == &expected) return true;
  std::fprintf(stderr, "steam stand-in: %s called with %p, not the %s interface\n", function, self, expected.name);
  std::fflush(stderr);
  return false;
}

// [SECTION] Broker connection

// The first caller to find nobody sending sends at once (latency first, as
// Steam's no-delay flag asks); callers arriving meanwhile append, and the
// sender takes what gathered along in its next write.
bool SendFrame(const std::vector<std::uint8_t>& frame) {
  Client& c = C();
  if (!c.connected.load()) return false;
  std::unique_lock<std::mutex> lock(c.writeLock);
  c.outgoing.insert(c.outgoing.end(), frame.begin(), frame.end());
  if (c.sending) return true;
  c.sending = true;
  std::vector<std::uint8_t> batch;
  bool ok = true;
  while (ok && !c.outgoing.empty()) {
    batch.swap(c.outgoing);
    c.outgoing.clear();
    lock.unlock();
    std::size_t sent = 0;
    while (sent < batch.size()) {
      int n = ::send(c.socket, reinterpret_cast<const char*>(batch.data() + sent),
                     static_cast<int>(batch.size() - sent), 0);
      if (n <= 0) {
        ok = false;
        break;
      }
      sent += static_cast<std::size_t>(n);
    }
    lock.lock();
  }
  c.sending = false;
  if (!ok) {
    c.outgoing.clear();
    c.connected.store(false);
  }
  return ok;
}

// A request that expects a reply; the reply's fields, or none after 10 s or
// when the connection is gone.
std::optional<std::vector<std::uint8_t>> Call(Op op, const std::function<void(Writer&)>& fields) {
  Client& c = C();
  std::uint32_t id;
  {
    std::lock_guard<std::mutex> guard(c.replyLock);
    id = c.nextRequest++;
    c.replies[id];
  }
  Writer w(op, id);
  fields(w);
  std::unique_lock<std::mutex> lock(c.replyLock);
  if (!SendFrame(w.Frame())) {
    c.replies.erase(id);
    return std::nullopt;
  }
  c.replyArrived.wait_for(lock, std::chrono::seconds(10), [&] { return c.replies[id].has_value() || !c.connected; });
  auto reply = std::move(c.replies[id]);
  c.replies.erase(id);
  return reply;
}

void Post(Op op, const std::function<void(Writer&)>& fields) {
  Writer w(op);
  fields(w);
  SendFrame(w.Frame());
}

void QueueEvent(int id, const void* data, std::size_t size) {
  Client& c = C();
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::lock_guard<std::mutex> guard(c.eventLock);
  c.events.push_back({id, std::vector<std::uint8_t>(p, p + size)});
}

// Steam's networking-messages sessions: a message from a peer this side has
// neither sent to nor accepted is held, and raises a session request (again
// at most once a second while the peer keeps sending). Accepting delivers
// what was held; held messages older than 60 s are dropped.
void HandleMessage(Reader& r) {
  Client& c = C();
  Inbound m;
  m.from = r.U64();
  m.channel = r.I32();
  m.bytes = r.Bytes();
  m.atUs = NowUs();
  if (!r.ok()) return;
  bool request = false;
  {
    std::lock_guard<std::mutex> guard(c.netLock);
    if ((c.configBits & fwsteam::kConfigUnsolicited) || c.accepted.count(m.from)) {
      c.inbox[m.channel].push_back(std::move(m));
      return;
    }
    auto& queue = c.held[m.from];
    while (!queue.empty() && (queue.size() >= 256 || m.atUs - queue.front().atUs > 60000000)) queue.pop_front();
    std::int64_t& last = c.lastRequestUs[m.from];
    request = last == 0 || m.atUs - last >= 1000000;
    if (request) last = m.atUs;
    std::uint64_t from = m.from;
    queue.push_back(std::move(m));
    if (request) {
      SessionRequestEvent e{};
      e.remote.type = kIdentitySteamId;
      e.remote.size = 8;
      e.remote.steamId = from;
      QueueEvent(kIdSessionRequest, &e, sizeof e);
    }
  }
}

void HandlePush(const std::uint8_t* body, std::size_t size) {
  Client& c = C();
  Reader r(body, size);
  Op op = static_cast<Op>(r.U8());
  std::uint32_t request = r.U32();
  switch (op) {
    case Op::Reply: {
      std::lock_guard<std::mutex> guard(c.replyLock);
      auto it = c.replies.find(request);
      if (it != c.replies.end()) it->second = std::vector<std::uint8_t>(body + 5, body + size);
      c.replyArrived.notify_all();
      return;
    }
    case Op::Message:
      HandleMessage(r);
      return;
    case Op::CallResult: {
      std::uint64_t handle = r.U64();
      CallResult result;
      result.kind = r.U8();
      result.lobby = r.U64();
      result.result = r.I32();
      std::lock_guard<std::mutex> guard(c.resultLock);
      c.results[handle] = result;
      return;
    }
    case Op::ChatUpdate: {
      LobbyChatUpdateEvent e{};
      e.lobby = r.U64();
      e.changed = r.U64();
      e.makingChange = r.U64();
      e.stateBits = r.U32();
      QueueEvent(kIdChatUpdate, &e, sizeof e);
      return;
    }
    case Op::JoinRequested: {
      LobbyJoinRequestedEvent e{};
      e.lobby = r.U64();
      e.friendId = r.U64();
      QueueEvent(kIdJoinRequested, &e, sizeof e);
      return;
    }
    case Op::RichPresenceJoin: {
      RichPresenceJoinEvent e{};
      e.friendId = r.U64();
      std::string text = r.Str();
      std::memcpy(e.connect, text.data(), std::min(text.size(), sizeof e.connect - 1));
      QueueEvent(kIdRichPresenceJoin, &e, sizeof e);
      return;
    }
    case Op::Config: {
      std::lock_guard<std::mutex> guard(c.netLock);
      c.configBits = r.U32();
      return;
    }
    default:
      std::fprintf(stderr, "steam stand-in: unknown push %d from the broker\n", static_cast<int>(op));
      return;
  }
}

void ReadLoop() {
  Client& c = C();
  std::vector<std::uint8_t> input;
  char buffer[65536];
  for (;;) {
    int n = ::recv(c.socket, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    input.insert(input.end(), buffer, buffer + n);
    std::size_t at = 0;
    while (input.size() - at >= 4) {
      std::uint32_t size;
      std::memcpy(&size, input.data() + at, 4);
      if (input.size() - at - 4 < size) break;
      HandlePush(input.data() + at + 4, size);
      at += 4 + size;
    }
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(at));
  }
  c.connected.store(false);
  std::lock_guard<std::mutex> guard(c.replyLock);
  c.replyArrived.notify_all();
}

SOCKET ConnectTo(std::uint16_t port) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return s;
}

// With no broker named in FWSTEAM_BROKER, use the default port and start
// steam_broker.exe from this DLL's folder when nothing answers there.
SOCKET ConnectOrStartBroker() {
  std::string named = EnvText("FWSTEAM_BROKER");
  if (!named.empty()) {
    std::size_t colon = named.rfind(':');
    return ConnectTo(static_cast<std::uint16_t>(std::atoi(named.c_str() + (colon == std::string::npos ? 0 : colon + 1))));
  }
  constexpr std::uint16_t kDefaultPort = 27960;
  SOCKET s = ConnectTo(kDefaultPort);
  if (s != INVALID_SOCKET) return s;
  HANDLE starting = CreateMutexW(nullptr, FALSE, L"Local\\FenwardenSteamStandInBrokerStart");
  if (starting) WaitForSingleObject(starting, 15000);
  s = ConnectTo(kDefaultPort);
  if (s == INVALID_SOCKET) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ConnectOrStartBroker), &self);
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    std::wstring folder(path, n);
    folder = folder.substr(0, folder.find_last_of(L"\\/"));
    std::wstring line = L"\"" + folder + L"\\steam_broker.exe\" --port 27960 --idle-exit 15";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
      for (int i = 0; i < 100 && s == INVALID_SOCKET; ++i) {
        Sleep(100);
        s = ConnectTo(kDefaultPort);
      }
    }
  }
  if (starting) {
    ReleaseMutex(starting);
    CloseHandle(starting);
  }
  return s;
}

// [SECTION] Callbacks

int ExpectedSize(int id) {
  switch (id) {
    case kIdSessionRequest: return sizeof(SessionRequestEvent);
    case kIdJoinRequested: return sizeof(LobbyJoinRequestedEvent);
    case kIdRichPresenceJoin: return sizeof(RichPresenceJoinEvent);
    case kIdChatUpdate: return sizeof(LobbyChatUpdateEvent);
    default: return -1;
  }
}

void Dispatch() {
  Client& c = C();
  std::lock_guard<std::recursive_mutex> dispatching(c.dispatchLock);
  std::vector<Event> events;
  {
    std::lock_guard<std::mutex> guard(c.eventLock);
    events.swap(c.events);
  }
  for (Event& e : events) {
    std::vector<Receiver*> targets;
    {
      std::lock_guard<std::mutex> guard(c.receiverLock);
      auto [from, to] = c.receivers.equal_range(e.id);
      for (auto it = from; it != to; ++it) targets.push_back(it->second);
    }
    for (Receiver* r : targets) {
      bool still;
      {
        std::lock_guard<std::mutex> guard(c.receiverLock);
        still = false;
        auto [from, to] = c.receivers.equal_range(e.id);
        for (auto it = from; it != to; ++it) still |= it->second == r;
      }
      if (still) r->table->run(r, e.data.data());
    }
  }
}

void DispatchLoop() {
  while (C().ready.load()) {
    Dispatch();
    Sleep(2);
  }
}

bool Flag(const char* name) {
  std::string v = EnvText(name);
  return !v.empty() && v != "0";
}

}  // namespace

// [SECTION] Exports
// Listed by name in the module-definition file; nothing else is exported.
extern "C" {

bool SteamAPI_Init() {
  Client& c = C();
  if (c.ready.load()) return true;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
  SOCKET s = ConnectOrStartBroker();
  if (s == INVALID_SOCKET) {
    std::fprintf(stderr, "steam stand-in: no broker to connect to\n");
    return false;
  }
  c.socket = s;
  c.connected.store(true);
  if (::send(s, fwsteam::kClientMagic, 4, 0) != 4) return false;
  c.reader = std::thread(ReadLoop);
  std::string account = EnvText("FWSTEAM_ACCOUNT");
  std::uint64_t id = fwsteam::ExpandAccountId(account.empty() ? GetCurrentProcessId() : std::strtoull(account.c_str(), nullptr, 0));
  auto reply = Call(Op::Hello, [&](Writer& w) { w.U64(id); });
  if (!reply) {
    std::fprintf(stderr, "steam stand-in: the broker did not answer\n");
    return false;
  }
  Reader r(reply->data(), reply->size());
  c.steamId = id;
  c.persona = r.Str();
  c.language = r.Str();
  c.steamIdZero = Flag("FWSTEAM_STEAMID_ZERO");
  c.callbackThread = Flag("FWSTEAM_CALLBACK_THREAD");
  std::string nullSeconds = EnvText("FWSTEAM_NULL_INTERFACES_SECONDS");
  c.readyAtUs = NowUs() + static_cast<std::int64_t>(std::atof(nullSeconds.c_str()) * 1e6);
  c.ready.store(true);
  if (c.callbackThread) c.dispatcher = std::thread(DispatchLoop);
  return true;
}

void SteamAPI_Shutdown() {
  Client& c = C();
  if (!c.ready.exchange(false)) return;
  if (c.dispatcher.joinable()) c.dispatcher.join();
  shutdown(c.socket, SD_BOTH);
  if (c.reader.joinable()) c.reader.join();
  closesocket(c.socket);
}

void SteamAPI_RunCallbacks() {
  if (!C().callbackThread) Dispatch();
}

void SteamAPI_RegisterCallback(Receiver* receiver, int id) {
  if (!receiver) return;
  int size = receiver->table->size(receiver);
  if (size != ExpectedSize(id)) {
    std::fprintf(stderr, "steam stand-in: receiver for callback %d reports %d bytes, expected %d; not registered\n", id,
                 size, ExpectedSize(id));
    std::fflush(stderr);
    return;
  }
  Client& c = C();
  std::lock_guard<std::mutex> guard(c.receiverLock);
  receiver->flags |= 1;
  receiver->id = id;
  c.receivers.emplace(id, receiver);
}

void SteamAPI_UnregisterCallback(Receiver* receiver) {
  Client& c = C();
  std::lock_guard<std::recursive_mutex> dispatching(c.dispatchLock);
  std::lock_guard<std::mutex> guard(c.receiverLock);
  for (auto it = c.receivers.begin(); it != c.receivers.end();) {
    if (it->second == receiver) it = c.receivers.erase(it);
    else ++it;
  }
  if (receiver) receiver->flags &= static_cast<std::uint8_t>(~1u);
}

void* SteamAPI_SteamMatchmaking_v009() { return InterfacesUp() ? &g_matchmaking : nullptr; }
void* SteamAPI_SteamNetworkingMessages_SteamAPI_v002() { return InterfacesUp() ? &g_messages : nullptr; }
void* SteamAPI_SteamFriends_v018() { return InterfacesUp() ? &g_friends : nullptr; }
void* SteamAPI_SteamUser_v023() { return InterfacesUp() ? &g_user : nullptr; }
void* SteamAPI_SteamUtils_v010() { return InterfacesUp() ? &g_utils : nullptr; }
void* SteamAPI_SteamApps_v008() { return InterfacesUp() ? &g_apps : nullptr; }

// ---- matchmaking ----
std::uint64_t SteamAPI_ISteamMatchmaking_CreateLobby(void* self, int type, int maxMembers) {
  if (!CheckSelf(self, g_matchmaking, __func__)) return 0;
  auto reply = Call(Op::CreateLobby, [&](Writer& w) { w.I32(type).I32(maxMembers); });
  return reply ? Reader(reply->data(), reply->size()).U64() : 0;
}
std::uint64_t SteamAPI_ISteamMatchmaking_JoinLobby(void* self, std::uint64_t lobby) {
  if (!CheckSelf(self, g_matchmaking, __func__)) return 0;
  auto reply = Call(Op::JoinLobby, [&](Writer& w) { w.U64(lobby); });
  return reply ? Reader(reply->data(), reply->size()).U64() : 0;
}
void SteamAPI_ISteamMatchmaking_LeaveLobby(void* self, std::uint64_t lobby) {
  if (CheckSelf(self, g_matchmaking, __func__)) Post(Op::LeaveLobby, [&](Writer& w) { w.U64(lobby); });
}
std::uint64_t SteamAPI_ISteamMatchmaking_GetLobbyOwner(void* self, std::uint64_t lobby) {
  if (!CheckSelf(self, g_matchmaking, __func__)) return 0;
  auto reply = Call(Op::LobbyOwner, [&](Writer& w) { w.U64(lobby); });
  return reply ? Reader(reply->data(), reply->size()).U64() : 0;
}
int SteamAPI_ISteamMatchmaking_GetNumLobbyMembers(void* self, std::uint64_t lobby) {
  if (!CheckSelf(self, g_matchmaking, __func__)) return 0;
  auto reply = Call(Op::LobbyMemberCount, [&](Writer& w) { w.U64(lobby); });
  return reply ? Reader(reply->data(), reply->size()).I32() : 0;
}
std::uint64_t SteamAPI_ISteamMatchmaking_GetLobbyMemberByIndex(void* self, std::uint64_t lobby, int index) {
  if (!CheckSelf(self, g_matchmaking, __func__)) return 0;
  auto reply = Call(Op::LobbyMember, [&](Writer& w) { w.U64(lobby).I32(index); });
  return reply ? Reader(reply->data(), reply->size()).U64() : 0;
}
bool SteamAPI_ISteamMatchmaking_SetLobbyData(void* self, std::uint64_t lobby, const char* key, const char* value) {
  if (!CheckSelf(self, g_matchmaking, __func__) || !key || !value) return false;
  auto reply = Call(Op::SetLobbyData, [&](Writer& w) { w.U64(lobby).Str(key).Str(value); });
  return reply && Reader(reply->data(), reply->size()).U8() != 0;
}
const char* SteamAPI_ISteamMatchmaking_GetLobbyData(void* self, std::uint64_t lobby, const char* key) {
  if (!CheckSelf(self, g_matchmaking, __func__) || !key) return "";
  auto reply = Call(Op::GetLobbyData, [&](Writer& w) { w.U64(lobby).Str(key); });
  return reply ? KeepText(Reader(reply->data(), reply->size()).Str()) : "";
}
bool SteamAPI_ISteamMatchmaking_RequestLobbyData(void* self, std::uint64_t lobby) {
  if (!CheckSelf(self, g_matchmaking, __func__)) return false;
  auto reply = Call(Op::RequestLobbyData, [&](Writer& w) { w.U64(lobby); });
  return reply && Reader(reply->data(), reply->size()).U8() != 0;
}
int SteamAPI_ISteamMatchmaking_GetLobbyMemberLimit(void* self, std::uint64_t lobby) {
  if (!CheckSelf(self, g_matchmaking, __func__)) return 0;
  auto reply = Call(Op::LobbyMemberLimit, [&](Writer& w) { w.U64(lobby); });
  return reply ? Reader(reply->data(), reply->size()).I32() : 0;
}

// ---- networking messages ----
void SteamAPI_SteamNetworkingIdentity_SetSteamID64(NetIdentity* identity, std::uint64_t id) {
  if (!identity) return;
  std::memset(identity, 0, sizeof *identity);
  identity->type = kIdentitySteamId;
  identity->size = 8;
  identity->steamId = id;
}
std::uint64_t SteamAPI_SteamNetworkingIdentity_GetSteamID64(NetIdentity* identity) {
  return identity && identity->type == kIdentitySteamId ? identity->steamId : 0;
}

int SteamAPI_ISteamNetworkingMessages_SendMessageToUser(void* self, const NetIdentity* to, const void* data,
                                                        std::uint32_t size, int flags, int channel) {
  Client& c = C();
  ++c.sendCalls;
  if (!CheckSelf(self, g_messages, __func__)) return kEResultInvalidParam;
  if (!to || to->type != kIdentitySteamId || to->steamId == 0 || (!data && size > 0)) return kEResultInvalidParam;
  if (size > kMaxMessage) return kEResultLimitExceeded;
  std::uint64_t peer = to->steamId;
  {
    // Sending to a peer accepts its pending session, as Steam does.
    std::lock_guard<std::mutex> guard(c.netLock);
    if (c.accepted.insert(peer).second) {
      auto it = c.held.find(peer);
      if (it != c.held.end()) {
        for (Inbound& m : it->second) c.inbox[m.channel].push_back(std::move(m));
        c.held.erase(it);
      }
    }
  }
  Writer w(Op::Send);
  w.U64(peer).I32(channel).U8((flags & kSendReliable) != 0).Bytes(data, size);
  return SendFrame(w.Frame()) ? kEResultOk : kEResultNoConnection;
}

namespace {
void ReleaseMessage(NetMessage* m) {
  if (!m) return;
  std::free(m->data);
  delete m;
}
}  // namespace

int SteamAPI_ISteamNetworkingMessages_ReceiveMessagesOnChannel(void* self, int channel, NetMessage** out, int max) {
  if (!CheckSelf(self, g_messages, __func__) || !out || max <= 0) return 0;
  Client& c = C();
  std::lock_guard<std::mutex> guard(c.netLock);
  auto& queue = c.inbox[channel];
  int n = 0;
  while (n < max && !queue.empty()) {
    Inbound& in = queue.front();
    auto* m = new NetMessage{};
    m->size = static_cast<std::int32_t>(in.bytes.size());
    m->data = std::malloc(in.bytes.empty() ? 1 : in.bytes.size());
    if (!in.bytes.empty()) std::memcpy(m->data, in.bytes.data(), in.bytes.size());
    m->peer.type = kIdentitySteamId;
    m->peer.size = 8;
    m->peer.steamId = in.from;
    m->timeReceivedUs = in.atUs;
    m->messageNumber = c.nextMessageNumber++;
    m->release = &ReleaseMessage;
    m->channel = channel;
    out[n++] = m;
    queue.pop_front();
  }
  return n;
}

void SteamAPI_SteamNetworkingMessage_t_Release(NetMessage* m) {
  if (m && m->release) m->release(m);
}

bool SteamAPI_ISteamNetworkingMessages_AcceptSessionWithUser(void* self, const NetIdentity* peer) {
  if (!CheckSelf(self, g_messages, __func__) || !peer || peer->type != kIdentitySteamId) return false;
  Client& c = C();
  std::lock_guard<std::mutex> guard(c.netLock);
  std::uint64_t id = peer->steamId;
  if (c.accepted.count(id)) return true;
  auto it = c.held.find(id);
  if (it == c.held.end()) return false;
  for (Inbound& m : it->second) c.inbox[m.channel].push_back(std::move(m));
  c.held.erase(it);
  c.accepted.insert(id);
  return true;
}

bool SteamAPI_ISteamNetworkingMessages_CloseSessionWithUser(void* self, const NetIdentity* peer) {
  if (!CheckSelf(self, g_messages, __func__) || !peer || peer->type != kIdentitySteamId) return false;
  Client& c = C();
  std::lock_guard<std::mutex> guard(c.netLock);
  std::uint64_t id = peer->steamId;
  bool had = c.accepted.erase(id) > 0;
  had |= c.held.erase(id) > 0;
  c.lastRequestUs.erase(id);
  return had;
}

// ---- friends ----
const char* SteamAPI_ISteamFriends_GetPersonaName(void* self) {
  if (!CheckSelf(self, g_friends, __func__)) return "";
  return C().persona.c_str();
}
int SteamAPI_ISteamFriends_GetFriendCount(void* self, int flags) {
  if (!CheckSelf(self, g_friends, __func__)) return 0;
  auto reply = Call(Op::FriendCount, [&](Writer& w) { w.I32(flags); });
  return reply ? Reader(reply->data(), reply->size()).I32() : 0;
}
std::uint64_t SteamAPI_ISteamFriends_GetFriendByIndex(void* self, int index, int flags) {
  if (!CheckSelf(self, g_friends, __func__)) return 0;
  auto reply = Call(Op::FriendByIndex, [&](Writer& w) { w.I32(index).I32(flags); });
  return reply ? Reader(reply->data(), reply->size()).U64() : 0;
}
bool SteamAPI_ISteamFriends_GetFriendGamePlayed(void* self, std::uint64_t friendId, FriendGameInfo* info) {
  if (!CheckSelf(self, g_friends, __func__) || !info) return false;
  auto reply = Call(Op::FriendGamePlayed, [&](Writer& w) { w.U64(friendId); });
  if (!reply) return false;
  Reader r(reply->data(), reply->size());
  bool inGame = r.U8() != 0;
  *info = FriendGameInfo{};
  info->gameId = r.U64();
  info->lobby = r.U64();
  return inGame;
}
const char* SteamAPI_ISteamFriends_GetFriendPersonaName(void* self, std::uint64_t friendId) {
  if (!CheckSelf(self, g_friends, __func__)) return "";
  auto reply = Call(Op::FriendPersona, [&](Writer& w) { w.U64(friendId); });
  return reply ? KeepText(Reader(reply->data(), reply->size()).Str()) : "";
}
bool SteamAPI_ISteamFriends_SetRichPresence(void* self, const char* key, const char* value) {
  if (!CheckSelf(self, g_friends, __func__) || !key) return false;
  auto reply = Call(Op::SetRichPresence, [&](Writer& w) { w.Str(key).Str(value ? value : ""); });
  return reply && Reader(reply->data(), reply->size()).U8() != 0;
}
void SteamAPI_ISteamFriends_ClearRichPresence(void* self) {
  if (CheckSelf(self, g_friends, __func__)) Post(Op::ClearRichPresence, [](Writer&) {});
}

// ---- user, utils, apps ----
std::uint64_t SteamAPI_ISteamUser_GetSteamID(void* self) {
  if (!CheckSelf(self, g_user, __func__)) return 0;
  return C().steamIdZero ? 0 : C().steamId;
}

bool SteamAPI_ISteamUtils_IsAPICallCompleted(void* self, std::uint64_t call, bool* failed) {
  if (!CheckSelf(self, g_utils, __func__)) return false;
  Client& c = C();
  std::lock_guard<std::mutex> guard(c.resultLock);
  bool done = c.results.count(call) > 0;
  if (failed) *failed = false;
  return done;
}

bool SteamAPI_ISteamUtils_GetAPICallResult(void* self, std::uint64_t call, void* out, int size, int expectedId,
                                           bool* failed) {
  if (failed) *failed = true;
  if (!CheckSelf(self, g_utils, __func__) || !out) return false;
  Client& c = C();
  std::lock_guard<std::mutex> guard(c.resultLock);
  auto it = c.results.find(call);
  if (it == c.results.end()) return false;
  const CallResult& r = it->second;
  int wantId = r.kind == 0 ? kIdLobbyCreated : kIdLobbyEnter;
  int wantSize = r.kind == 0 ? static_cast<int>(sizeof(LobbyCreatedResult)) : static_cast<int>(sizeof(LobbyEnterResult));
  if (expectedId != wantId || size != wantSize) {
    std::fprintf(stderr, "steam stand-in: call %llu fetched as id %d, %d bytes; it is id %d, %d bytes\n",
                 static_cast<unsigned long long>(call), expectedId, size, wantId, wantSize);
    std::fflush(stderr);
    return false;
  }
  if (r.kind == 0) {
    LobbyCreatedResult result{};
    result.result = r.result;
    result.lobby = r.lobby;
    std::memcpy(out, &result, sizeof result);
  } else {
    LobbyEnterResult result{};
    result.lobby = r.lobby;
    result.response = static_cast<std::uint32_t>(r.result);
    std::memcpy(out, &result, sizeof result);
  }
  c.results.erase(it);
  if (failed) *failed = false;
  return true;
}

const char* SteamAPI_ISteamApps_GetCurrentGameLanguage(void* self) {
  if (!CheckSelf(self, g_apps, __func__)) return "";
  return C().language.c_str();
}

// Not Steam's: how many times SendMessageToUser was called, for tests that
// check a refused send never reached Steam.
int FwSteamStandIn_SendCalls() { return C().sendCalls.load(); }

}  // extern "C"
