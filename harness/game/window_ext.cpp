// The stand-in game's window, renderer and scripted player input, switched on
// from the environment so game.exe's own switches stay untouched:
//
//   FWGAME_WINDOW=WxH[+X+Y]  open the game window (Direct3D 11, ~60 frames a
//                            second on its render thread) before the game starts
//   FWGAME_SCRIPT="t action; t action; ..."   at t seconds after start:
//       key <vk>            press and release a key (F1..F12, or a number)
//       click <x> <y>       move there, press the left button for 3 frames, release
//       text <chars>        type characters (WM_CHAR)
//       shot <file.bmp>     save the last presented frame
//   Input is posted to the window as the operating system would deliver it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "game_window.h"

namespace {

std::string Env(const char* name) {
  char buffer[4096];
  DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

UINT KeyCode(const std::string& name) {
  if (name.size() > 1 && (name[0] == 'F' || name[0] == 'f')) return VK_F1 + std::atoi(name.c_str() + 1) - 1;
  if (name.size() == 1) return static_cast<UINT>(std::toupper(static_cast<unsigned char>(name[0])));
  return static_cast<UINT>(std::strtoul(name.c_str(), nullptr, 0));
}

void RunScript(standin::GameWindow* game, std::string script) {
  const ULONGLONG start = GetTickCount64();
  std::stringstream steps(script);
  std::string step;
  while (std::getline(steps, step, ';')) {
    std::stringstream words(step);
    double at = 0;
    std::string action;
    if (!(words >> at >> action)) continue;
    while (GetTickCount64() - start < static_cast<ULONGLONG>(at * 1000)) Sleep(10);
    HWND window = game->window();
    std::printf("game: script %.1f s: %s\n", at, step.c_str());
    std::fflush(stdout);
    if (action == "key") {
      std::string name;
      words >> name;
      UINT vk = KeyCode(name);
      PostMessageW(window, WM_KEYDOWN, vk, 1);
      game->WaitFrames(3);
      PostMessageW(window, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
    } else if (action == "click") {
      int x = 0, y = 0;
      words >> x >> y;
      PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
      game->WaitFrames(3);
      PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
      game->WaitFrames(3);
      PostMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    } else if (action == "text") {
      std::string rest;
      std::getline(words, rest);
      std::size_t first = rest.find_first_not_of(' ');
      for (char c : rest.substr(first == std::string::npos ? rest.size() : first)) {
        PostMessageW(window, WM_CHAR, static_cast<unsigned char>(c), 1);
        game->WaitFrames(1);
      }
    } else if (action == "shot") {
      std::string file;
      words >> file;
      game->RequestScreenshot(std::wstring(file.begin(), file.end()));
      game->WaitFrames(2);
    }
  }
}

struct WindowExtension {
  WindowExtension() {
    std::string size = Env("FWGAME_WINDOW");
    if (size.empty()) return;
    standin::GameWindow::Options options;
    std::sscanf(size.c_str(), "%dx%d+%d+%d", &options.width, &options.height, &options.x, &options.y);
    // Lives until the process ends: its threads are ended by the exit.
    auto* game = new standin::GameWindow();
    if (!game->Start(options)) {
      std::printf("game: window could not start\n");
      return;
    }
    std::printf("game: window %dx%d\n", options.width, options.height);
    std::string script = Env("FWGAME_SCRIPT");
    if (!script.empty()) std::thread(&RunScript, game, script).detach();
  }
};

const WindowExtension g_windowExtension;

}  // namespace
