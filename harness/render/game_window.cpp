#include "game_window.h"

#include <d3d11.h>
#include <d3d11_1.h>
#include <dxgi.h>

#include <chrono>

namespace standin {
namespace {

const wchar_t kClassName[] = L"BrackenholdStandinWindow";
constexpr UINT kCreateSecondWindow = WM_APP + 0x301;

template <typename T>
void Release(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

}  // namespace

LRESULT CALLBACK GameWindow::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<GameWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self && ((message >= 0x100 && message <= 0x109) || (message >= 0x200 && message <= 0x20E) ||
               message == WM_INPUT))
    self->Record(message, wparam);
  if (message == WM_CLOSE) return 0;  // tests close the window with Stop()
  return DefWindowProcW(window, message, wparam, lparam);
}

void GameWindow::Record(UINT message, WPARAM wparam) {
  std::lock_guard<std::mutex> guard(receivedLock_);
  ++received_[message];
  if (message >= 0x100 && message <= 0x109) receivedKeys_.emplace_back(message, wparam);
}

std::map<UINT, int> GameWindow::received() const {
  std::lock_guard<std::mutex> guard(receivedLock_);
  return received_;
}

std::vector<std::pair<UINT, WPARAM>> GameWindow::receivedKeys() const {
  std::lock_guard<std::mutex> guard(receivedLock_);
  return receivedKeys_;
}

void GameWindow::clearReceived() {
  std::lock_guard<std::mutex> guard(receivedLock_);
  received_.clear();
  receivedKeys_.clear();
}

bool GameWindow::Start(const Options& options) {
  width_ = options.width;
  height_ = options.height;
  running_ = true;
  windowThread_ = std::thread([this, options] { WindowThread(options); });
  for (int i = 0; i < 1000 && !ready_ && !failed_; ++i) Sleep(10);
  if (!ready_) {
    Stop();
    return false;
  }
  renderThread_ = std::thread([this] { RenderThread(); });
  return WaitFrames(1);
}

void GameWindow::Stop() {
  if (!running_.exchange(false)) return;
  if (renderThread_.joinable()) renderThread_.join();
  if (HWND w = window_.load()) PostMessageW(w, WM_QUIT, 0, 0);
  if (windowThread_.joinable()) windowThread_.join();
}

bool GameWindow::WaitFrames(std::uint64_t count, unsigned timeoutMs) const {
  std::uint64_t target = frames_.load() + count;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (frames_.load() < target) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(5);
  }
  return true;
}

void GameWindow::RequestResize(int width, int height) {
  ++pending_;
  resizeHeight_ = height;
  resizeWidth_ = width;
}
void GameWindow::RequestNewSwapChain() {
  ++pending_;
  wantNewSwapChain_ = true;
}
void GameWindow::RequestSecondWindow() {
  ++pending_;
  wantSecondWindow_ = true;
}

void GameWindow::WindowThread(Options options) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &GameWindow::WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  RECT rect{0, 0, options.width, options.height};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  HWND window = CreateWindowExW(0, kClassName, options.title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, options.x, options.y,
                                rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, instance, nullptr);
  if (!window) {
    failed_ = true;
    return;
  }
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  SetForegroundWindow(window);
  window_ = window;
  ready_ = true;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == kCreateSecondWindow) {
      HWND second = CreateWindowExW(0, kClassName, L"Second", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 700, 500, 320, 240,
                                    nullptr, nullptr, instance, nullptr);
      secondWindow_ = second;
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (HWND second = secondWindow_.exchange(nullptr)) DestroyWindow(second);
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  DestroyWindow(window);
  window_ = nullptr;
}

void GameWindow::RenderThread() {
  DXGI_SWAP_CHAIN_DESC desc{};
  desc.BufferCount = 2;
  desc.BufferDesc.Width = static_cast<UINT>(width_);
  desc.BufferDesc.Height = static_cast<UINT>(height_);
  desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
  desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
  desc.OutputWindow = window_.load();
  desc.SampleDesc.Count = 1;
  desc.Windowed = TRUE;
  desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
  const D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
  IDXGISwapChain* swapChain = nullptr;
  ID3D11Device* device = nullptr;
  ID3D11DeviceContext* context = nullptr;
  if (FAILED(D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, &level, 1,
                                           D3D11_SDK_VERSION, &desc, &swapChain, &device, nullptr, &context))) {
    failed_ = true;
    return;
  }
  ID3D11DeviceContext1* context1 = nullptr;
  context->QueryInterface(__uuidof(ID3D11DeviceContext1), reinterpret_cast<void**>(&context1));
  IDXGIFactory* factory = nullptr;
  {
    IDXGIDevice* dxgiDevice = nullptr;
    IDXGIAdapter* adapter = nullptr;
    device->QueryInterface(__uuidof(IDXGIDevice), reinterpret_cast<void**>(&dxgiDevice));
    if (dxgiDevice && SUCCEEDED(dxgiDevice->GetAdapter(&adapter)))
      adapter->GetParent(__uuidof(IDXGIFactory), reinterpret_cast<void**>(&factory));
    Release(adapter);
    Release(dxgiDevice);
  }
  IDXGISwapChain* secondChain = nullptr;
  ID3D11RenderTargetView* target = nullptr;
  int width = width_, height = height_;
  const auto start = std::chrono::steady_clock::now();

  while (running_) {
    if (int w = resizeWidth_.exchange(0)) {
      int h = resizeHeight_.load();
      Release(target);
      context->OMSetRenderTargets(0, nullptr, nullptr);
      swapChain->ResizeBuffers(0, static_cast<UINT>(w), static_cast<UINT>(h), DXGI_FORMAT_UNKNOWN, 0);
      width = w;
      height = h;
      --pending_;
    }
    if (wantNewSwapChain_.exchange(false)) {
      Release(target);
      context->OMSetRenderTargets(0, nullptr, nullptr);
      Release(swapChain);
      desc.BufferDesc.Width = static_cast<UINT>(width);
      desc.BufferDesc.Height = static_cast<UINT>(height);
      if (factory) factory->CreateSwapChain(device, &desc, &swapChain);
      --pending_;
    }
    if (wantSecondWindow_.exchange(false)) {
      PostMessageW(window_.load(), kCreateSecondWindow, 0, 0);
      for (int i = 0; i < 200 && !secondWindow_.load(); ++i) Sleep(10);
      DXGI_SWAP_CHAIN_DESC second = desc;
      second.OutputWindow = secondWindow_.load();
      second.BufferDesc.Width = 320;
      second.BufferDesc.Height = 240;
      if (factory && second.OutputWindow) factory->CreateSwapChain(device, &second, &secondChain);
      --pending_;
    }
    if (!swapChain) break;
    if (!target) {
      ID3D11Texture2D* back = nullptr;
      if (SUCCEEDED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back)))) {
        device->CreateRenderTargetView(back, nullptr, &target);
        back->Release();
      }
    }
    if (target) {
      const float scene[4] = {0.10f, 0.14f, 0.20f, 1.0f};
      context->ClearRenderTargetView(target, scene);
      // A square that moves across the scene, so a frame is visibly a game frame.
      if (context1) {
        double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        LONG x = static_cast<LONG>((t * 200.0)) % (width > 120 ? width - 120 : 1);
        D3D11_RECT square{x, height / 2 - 60, x + 120, height / 2 + 60};
        const float colour[4] = {0.85f, 0.55f, 0.20f, 1.0f};
        context1->ClearView(target, colour, &square, 1);
      }
      context->OMSetRenderTargets(1, &target, nullptr);
    }
    swapChain->Present(1, 0);
    if (secondChain) secondChain->Present(1, 0);
    ++frames_;
    Sleep(15);
  }
  Release(target);
  Release(secondChain);
  Release(swapChain);
  Release(factory);
  Release(context1);
  Release(context);
  Release(device);
}

}  // namespace standin
