// A game window with a Direct3D 11 renderer, for the stand-in game and tests.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace standin {

class GameWindow {
 public:
  struct Options {
    int width = 1280;
    int height = 720;
    int x = 0, y = 0;
    const wchar_t* title = L"Brackenhold";
  };

  // Creates the window on its own thread and starts rendering; false when
  // the window or the device could not be created.
  bool Start(const Options& options);
  void Stop();
  ~GameWindow() { Stop(); }

  HWND window() const { return window_.load(); }
  std::uint64_t framesPresented() const { return frames_.load(); }
  // Waits until count more frames have been presented (false on timeout).
  bool WaitFrames(std::uint64_t count, unsigned timeoutMs = 10000) const;

  // What the game's window procedure received: message -> count, and the
  // wparam of each key message in order.
  std::map<UINT, int> received() const;
  std::vector<std::pair<UINT, WPARAM>> receivedKeys() const;
  void clearReceived();

  // Render-thread requests, carried out before the next frame.
  void RequestResize(int width, int height);
  void RequestNewSwapChain();  // same window and device
  void RequestSecondWindow();  // another window with its own swap chain
  bool requestsDone() const { return pending_.load() == 0; }
  // Saves the last presented frame (with whatever was drawn over it inside
  // Present) as a 24-bit BMP, before the next frame is drawn.
  void RequestScreenshot(const std::wstring& path);

 private:
  static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
  void WindowThread(Options options);
  void RenderThread();
  void Record(UINT message, WPARAM wparam);

  std::thread windowThread_, renderThread_;
  std::atomic<HWND> window_{nullptr};
  std::atomic<HWND> secondWindow_{nullptr};
  std::atomic<bool> running_{false};
  std::atomic<bool> ready_{false}, failed_{false};
  std::atomic<std::uint64_t> frames_{0};
  std::atomic<int> pending_{0};
  std::atomic<int> resizeWidth_{0}, resizeHeight_{0};
  std::atomic<bool> wantNewSwapChain_{false}, wantSecondWindow_{false};
  std::mutex screenshotLock_;  // guards screenshotPath_; any thread asks, the render thread takes
  std::wstring screenshotPath_;
  int width_ = 0, height_ = 0;

  mutable std::mutex receivedLock_;  // guards the two records; window thread writes, tests read
  std::map<UINT, int> received_;
  std::vector<std::pair<UINT, WPARAM>> receivedKeys_;
};

}  // namespace standin
