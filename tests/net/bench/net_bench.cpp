// Benchmark (not a test): small unreliable messages between two processes on
// loopback, through SteamTransport, the stand-in Steam and its broker, against
// a baseline measured in the same run: the same messages over one plain TCP
// connection between the same two processes.
//
//   wine build/win/tests/net_bench.exe [--messages N] [--round-trips N]
//
// Prints round-trip times (median, 99th percentile), the latency the
// transport and broker add one way, and messages per second (every message
// echoed back, so both directions carry the load), each with its ratio to
// the baseline. The child process is this executable with --echo.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "broker.h"
#include "net/steam_api.h"
#include "net/transport.h"

using namespace bh::net;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kPayload = 16;
constexpr std::uint8_t kStop = 0x7F;

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

std::wstring Self() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n);
}

HANDLE Spawn(const std::wstring& args, const std::wstring& account) {
  SetEnvironmentVariableW(L"FWSTEAM_ACCOUNT", account.c_str());
  std::wstring line = L"\"" + Self() + L"\" " + args;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

bool StartSteam(const char* account) {
  SetEnvironmentVariableA("FWSTEAM_ACCOUNT", account);
  std::wstring self = Self();
  std::wstring bin = self.substr(0, self.find_last_of(L"\\/")) + L"\\..\\bin\\steam_api64.dll";
  HMODULE module = LoadLibraryW(bin.c_str());
  auto init = module ? reinterpret_cast<bool (*)()>(GetProcAddress(module, "SteamAPI_Init")) : nullptr;
  return init && init() && BindSteamApi();
}

void RunCallbacks() {
  static auto run =
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"steam_api64.dll"), "SteamAPI_RunCallbacks"));
  run();
}

struct Figures {
  double medianRttUs, p99RttUs, messagesPerSecond;
};

Figures Summarise(std::vector<double>& rtts, std::size_t messages, Clock::duration burst) {
  std::sort(rtts.begin(), rtts.end());
  return {rtts[rtts.size() / 2], rtts[rtts.size() * 99 / 100], messages / std::chrono::duration<double>(burst).count()};
}

// ---- through the transport ----

int EchoThroughTransport() {
  if (!StartSteam("2")) return 1;
  SteamTransport transport;
  if (!transport.Init()) return 1;
  const std::uint64_t parent = transport.LocalId() - 1;
  transport.OpenSession(parent);
  std::vector<Packet> in;
  for (;;) {
    RunCallbacks();
    in.clear();
    transport.Poll(in);
    for (const Packet& p : in) {
      if (p.bytes[0] == kStop) return 0;
      if (p.bytes[0] != kHeartbeatByte) transport.Send(parent, p.channel, p.bytes.data(), p.bytes.size());
    }
    if (in.empty()) Sleep(0);
  }
}

Figures MeasureTransport(int roundTrips, int messages) {
  HANDLE child = Spawn(L"--echo", L"2");
  SteamTransport transport;
  transport.Init();
  const std::uint64_t peer = transport.LocalId() + 1;
  transport.OpenSession(peer);
  std::vector<Packet> in;
  std::uint8_t message[kPayload] = {0x10};
  // Wait for the child to be up: it answers a probe once its session is open.
  for (bool up = false; !up;) {
    transport.Send(peer, kUnreliableChannel, message, sizeof message);
    Sleep(50);
    RunCallbacks();
    in.clear();
    transport.Poll(in);
    up = std::any_of(in.begin(), in.end(), [](const Packet& p) { return p.bytes[0] == 0x10; });
  }
  Sleep(200);
  RunCallbacks();
  in.clear();
  transport.Poll(in);

  std::vector<double> rtts;
  for (int i = 0; i < roundTrips; ++i) {
    std::memcpy(message + 1, &i, sizeof i);
    auto sent = Clock::now();
    transport.Send(peer, kUnreliableChannel, message, sizeof message);
    for (bool back = false; !back;) {
      in.clear();
      transport.Poll(in);
      for (const Packet& p : in) back |= p.bytes.size() == kPayload && std::memcmp(p.bytes.data() + 1, &i, sizeof i) == 0;
    }
    rtts.push_back(Us(Clock::now() - sent));
  }

  auto begin = Clock::now();
  int echoed = 0;
  for (int sent = 0; echoed < messages;) {
    // Keep a window of messages in flight, as a game sending bursts would.
    while (sent < messages && sent - echoed < 256) transport.Send(peer, kUnreliableChannel, message, sizeof message), ++sent;
    in.clear();
    transport.Poll(in);
    echoed += static_cast<int>(in.size());
  }
  auto burst = Clock::now() - begin;
  const std::uint8_t stop = kStop;
  transport.Send(peer, kReliableChannel, &stop, 1);
  WaitForSingleObject(child, 10000);
  CloseHandle(child);
  return Summarise(rtts, static_cast<std::size_t>(messages), burst);
}

// ---- the baseline: one TCP connection, the same messages framed by a length ----

bool SendAll(SOCKET s, const void* data, int size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    int n = ::send(s, p, size, 0);
    if (n <= 0) return false;
    p += n;
    size -= n;
  }
  return true;
}

bool RecvAll(SOCKET s, void* data, int size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    int n = ::recv(s, p, size, 0);
    if (n <= 0) return false;
    p += n;
    size -= n;
  }
  return true;
}

SOCKET Connect(unsigned short port) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return s;
}

int EchoThroughTcp(unsigned short port) {
  // Reads what has arrived and echoes every whole frame in one send, as the
  // broker batches what it reads.
  SOCKET s = Connect(port);
  std::vector<std::uint8_t> pending;
  char buffer[65536];
  constexpr std::size_t kFrame = 4 + kPayload;
  for (;;) {
    int n = ::recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    pending.insert(pending.end(), buffer, buffer + n);
    std::size_t whole = pending.size() / kFrame * kFrame;
    for (std::size_t at = 0; at < whole; at += kFrame)
      if (pending[at + 4] == kStop) return 0;
    if (!SendAll(s, pending.data(), static_cast<int>(whole))) break;
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(whole));
  }
  closesocket(s);
  return 0;
}

Figures MeasureTcp(int roundTrips, int messages) {
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listener, 1);
  int len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  HANDLE child = Spawn(L"--tcp-echo " + std::to_wstring(ntohs(addr.sin_port)), L"3");
  SOCKET s = ::accept(listener, nullptr, nullptr);
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  std::uint8_t frame[4 + kPayload] = {kPayload, 0, 0, 0, 0x10};

  std::vector<double> rtts;
  for (int i = 0; i < roundTrips; ++i) {
    auto sent = Clock::now();
    SendAll(s, frame, sizeof frame);
    RecvAll(s, frame, sizeof frame);
    rtts.push_back(Us(Clock::now() - sent));
  }
  // The same window as above, topped up in one send each time.
  auto begin = Clock::now();
  int sent = 0, echoed = 0;
  std::vector<std::uint8_t> batch;
  std::size_t pending = 0;
  char buffer[65536];
  while (echoed < messages) {
    batch.clear();
    for (; sent < messages && sent - echoed < 256; ++sent) batch.insert(batch.end(), frame, frame + sizeof frame);
    if (!batch.empty()) SendAll(s, batch.data(), static_cast<int>(batch.size()));
    int n = ::recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    pending += static_cast<std::size_t>(n);
    echoed += static_cast<int>(pending / sizeof frame);
    pending %= sizeof frame;
  }
  auto burst = Clock::now() - begin;
  frame[4] = kStop;
  SendAll(s, frame, sizeof frame);
  WaitForSingleObject(child, 10000);
  CloseHandle(child);
  closesocket(s);
  closesocket(listener);
  return Summarise(rtts, static_cast<std::size_t>(messages), burst);
}

}  // namespace

int main(int argc, char** argv) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  int roundTrips = 2000, messages = 50000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--echo") return EchoThroughTransport();
    if (a == "--tcp-echo" && i + 1 < argc) return EchoThroughTcp(static_cast<unsigned short>(std::atoi(argv[i + 1])));
    if (a == "--messages" && i + 1 < argc) messages = std::atoi(argv[++i]);
    if (a == "--round-trips" && i + 1 < argc) roundTrips = std::atoi(argv[++i]);
  }
  fwsteam::Broker broker;
  if (!broker.Start(0)) return 1;
  SetEnvironmentVariableA("FWSTEAM_BROKER", std::to_string(broker.Port()).c_str());
  if (!StartSteam("1")) {
    std::printf("bench: the stand-in Steam did not start\n");
    return 1;
  }
  Figures tcp = MeasureTcp(roundTrips, messages);
  Figures steam = MeasureTransport(roundTrips, messages);
  std::printf("net bench: %zu-byte unreliable messages between two processes on loopback (Wine)\n", kPayload);
  std::printf("%-34s %12s %12s %16s\n", "", "median RTT", "p99 RTT", "messages/s");
  std::printf("%-34s %9.1f us %9.1f us %16.0f\n", "baseline: one TCP connection", tcp.medianRttUs, tcp.p99RttUs,
              tcp.messagesPerSecond);
  std::printf("%-34s %9.1f us %9.1f us %16.0f\n", "SteamTransport via stand-in broker", steam.medianRttUs,
              steam.p99RttUs, steam.messagesPerSecond);
  std::printf("ratio to baseline: RTT x%.2f, messages/s x%.2f\n", steam.medianRttUs / tcp.medianRttUs,
              steam.messagesPerSecond / tcp.messagesPerSecond);
  std::printf("latency added one way by transport and broker: %.1f us (median)\n",
              (steam.medianRttUs - tcp.medianRttUs) / 2);
  return 0;
}
