// The stand-in Steam's broker: the one process every stand-in steam_api64.dll
// connects to. It owns what Steam's servers own (accounts, friends, lobbies,
// rich presence, invitations) and routes messages between clients with
// per-link impairments. See README.md for the control commands.
//
// Threads: Start() serves on a thread of its own; Run() serves on the
// caller's. Command() may be called from any thread, also while serving.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace fwsteam {

class Broker {
 public:
  Broker();
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // Listens on 127.0.0.1:port (0 = a free port chosen by the system).
  bool Listen(std::uint16_t port);
  std::uint16_t Port() const;
  // Serves on a new thread until Stop() or destruction.
  bool Start(std::uint16_t port = 0);
  // Serves on the calling thread; with idleExitSeconds > 0 it returns once
  // no client has been connected for that long.
  void Run(int idleExitSeconds);
  void Stop();

  // One control command line; returns one JSON line (without the line feed).
  std::string Command(const std::string& line);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace fwsteam
