// steam_broker.exe: the broker as a process of its own, for the demo and for
// clients that find no broker running (steam_api64.dll starts one).
//   --port N        listen on 127.0.0.1:N (default 27960; 0 = any free port)
//   --port-file F   write the port chosen to F once listening
//   --idle-exit S   exit once no client has been connected for S seconds
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "broker.h"

int main(int argc, char** argv) {
  int port = 27960, idle = 0;
  std::string portFile;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--port")) port = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--idle-exit")) idle = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--port-file")) portFile = argv[i + 1];
  }
  fwsteam::Broker broker;
  if (!broker.Listen(static_cast<unsigned short>(port))) {
    std::fprintf(stderr, "steam broker: cannot listen on port %d\n", port);
    return 1;
  }
  if (!portFile.empty()) {
    if (FILE* f = std::fopen(portFile.c_str(), "w")) {
      std::fprintf(f, "%u\n", broker.Port());
      std::fclose(f);
    }
  }
  std::printf("steam broker: listening on 127.0.0.1:%u\n", broker.Port());
  std::fflush(stdout);
  broker.Run(idle);
  return 0;
}
