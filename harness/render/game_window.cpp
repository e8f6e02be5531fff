#include "game_window.h"

#include <d3d11.h>
#include <dxgi.h>

#include <chrono>
#include <cstdio>

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

void GameWindow::RequestScreenshot(const std::wstring& path) {
  std::lock_guard<std::mutex> guard(screenshotLock_);
  screenshotPath_ = path;
}

namespace {

void SaveBuffer(ID3D11Device* device, ID3D11DeviceContext* context, IDXGISwapChain* swapChain,
                const std::wstring& path) {
  ID3D11Texture2D* back = nullptr;
  if (FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back)))) return;
  D3D11_TEXTURE2D_DESC desc;
  back->GetDesc(&desc);
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.MiscFlags = 0;
  ID3D11Texture2D* staging = nullptr;
  if (SUCCEEDED(device->CreateTexture2D(&desc, nullptr, &staging))) {
    context->CopyResource(staging, back);
    D3D11_MAPPED_SUBRESOURCE mapped;
    if (SUCCEEDED(context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped))) {
      const int width = static_cast<int>(desc.Width), height = static_cast<int>(desc.Height);
      const int stride = (width * 3 + 3) & ~3;
      std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * height);
      for (int y = 0; y < height; ++y) {
        const unsigned char* row = static_cast<const unsigned char*>(mapped.pData) + y * mapped.RowPitch;
        unsigned char* out = pixels.data() + static_cast<std::size_t>(height - 1 - y) * stride;
        for (int x = 0; x < width; ++x) {
          out[x * 3 + 0] = row[x * 4 + 2];
          out[x * 3 + 1] = row[x * 4 + 1];
          out[x * 3 + 2] = row[x * 4 + 0];
        }
      }
      context->Unmap(staging, 0);
      BITMAPINFOHEADER info{};
      info.biSize = sizeof info;
      info.biWidth = width;
      info.biHeight = height;
      info.biPlanes = 1;
      info.biBitCount = 24;
      BITMAPFILEHEADER header{};
      header.bfType = 0x4D42;
      header.bfOffBits = sizeof header + sizeof info;
      header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size());
      if (FILE* f = _wfopen(path.c_str(), L"wb")) {
        std::fwrite(&header, sizeof header, 1, f);
        std::fwrite(&info, sizeof info, 1, f);
        std::fwrite(pixels.data(), 1, pixels.size(), f);
        std::fclose(f);
      }
    }
    staging->Release();
  }
  back->Release();
}

}  // namespace

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
  // The moving square: a small texture copied onto each frame.
  ID3D11Texture2D* square = nullptr;
  {
    std::vector<std::uint32_t> orange(120 * 120, 0xFF338CD9u);  // RGBA bytes D9 8C 33 FF
    D3D11_TEXTURE2D_DESC sd{};
    sd.Width = sd.Height = 120;
    sd.MipLevels = sd.ArraySize = 1;
    sd.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    sd.SampleDesc.Count = 1;
    sd.Usage = D3D11_USAGE_DEFAULT;
    D3D11_SUBRESOURCE_DATA data{orange.data(), 120 * 4, 0};
    device->CreateTexture2D(&sd, &data, &square);
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
    {
      std::wstring path;
      {
        std::lock_guard<std::mutex> guard(screenshotLock_);
        path.swap(screenshotPath_);
      }
      if (!path.empty()) SaveBuffer(device, context, swapChain, path);
    }
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
      if (square) {
        double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        UINT x = static_cast<UINT>(t * 200.0) % static_cast<UINT>(width > 120 ? width - 120 : 1);
        ID3D11Resource* back = nullptr;
        target->GetResource(&back);
        context->CopySubresourceRegion(back, 0, x, static_cast<UINT>(height / 2 - 60), 0, square, 0, nullptr);
        back->Release();
      }
      context->OMSetRenderTargets(1, &target, nullptr);
    }
    swapChain->Present(1, 0);
    if (secondChain) secondChain->Present(1, 0);
    ++frames_;
    Sleep(15);
  }
  Release(target);
  Release(square);
  Release(secondChain);
  Release(swapChain);
  Release(factory);
  Release(context);
  Release(device);
}

}  // namespace standin
