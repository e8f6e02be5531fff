// The broker: a reader thread per client or control connection, a scheduler
// thread for timed deliveries (messages under impairment, call results after
// their delay), and the accounts, friends and lobbies. One mutex guards all of
// it; a reader holds it while it handles what it read, Command() while it
// runs a command. (A select() loop was tried first: under Wine it often woke
// only at its time-out, which put milliseconds on every message.)
//
// [SECTION] State
// [SECTION] Sockets and frames
// [SECTION] Lobbies
// [SECTION] Routing and impairments
// [SECTION] Client requests
// [SECTION] Control commands
// [SECTION] Serving loop
#include <winsock2.h>
#include <ws2tcpip.h>

#include "broker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <queue>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol.h"

namespace fwsteam {

// [SECTION] State

namespace {

using Json = nlohmann::json;

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct VirtualMessage {
  std::uint64_t from;
  int channel;
  std::vector<std::uint8_t> bytes;
  std::int64_t atUs;
};

struct Account {
  std::uint64_t id = 0;
  std::string persona;
  std::string language = "english";
  std::set<std::uint64_t> friends;
  std::map<std::string, std::string> presence;
  bool isVirtual = false;            // driven by control commands, never connects
  std::deque<VirtualMessage> inbox;  // virtual accounts only
};

struct Lobby {
  std::uint64_t id = 0;
  std::uint64_t owner = 0;
  int type = 0;
  int limit = 0;
  std::vector<std::uint64_t> members;  // in order of entry
  std::map<std::string, std::string> data;
};

struct Connection {
  SOCKET socket = INVALID_SOCKET;
  enum class Kind { Unknown, Client, Control } kind = Kind::Unknown;
  std::uint64_t account = 0;  // after Hello
  std::vector<std::uint8_t> input;
  std::map<std::uint64_t, std::int64_t> lobbyDataRequested;  // lobby -> when (us)
  std::vector<std::uint8_t> output;  // frames waiting for Flush()
  bool closing = false;  // its reader thread cleans up once the socket is shut down
  bool shutDown = false;
};

struct Impairment {
  double loss = 0, duplicate = 0, reorder = 0;  // probabilities, unreliable channel
  double latencyMs = 0, jitterMs = 0;           // unreliable channel
  double reliableLatencyMs = 0;                 // reliable channel
};

struct Scheduled {
  std::int64_t dueUs;
  std::uint64_t seq;
  enum class Kind { Message, CreateLobby, JoinLobby } kind;
  std::uint64_t from = 0, to = 0;  // message: sender, receiver; calls: caller in `from`
  int channel = 0;                 // message channel; CreateLobby: max members
  int lobbyType = 0;
  std::uint64_t lobby = 0, handle = 0;
  std::vector<std::uint8_t> bytes;
  bool operator>(const Scheduled& o) const { return dueUs != o.dueUs ? dueUs > o.dueUs : seq > o.seq; }
};

}  // namespace

struct Broker::State {
  std::mutex lock;  // guards everything below; serving thread and Command() callers
  SOCKET listener = INVALID_SOCKET;
  std::uint16_t port = 0;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::condition_variable wake;  // with `lock`: the scheduler's next due item, reader threads ending
  int readers = 0;               // reader threads alive; under lock

  std::map<SOCKET, Connection> connections;
  std::map<std::uint64_t, Account> accounts;
  std::map<std::uint64_t, Lobby> lobbies;
  std::uint64_t nextLobby = 1;
  std::uint64_t nextHandle = 1;
  std::uint64_t nextSeq = 0;
  std::priority_queue<Scheduled, std::vector<Scheduled>, std::greater<Scheduled>> queue;

  // Impairment rules by (from, to); 0 stands for any.
  std::map<std::pair<std::uint64_t, std::uint64_t>, Impairment> impairments;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::int64_t> lastReliableDue;
  std::set<std::uint64_t> cut;
  std::mt19937_64 random{12345};

  // Switches.
  int callDelayMs = 100;
  bool allowOverfill = false;
  bool unsolicited = false;

  // Counters.
  std::map<std::uint64_t, std::uint64_t> sentBy;
  std::uint64_t delivered = 0, dropped = 0;

  // ---- helpers (lock held) ----
  Account& AccountFor(std::uint64_t id) {
    Account& a = accounts[id];
    if (a.id == 0) {
      a.id = id;
      a.persona = "Player" + std::to_string(static_cast<std::uint32_t>(id));
    }
    return a;
  }
  Connection* ClientFor(std::uint64_t id) {
    for (auto& [s, c] : connections)
      if (c.kind == Connection::Kind::Client && c.account == id && !c.closing) return &c;
    return nullptr;
  }
  bool Online(std::uint64_t id) {
    auto it = accounts.find(id);
    return ClientFor(id) || (it != accounts.end() && it->second.isVirtual);
  }
  void Push(Connection& c, const std::vector<std::uint8_t>& frame);
  void PushTo(std::uint64_t account, Writer& w) {
    if (Connection* c = ClientFor(account)) Push(*c, w.Frame());
  }
  void Schedule(Scheduled s) {
    s.seq = nextSeq++;
    queue.push(std::move(s));
    wake.notify_all();
  }

  // Lobbies.
  Lobby* FindLobby(std::uint64_t id) {
    auto it = lobbies.find(id);
    return it == lobbies.end() ? nullptr : &it->second;
  }
  bool IsMember(const Lobby& l, std::uint64_t id) {
    return std::find(l.members.begin(), l.members.end(), id) != l.members.end();
  }
  std::uint64_t CreateLobbyNow(std::uint64_t owner, int type, int limit);
  int EnterLobby(std::uint64_t lobby, std::uint64_t who);  // EChatRoomEnterResponse
  void RemoveMember(std::uint64_t lobby, std::uint64_t who, std::uint32_t stateBits);
  void ChatUpdate(const Lobby& l, std::uint64_t changed, std::uint32_t bits);
  std::uint64_t LobbyOf(std::uint64_t who) {
    for (auto& [id, l] : lobbies)
      if (IsMember(l, who)) return id;
    return 0;
  }

  // Routing.
  const Impairment& ImpairmentFor(std::uint64_t from, std::uint64_t to) {
    static const Impairment none;
    for (auto key : {std::pair{from, to}, std::pair{from, std::uint64_t{0}}, std::pair{std::uint64_t{0}, to},
                     std::pair{std::uint64_t{0}, std::uint64_t{0}}}) {
      auto it = impairments.find(key);
      if (it != impairments.end()) return it->second;
    }
    return none;
  }
  double Uniform() { return std::uniform_real_distribution<double>(0, 1)(random); }
  void Route(std::uint64_t from, std::uint64_t to, int channel, bool reliable, std::vector<std::uint8_t> bytes);
  void Deliver(Scheduled& s);
  void RunDue(std::int64_t now);

  // Serving.
  void Serve(SOCKET socket);
  void ReadFrom(Connection& c, const char* data, int size);
  void HandleFrame(Connection& c, const std::uint8_t* body, std::size_t size);
  void HandleControlLines(Connection& c);
  void Drop(Connection& c);
  void Reap();
  void Flush();
  std::string Command(const std::string& line);
};

// [SECTION] Sockets and frames

// Frames are gathered per connection and written by Flush() once the work
// at hand is done: a burst read in one go leaves in one send per receiver.
void Broker::State::Push(Connection& c, const std::vector<std::uint8_t>& frame) {
  if (!c.closing) c.output.insert(c.output.end(), frame.begin(), frame.end());
}

void Broker::State::Flush() {
  for (auto& [socket, c] : connections) {
    std::size_t sent = 0;
    while (!c.closing && sent < c.output.size()) {
      int n = ::send(socket, reinterpret_cast<const char*>(c.output.data() + sent),
                     static_cast<int>(c.output.size() - sent), 0);
      if (n <= 0) c.closing = true;
      else sent += static_cast<std::size_t>(n);
    }
    c.output.clear();
  }
}

// [SECTION] Lobbies

std::uint64_t Broker::State::CreateLobbyNow(std::uint64_t owner, int type, int limit) {
  Lobby l;
  l.id = kLobbyBase + nextLobby++;
  l.owner = owner;
  l.type = type;
  l.limit = limit;
  l.members.push_back(owner);
  lobbies[l.id] = l;
  return l.id;
}

void Broker::State::ChatUpdate(const Lobby& l, std::uint64_t changed, std::uint32_t bits) {
  for (std::uint64_t m : l.members) {
    Writer w(Op::ChatUpdate);
    w.U64(l.id).U64(changed).U64(changed).U32(bits);
    PushTo(m, w);
  }
}

int Broker::State::EnterLobby(std::uint64_t lobby, std::uint64_t who) {
  Lobby* l = FindLobby(lobby);
  if (!l) return 2;  // doesn't exist
  if (IsMember(*l, who)) return 1;
  if (!allowOverfill && l->limit > 0 && static_cast<int>(l->members.size()) >= l->limit) return 4;  // full
  l->members.push_back(who);
  ChatUpdate(*l, who, 1);  // entered; the newcomer hears it too, as on Steam
  return 1;
}

void Broker::State::RemoveMember(std::uint64_t lobby, std::uint64_t who, std::uint32_t stateBits) {
  Lobby* l = FindLobby(lobby);
  if (!l || !IsMember(*l, who)) return;
  std::erase(l->members, who);
  if (l->members.empty()) {
    lobbies.erase(lobby);
    return;
  }
  if (l->owner == who) l->owner = l->members.front();
  ChatUpdate(*l, who, stateBits);
}

// [SECTION] Routing and impairments

void Broker::State::Route(std::uint64_t from, std::uint64_t to, int channel, bool reliable,
                          std::vector<std::uint8_t> bytes) {
  ++sentBy[from];
  if (cut.count(from) || cut.count(to) || !Online(to)) {
    ++dropped;
    return;
  }
  const Impairment& imp = ImpairmentFor(from, to);
  std::int64_t now = NowUs();
  Scheduled s;
  s.kind = Scheduled::Kind::Message;
  s.from = from;
  s.to = to;
  s.channel = channel;
  if (reliable) {
    std::int64_t& last = lastReliableDue[{from, to}];
    s.dueUs = std::max(now + static_cast<std::int64_t>(imp.reliableLatencyMs * 1000), last);
    last = s.dueUs;
    s.bytes = std::move(bytes);
    Schedule(std::move(s));
    return;
  }
  if (imp.loss > 0 && Uniform() < imp.loss) {
    ++dropped;
    return;
  }
  auto delayUs = [&] {
    double ms = imp.latencyMs + imp.jitterMs * Uniform();
    if (imp.reorder > 0 && Uniform() < imp.reorder) ms += std::max(imp.jitterMs, 20.0) * 2;  // overtaken by later ones
    return static_cast<std::int64_t>(ms * 1000);
  };
  bool twice = imp.duplicate > 0 && Uniform() < imp.duplicate;
  s.dueUs = now + delayUs();
  s.bytes = std::move(bytes);
  if (twice) {
    Scheduled copy = s;
    copy.dueUs = now + delayUs();
    Schedule(std::move(copy));
  }
  Schedule(std::move(s));
}

void Broker::State::Deliver(Scheduled& s) {
  switch (s.kind) {
    case Scheduled::Kind::Message: {
      if (cut.count(s.from) || cut.count(s.to)) {
        ++dropped;
        return;
      }
      Account& target = AccountFor(s.to);
      if (target.isVirtual) {
        target.inbox.push_back({s.from, s.channel, std::move(s.bytes), NowUs()});
        if (target.inbox.size() > 100000) target.inbox.pop_front();
        ++delivered;
        return;
      }
      Connection* c = ClientFor(s.to);
      if (!c) {
        ++dropped;
        return;
      }
      Writer w(Op::Message);
      w.U64(s.from).I32(s.channel).Bytes(s.bytes.data(), s.bytes.size());
      Push(*c, w.Frame());
      ++delivered;
      return;
    }
    case Scheduled::Kind::CreateLobby: {
      std::uint64_t lobby = Online(s.from) ? CreateLobbyNow(s.from, s.lobbyType, s.channel) : 0;
      Writer w(Op::CallResult);
      w.U64(s.handle).U8(0).U64(lobby).I32(lobby ? 1 : 2);  // EResult OK / Fail
      PushTo(s.from, w);
      return;
    }
    case Scheduled::Kind::JoinLobby: {
      int response = Online(s.from) ? EnterLobby(s.lobby, s.from) : 5;
      Writer w(Op::CallResult);
      w.U64(s.handle).U8(1).U64(s.lobby).I32(response);
      PushTo(s.from, w);
      return;
    }
  }
}

void Broker::State::RunDue(std::int64_t now) {
  while (!queue.empty() && queue.top().dueUs <= now) {
    Scheduled s = queue.top();
    queue.pop();
    Deliver(s);
  }
}

// [SECTION] Client requests

void Broker::State::HandleFrame(Connection& c, const std::uint8_t* body, std::size_t size) {
  Reader r(body, size);
  Op op = static_cast<Op>(r.U8());
  std::uint32_t request = r.U32();
  Writer reply(Op::Reply, request);
  bool answer = request != 0;
  std::uint64_t me = c.account;
  if (op != Op::Hello && me == 0) {
    std::fprintf(stderr, "steam broker: request %d before Hello; dropping the client\n", static_cast<int>(op));
    c.closing = true;
    return;
  }
  switch (op) {
    case Op::Hello: {
      std::uint64_t id = ExpandAccountId(r.U64());
      Account& a = AccountFor(id);
      a.isVirtual = false;
      c.account = id;
      reply.Str(a.persona).Str(a.language);
      Writer config(Op::Config);
      config.U32(unsolicited ? kConfigUnsolicited : 0);
      Push(c, config.Frame());
      break;
    }
    case Op::CreateLobby: {
      Scheduled s;
      s.kind = Scheduled::Kind::CreateLobby;
      s.lobbyType = r.I32();
      s.channel = r.I32();
      s.from = me;
      s.handle = nextHandle++;
      s.dueUs = NowUs() + callDelayMs * 1000ll;
      reply.U64(s.handle);
      Schedule(std::move(s));
      break;
    }
    case Op::JoinLobby: {
      Scheduled s;
      s.kind = Scheduled::Kind::JoinLobby;
      s.lobby = r.U64();
      s.from = me;
      s.handle = nextHandle++;
      s.dueUs = NowUs() + callDelayMs * 1000ll;
      reply.U64(s.handle);
      Schedule(std::move(s));
      break;
    }
    case Op::LeaveLobby:
      RemoveMember(r.U64(), me, 2);
      break;
    case Op::LobbyOwner: {
      Lobby* l = FindLobby(r.U64());
      reply.U64(l && IsMember(*l, me) ? l->owner : 0);  // Steam reports the owner to members only
      break;
    }
    case Op::LobbyMemberCount: {
      std::uint64_t id = r.U64();
      Lobby* l = FindLobby(id);
      bool visible = l && (IsMember(*l, me) || c.lobbyDataRequested.count(id));
      reply.I32(visible ? static_cast<std::int32_t>(l->members.size()) : 0);
      break;
    }
    case Op::LobbyMember: {
      Lobby* l = FindLobby(r.U64());
      std::int32_t i = r.I32();
      bool ok = l && IsMember(*l, me) && i >= 0 && i < static_cast<std::int32_t>(l->members.size());
      reply.U64(ok ? l->members[static_cast<std::size_t>(i)] : 0);
      break;
    }
    case Op::SetLobbyData: {
      Lobby* l = FindLobby(r.U64());
      std::string key = r.Str(), value = r.Str();
      bool ok = l && l->owner == me && !key.empty();
      if (ok) l->data[key] = value;
      reply.U8(ok);
      break;
    }
    case Op::GetLobbyData: {
      std::uint64_t id = r.U64();
      std::string key = r.Str();
      Lobby* l = FindLobby(id);
      // Non-members see the data once their request has had time to arrive.
      auto req = c.lobbyDataRequested.find(id);
      bool visible = l && (IsMember(*l, me) ||
                           (req != c.lobbyDataRequested.end() && NowUs() - req->second >= callDelayMs * 1000ll));
      std::string value;
      if (visible) {
        auto it = l->data.find(key);
        if (it != l->data.end()) value = it->second;
      }
      reply.Str(value);
      break;
    }
    case Op::RequestLobbyData: {
      std::uint64_t id = r.U64();
      bool ok = ((id >> 52) & 0xF) == 8;
      if (ok) c.lobbyDataRequested[id] = NowUs();
      reply.U8(ok);
      break;
    }
    case Op::LobbyMemberLimit: {
      Lobby* l = FindLobby(r.U64());
      reply.I32(l ? l->limit : 0);
      break;
    }
    case Op::Send: {
      std::uint64_t to = r.U64();
      std::int32_t channel = r.I32();
      bool reliable = r.U8() != 0;
      std::vector<std::uint8_t> bytes = r.Bytes();
      if (r.ok()) Route(me, to, channel, reliable, std::move(bytes));
      break;
    }
    case Op::FriendCount: {
      std::int32_t flags = r.I32();
      reply.I32((flags & 4) ? static_cast<std::int32_t>(AccountFor(me).friends.size()) : 0);
      break;
    }
    case Op::FriendByIndex: {
      std::int32_t i = r.I32(), flags = r.I32();
      const auto& friends = AccountFor(me).friends;
      std::uint64_t id = 0;
      if ((flags & 4) && i >= 0 && i < static_cast<std::int32_t>(friends.size())) id = *std::next(friends.begin(), i);
      reply.U64(id);
      break;
    }
    case Op::FriendGamePlayed: {
      std::uint64_t id = r.U64();
      bool inGame = AccountFor(me).friends.count(id) && Online(id);
      reply.U8(inGame).U64(inGame ? 480 : 0).U64(inGame ? LobbyOf(id) : 0);
      break;
    }
    case Op::FriendPersona: {
      std::uint64_t id = r.U64();
      auto it = accounts.find(id);
      reply.Str(it != accounts.end() ? it->second.persona : "[unknown]");
      break;
    }
    case Op::SetRichPresence: {
      std::string key = r.Str(), value = r.Str();
      auto& presence = AccountFor(me).presence;
      if (value.empty()) presence.erase(key);
      else presence[key] = value;
      reply.U8(!key.empty());
      break;
    }
    case Op::ClearRichPresence:
      AccountFor(me).presence.clear();
      break;
    default:
      std::fprintf(stderr, "steam broker: unknown request %d\n", static_cast<int>(op));
      answer = false;
      break;
  }
  if (answer) Push(c, reply.Frame());
}

// [SECTION] Control commands

namespace {

std::vector<std::string> Split(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

// The text after the first n words.
std::string RestAfter(const std::string& line, std::size_t n) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < n; ++i) {
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) return {};
    pos = line.find_first_of(" \t", pos);
    if (pos == std::string::npos) return {};
  }
  pos = line.find_first_not_of(" \t", pos);
  return pos == std::string::npos ? std::string() : line.substr(pos);
}

std::uint64_t ParseId(const std::string& s) {
  if (s == "*") return 0;
  try {
    return ExpandAccountId(std::stoull(s, nullptr, 0));
  } catch (...) {
    return 0;
  }
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::vector<std::uint8_t> Unhex(const std::string& s) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return out;
}

Json Error(const std::string& what) { return Json{{"ok", false}, {"error", what}}; }

}  // namespace

std::string Broker::State::Command(const std::string& line) {
  std::vector<std::string> w = Split(line);
  Json out{{"ok", true}};
  auto need = [&](std::size_t n) { return w.size() >= n; };
  try {
    if (w.empty()) return Error("empty command").dump();
    const std::string& cmd = w[0];
    if (cmd == "account" && need(2)) {
      Account& a = AccountFor(ParseId(w[1]));
      if (need(3)) a.language = w[2];
      if (need(4)) a.persona = RestAfter(line, 3);
      out["id"] = a.id;
    } else if (cmd == "virtual" && need(2)) {
      Account& a = AccountFor(ParseId(w[1]));
      a.isVirtual = true;
      out["id"] = a.id;
    } else if (cmd == "friend" && need(3)) {
      std::uint64_t a = ParseId(w[1]), b = ParseId(w[2]);
      AccountFor(a).friends.insert(b);
      AccountFor(b).friends.insert(a);
    } else if (cmd == "invite" && need(4)) {
      Writer m(Op::JoinRequested);
      m.U64(std::stoull(w[3], nullptr, 0)).U64(ParseId(w[1]));
      PushTo(ParseId(w[2]), m);
    } else if (cmd == "richjoin" && need(3)) {
      std::uint64_t from = ParseId(w[1]);
      std::string text = need(4) ? RestAfter(line, 3) : AccountFor(from).presence["connect"];
      Writer m(Op::RichPresenceJoin);
      m.U64(from).Str(text);
      PushTo(ParseId(w[2]), m);
      out["connect"] = text;
    } else if (cmd == "lobby" && need(2)) {
      Lobby* l = FindLobby(std::stoull(w[1], nullptr, 0));
      if (!l) return Error("no such lobby").dump();
      out["lobby"] = l->id;
      out["owner"] = l->owner;
      out["type"] = l->type;
      out["limit"] = l->limit;
      out["members"] = l->members;
      out["data"] = l->data;
    } else if (cmd == "lobbies") {
      Json list = Json::array();
      for (auto& [id, l] : lobbies) list.push_back({{"lobby", id}, {"owner", l.owner}, {"members", l.members}});
      out["lobbies"] = list;
    } else if (cmd == "presence" && need(2)) {
      out["presence"] = AccountFor(ParseId(w[1])).presence;
    } else if (cmd == "clients") {
      Json list = Json::array();
      for (auto& [s, c] : connections)
        if (c.kind == Connection::Kind::Client && c.account && !c.closing) list.push_back(c.account);
      out["clients"] = list;
    } else if (cmd == "impair" && need(3)) {
      Impairment& imp = impairments[{ParseId(w[1]), ParseId(w[2])}];
      imp = Impairment();
      for (std::size_t i = 3; i < w.size(); ++i) {
        std::size_t eq = w[i].find('=');
        if (eq == std::string::npos) return Error("expected key=value: " + w[i]).dump();
        std::string key = w[i].substr(0, eq);
        double v = std::stod(w[i].substr(eq + 1));
        if (key == "loss") imp.loss = v;
        else if (key == "latency") imp.latencyMs = v;
        else if (key == "jitter") imp.jitterMs = v;
        else if (key == "dup") imp.duplicate = v;
        else if (key == "reorder") imp.reorder = v;
        else if (key == "rlatency") imp.reliableLatencyMs = v;
        else return Error("unknown impairment " + key).dump();
      }
    } else if (cmd == "cut" && need(3)) {
      if (w[2] == "1") cut.insert(ParseId(w[1]));
      else cut.erase(ParseId(w[1]));
    } else if (cmd == "set" && need(3)) {
      long long v = std::stoll(w[2]);
      if (w[1] == "call_delay_ms") callDelayMs = static_cast<int>(v);
      else if (w[1] == "allow_overfill") allowOverfill = v != 0;
      else if (w[1] == "seed") random.seed(static_cast<std::uint64_t>(v));
      else if (w[1] == "unsolicited") {
        unsolicited = v != 0;
        for (auto& [s, c] : connections) {
          if (c.kind != Connection::Kind::Client) continue;
          Writer m(Op::Config);
          m.U32(unsolicited ? kConfigUnsolicited : 0);
          Push(c, m.Frame());
        }
      } else return Error("unknown switch " + w[1]).dump();
    } else if (cmd == "vcreate" && need(3)) {
      std::uint64_t id = ParseId(w[1]);
      AccountFor(id).isVirtual = true;
      out["lobby"] = CreateLobbyNow(id, 1, std::stoi(w[2]));
    } else if (cmd == "vjoin" && need(3)) {
      std::uint64_t id = ParseId(w[1]);
      AccountFor(id).isVirtual = true;
      out["response"] = EnterLobby(std::stoull(w[2], nullptr, 0), id);
    } else if (cmd == "vleave" && need(3)) {
      RemoveMember(std::stoull(w[2], nullptr, 0), ParseId(w[1]), 2);
    } else if (cmd == "vsetdata" && need(4)) {
      Lobby* l = FindLobby(std::stoull(w[2], nullptr, 0));
      if (!l || l->owner != ParseId(w[1])) return Error("not the owner").dump();
      l->data[w[3]] = RestAfter(line, 4);
    } else if (cmd == "vsend" && need(5)) {
      Route(ParseId(w[1]), ParseId(w[2]), std::stoi(w[3]), w[3] == "0", Unhex(w[4]));
    } else if (cmd == "vrecv" && need(2)) {
      Account& a = AccountFor(ParseId(w[1]));
      Json list = Json::array();
      for (auto& m : a.inbox) list.push_back({{"from", m.from}, {"channel", m.channel}, {"hex", Hex(m.bytes)}, {"us", m.atUs}});
      a.inbox.clear();
      out["messages"] = list;
    } else if (cmd == "stats") {
      Json sent = Json::object();
      for (auto& [id, n] : sentBy) sent[std::to_string(id)] = n;
      out["sent"] = sent;
      out["delivered"] = delivered;
      out["dropped"] = dropped;
    } else if (cmd == "kick" && need(2)) {
      if (Connection* c = ClientFor(ParseId(w[1]))) c->closing = true;
    } else {
      return Error("unknown or incomplete command: " + line).dump();
    }
  } catch (const std::exception& e) {
    return Error(std::string("bad argument: ") + e.what()).dump();
  }
  return out.dump();
}

// [SECTION] Serving loop

void Broker::State::HandleControlLines(Connection& c) {
  for (;;) {
    auto nl = std::find(c.input.begin(), c.input.end(), '\n');
    if (nl == c.input.end()) return;
    std::string line(c.input.begin(), nl);
    c.input.erase(c.input.begin(), nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string reply = Command(line) + "\n";
    Push(c, std::vector<std::uint8_t>(reply.begin(), reply.end()));
  }
}

void Broker::State::ReadFrom(Connection& c, const char* data, int n) {
  c.input.insert(c.input.end(), data, data + n);
  if (c.kind == Connection::Kind::Unknown) {
    if (c.input.size() < 4) return;
    if (std::equal(c.input.begin(), c.input.begin() + 4, kClientMagic)) {
      c.kind = Connection::Kind::Client;
      c.input.erase(c.input.begin(), c.input.begin() + 4);
    } else {
      c.kind = Connection::Kind::Control;
    }
  }
  if (c.kind == Connection::Kind::Control) {
    HandleControlLines(c);
    return;
  }
  std::size_t at = 0;
  while (!c.closing && c.input.size() - at >= 4) {
    std::uint32_t size;
    std::memcpy(&size, c.input.data() + at, 4);
    if (size > kMaxFrame || size < 5) {
      std::fprintf(stderr, "steam broker: bad frame of %u bytes; dropping the client\n", size);
      c.closing = true;
      break;
    }
    if (c.input.size() - at - 4 < size) break;
    HandleFrame(c, c.input.data() + at + 4, size);
    at += 4 + size;
  }
  c.input.erase(c.input.begin(), c.input.begin() + static_cast<std::ptrdiff_t>(std::min(at, c.input.size())));
}

void Broker::State::Drop(Connection& c) {
  if (c.kind == Connection::Kind::Client && c.account) {
    std::uint64_t who = c.account;
    c.account = 0;
    if (!ClientFor(who)) {
      std::vector<std::uint64_t> in;
      for (auto& [id, l] : lobbies)
        if (IsMember(l, who)) in.push_back(id);
      for (std::uint64_t id : in) RemoveMember(id, who, 4);  // disconnected
      AccountFor(who).presence.clear();
    }
  }
  closesocket(c.socket);
}

// Connections marked closing are shut down; their reader threads then see
// the end of the stream and clean up.
void Broker::State::Reap() {
  for (auto& [socket, c] : connections) {
    if (c.closing && !c.shutDown) {
      c.shutDown = true;
      shutdown(socket, SD_BOTH);
    }
  }
}

void Broker::State::Serve(SOCKET socket) {
  char buffer[65536];
  for (;;) {
    int n = ::recv(socket, buffer, sizeof buffer, 0);
    std::lock_guard<std::mutex> guard(lock);
    Connection& c = connections[socket];  // stays until this thread erases it
    if (n <= 0) {
      Drop(c);
      connections.erase(socket);
      --readers;
      wake.notify_all();
      return;
    }
    if (!c.closing) ReadFrom(c, buffer, n);
    RunDue(NowUs());
    Flush();
    Reap();
  }
}

Broker::Broker() : state_(std::make_unique<State>()) {}
Broker::~Broker() {
  Stop();
  if (state_->listener != INVALID_SOCKET) closesocket(state_->listener);
}

bool Broker::Listen(std::uint16_t port) {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 64) != 0) {
    closesocket(s);
    return false;
  }
  int len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  state_->listener = s;
  state_->port = ntohs(addr.sin_port);
  return true;
}

std::uint16_t Broker::Port() const { return state_->port; }

void Broker::Run(int idleExitSeconds) {
  State& st = *state_;
  std::thread scheduler([&st] {
    std::unique_lock<std::mutex> lock(st.lock);
    while (!st.stop.load()) {
      if (st.queue.empty()) st.wake.wait_for(lock, std::chrono::milliseconds(100));
      else st.wake.wait_for(lock, std::chrono::microseconds(std::max<std::int64_t>(st.queue.top().dueUs - NowUs(), 0)));
      st.RunDue(NowUs());
      st.Flush();
      st.Reap();
    }
  });
  std::int64_t lastClientUs = NowUs();
  while (!st.stop.load()) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(st.listener, &readable);
    timeval tv{0, 200000};
    if (::select(0, &readable, nullptr, nullptr, &tv) > 0) {
      SOCKET s = ::accept(st.listener, nullptr, nullptr);
      if (s != INVALID_SOCKET) {
        BOOL on = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        std::lock_guard<std::mutex> guard(st.lock);
        st.connections[s].socket = s;
        ++st.readers;
        std::thread([&st, s] { st.Serve(s); }).detach();
      }
    }
    std::lock_guard<std::mutex> guard(st.lock);
    bool anyClient = false;
    for (auto& [s, c] : st.connections) anyClient |= c.kind != Connection::Kind::Control;
    if (anyClient) lastClientUs = NowUs();
    if (idleExitSeconds > 0 && NowUs() - lastClientUs > idleExitSeconds * 1000000ll) break;
  }
  st.stop.store(true);
  {
    std::unique_lock<std::mutex> lock(st.lock);
    for (auto& [s, c] : st.connections) c.closing = true;
    st.Reap();
    st.wake.notify_all();
    st.wake.wait_for(lock, std::chrono::seconds(5), [&st] { return st.readers == 0; });
  }
  scheduler.join();
}

bool Broker::Start(std::uint16_t port) {
  if (!Listen(port)) return false;
  state_->thread = std::thread([this] { Run(0); });
  return true;
}

void Broker::Stop() {
  state_->stop.store(true);
  if (state_->thread.joinable()) state_->thread.join();
}

std::string Broker::Command(const std::string& line) {
  std::lock_guard<std::mutex> guard(state_->lock);
  std::string reply = state_->Command(line);
  state_->RunDue(NowUs());
  state_->Flush();
  state_->Reap();
  return reply;
}

}  // namespace fwsteam
