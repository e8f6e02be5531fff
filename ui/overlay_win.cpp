// Overlay host.
//
// [SECTION] State
// [SECTION] Input queue and window procedure
// [SECTION] Fonts and style
// [SECTION] ImGui initialisation and the frame
// [SECTION] Present / ResizeBuffers detours
// [SECTION] OverlayInit
#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>
#include <imm.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "imgui.h"
#include "backends/imgui_impl_dx11.h"
#include "backends/imgui_impl_win32.h"

#include "core/config.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "hooks/hook_engine.h"
#include "ui/menu.h"
#include "ui/menu_key.h"
#include "ui/overlay.h"
#include "ui/toasts_draw.h"

extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

namespace bh::ui {
namespace {

// [SECTION] State

using PresentFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT);
using ResizeBuffersFn = HRESULT(STDMETHODCALLTYPE*)(IDXGISwapChain*, UINT, UINT, UINT, DXGI_FORMAT, UINT);

struct QueuedMessage {
  HWND window;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
};

constexpr std::size_t kInputQueueLimit = 4096;

struct OverlayState {
  std::atomic<bool> initialised{false};
  std::atomic<bool> disabled{false};  // never cleared
  std::atomic<bool> imguiReady{false};

  // Render thread only (inside the frame mutex).
  ID3D11Device* device = nullptr;
  ID3D11DeviceContext* context = nullptr;
  IDXGISwapChain* swapChain = nullptr;  // the followed one
  ID3D11RenderTargetView* renderTarget = nullptr;
  std::atomic<HWND> window{nullptr};

  PresentFn originalPresent = nullptr;
  ResizeBuffersFn originalResizeBuffers = nullptr;
  void* presentTarget = nullptr;
  void* resizeTarget = nullptr;

  std::atomic<WNDPROC> originalWndProc{nullptr};
  std::atomic<bool> subclassed{false};

  std::atomic<int> menuKey{kDefaultMenuKey};
  std::atomic<bool> menuOpen{false};
  std::atomic<bool> capture{false};
  bool imeAssociatedByUs = false;  // game window thread only

  std::atomic<bool> ctrl{false}, shift{false}, alt{false};  // written by the window procedure

  std::mutex queueLock;  // guards queue; the window thread appends, the render thread takes it all
  std::vector<QueuedMessage> queue;

  // Render thread only.
  float cursorX = -1, cursorY = -1;
  std::chrono::steady_clock::time_point lastRealMouseMove{};
  bool rawMouse = false;

  std::mutex frameLock;  // keeps a resize from dropping the render target mid-frame; render thread
};

OverlayState& State() {
  static OverlayState* state = new OverlayState();
  return *state;
}

template <typename T>
void SafeRelease(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

// [SECTION] Input queue and window procedure

void Queue(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  OverlayState& s = State();
  std::lock_guard<std::mutex> guard(s.queueLock);
  if (s.queue.size() < kInputQueueLimit) s.queue.push_back({window, message, wparam, lparam});
}

bool IsKeyMessage(UINT m) { return m >= WM_KEYFIRST && m <= WM_KEYLAST; }
bool IsMouseMessage(UINT m) { return m >= WM_MOUSEFIRST && m <= 0x20E; }

// Releases and Alt+F4 still reach the game while the menu is open, so nothing
// stays held down and the game can be closed.
bool PassesThroughCapture(UINT m, WPARAM w) {
  switch (m) {
    case WM_KEYUP:
    case WM_SYSKEYUP:
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
    case WM_XBUTTONUP: return true;
    case WM_SYSKEYDOWN: return w == VK_F4;
    default: return false;
  }
}

LRESULT CallOriginal(HWND window, UINT m, WPARAM w, LPARAM l) {
  WNDPROC original = State().originalWndProc.load();
  return original ? CallWindowProcW(original, window, m, w, l) : DefWindowProcW(window, m, w, l);
}

LRESULT CALLBACK OverlayWndProc(HWND window, UINT m, WPARAM w, LPARAM l) {
  OverlayState& s = State();
  if (m == kMsgImeSwitch) {
    if (w) {
      HIMC context = ImmGetContext(window);
      if (context) {
        ImmReleaseContext(window, context);
      } else if (ImmAssociateContextEx(window, nullptr, IACE_DEFAULT)) {
        s.imeAssociatedByUs = true;
      }
    } else if (s.imeAssociatedByUs) {
      ImmAssociateContext(window, nullptr);
      s.imeAssociatedByUs = false;
    }
    return 0;
  }
  if (IsKeyMessage(m)) {
    s.ctrl = (GetKeyState(VK_CONTROL) & 0x8000) != 0;
    s.shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
    s.alt = (GetKeyState(VK_MENU) & 0x8000) != 0;
  }
  const int menuKey = s.menuKey.load();
  if ((m == WM_KEYDOWN || m == WM_SYSKEYDOWN) && static_cast<int>(w) == menuKey) {
    if (!(l & (1 << 30))) SetMenuOpen(!s.menuOpen.load());
    return 0;
  }
  if ((m == WM_KEYUP || m == WM_SYSKEYUP) && static_cast<int>(w) == menuKey) return 0;

  if (s.capture.load()) {
    if (m == WM_INPUT) {
      RAWINPUT raw;
      UINT size = sizeof raw;
      if (GetRawInputData(reinterpret_cast<HRAWINPUT>(l), RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)) !=
              static_cast<UINT>(-1) &&
          raw.header.dwType == RIM_TYPEMOUSE && !(raw.data.mouse.usFlags & MOUSE_MOVE_ABSOLUTE) &&
          (raw.data.mouse.lLastX != 0 || raw.data.mouse.lLastY != 0)) {
        Queue(window, kMsgRawMouseDelta, static_cast<WPARAM>(raw.data.mouse.lLastX),
              static_cast<LPARAM>(raw.data.mouse.lLastY));
      }
      return DefWindowProcW(window, m, w, l);
    }
    if (m == WM_IME_CHAR) {
      Queue(window, WM_CHAR, w, l);
      return 0;
    }
    switch (m) {
      case WM_IME_STARTCOMPOSITION:
      case WM_IME_ENDCOMPOSITION:
      case WM_IME_COMPOSITION:
      case WM_IME_NOTIFY:
      case WM_IME_COMPOSITIONFULL:
      case WM_IME_SELECT:
      case WM_IME_REQUEST: return DefWindowProcW(window, m, w, l);
      default: break;
    }
    if ((m >= 0x100 && m <= 0x109) || IsMouseMessage(m)) {
      Queue(window, m, w, l);
      if (!PassesThroughCapture(m, w)) return 0;
      return CallOriginal(window, m, w, l);
    }
    if (m == WM_SETCURSOR && LOWORD(l) == HTCLIENT) {
      SetCursor(nullptr);
      return 1;
    }
  }
  switch (m) {
    case WM_SIZE:
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_ACTIVATEAPP:
    case WM_DISPLAYCHANGE: Queue(window, m, w, l); break;
    default: break;
  }
  return CallOriginal(window, m, w, l);
}

// Render thread, each frame, after the back ends' new-frame calls.
void DrainInputQueue() {
  OverlayState& s = State();
  std::vector<QueuedMessage> batch;
  {
    std::lock_guard<std::mutex> guard(s.queueLock);
    batch.swap(s.queue);
  }
  ImGuiIO& io = ImGui::GetIO();
  const auto now = std::chrono::steady_clock::now();
  for (const QueuedMessage& q : batch) {
    if (q.message == kMsgRawMouseDelta) {
      float width = io.DisplaySize.x, height = io.DisplaySize.y;
      if (s.cursorX < 0 || s.cursorY < 0) {
        s.cursorX = width / 2;
        s.cursorY = height / 2;
      }
      float maxX = width - 1 > 0 ? width - 1 : 0, maxY = height - 1 > 0 ? height - 1 : 0;
      s.cursorX = std::clamp(s.cursorX + static_cast<float>(static_cast<LONG>(q.wparam)), 0.0f, maxX);
      s.cursorY = std::clamp(s.cursorY + static_cast<float>(static_cast<LONG>(q.lparam)), 0.0f, maxY);
      if (now - s.lastRealMouseMove > std::chrono::milliseconds(250)) s.rawMouse = true;
    } else if (q.message == kMsgMenuClosed) {
      // Releases every key and button ImGui still holds.
      io.AddFocusEvent(false);
      io.AddFocusEvent(true);
    } else if (q.message == WM_MOUSEMOVE) {
      float x = static_cast<float>(static_cast<short>(LOWORD(q.lparam)));
      float y = static_cast<float>(static_cast<short>(HIWORD(q.lparam)));
      if (x != s.cursorX || y != s.cursorY) {
        s.lastRealMouseMove = now;
        s.rawMouse = false;
      }
      s.cursorX = x;
      s.cursorY = y;
      ImGui_ImplWin32_WndProcHandler(q.window, q.message, q.wparam, q.lparam);
    } else {
      ImGui_ImplWin32_WndProcHandler(q.window, q.message, q.wparam, q.lparam);
    }
  }
  if (s.capture.load()) {
    if (s.rawMouse && s.cursorX >= 0 && s.cursorY >= 0) io.AddMousePosEvent(s.cursorX, s.cursorY);
    // The Win32 back end reads modifiers from this (render) thread's key
    // state, which never sees the game window's keys: send the real ones.
    io.AddKeyEvent(ImGuiMod_Ctrl, s.ctrl.load());
    io.AddKeyEvent(ImGuiMod_Shift, s.shift.load());
    io.AddKeyEvent(ImGuiMod_Alt, s.alt.load());
  }
}

// [SECTION] Fonts and style

const ImWchar* GlyphRanges() {
  static ImVector<ImWchar>* ranges = [] {
    auto* built = new ImVector<ImWchar>();
    ImFontGlyphRangesBuilder builder;
    ImGuiIO& io = ImGui::GetIO();
    builder.AddRanges(io.Fonts->GetGlyphRangesChineseFull());
    builder.AddRanges(io.Fonts->GetGlyphRangesJapanese());
    static const ImWchar extra[] = {0x2190, 0x21FF, 0x2500, 0x25FF, 0};
    builder.AddRanges(extra);
    builder.BuildRanges(built);
    return built;
  }();
  return ranges->Data;
}

void LoadFonts() {
  ImGuiIO& io = ImGui::GetIO();
  ImFontConfig config;
  config.OversampleH = 1;
  config.OversampleV = 1;
  config.PixelSnapH = true;
  static const char* const kFonts[] = {"C:\\Windows\\Fonts\\msyh.ttc", "C:\\Windows\\Fonts\\YuGothM.ttc",
                                       "C:\\Windows\\Fonts\\meiryo.ttc", "C:\\Windows\\Fonts\\simhei.ttf"};
  for (const char* path : kFonts) {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) continue;
    if (io.Fonts->AddFontFromFileTTF(path, 18.0f, &config, GlyphRanges())) {
      core::LogInfo(tag::kOverlay, "font: {}", path);
      return;
    }
  }
  core::LogWarn(tag::kOverlay, "no CJK font found, using ImGui default font (Chinese text will not render)");
  io.Fonts->AddFontDefault();
}

void ApplyStyle() {
  ImGui::StyleColorsDark();
  ImGuiStyle& style = ImGui::GetStyle();
  style.WindowPadding = ImVec2(14, 12);
  style.WindowRounding = style.ChildRounding = style.PopupRounding = style.FrameRounding = 8;
  style.ScrollbarRounding = style.GrabRounding = style.TabRounding = 8;
  style.WindowBorderSize = 0;
  style.FramePadding = ImVec2(10, 5);
  style.ItemSpacing = ImVec2(10, 7);

  const ImVec4 accent(0.949f, 0.655f, 0.765f, 1.0f);
  auto A = [&](float alpha) { return ImVec4(accent.x, accent.y, accent.z, alpha); };
  ImVec4* c = style.Colors;
  c[ImGuiCol_WindowBg] = ImVec4(0.09f, 0.08f, 0.10f, 0.90f);
  c[ImGuiCol_ChildBg] = ImVec4(0.12f, 0.11f, 0.13f, 0.60f);
  c[ImGuiCol_PopupBg] = ImVec4(0.10f, 0.09f, 0.11f, 0.96f);
  c[ImGuiCol_FrameBg] = ImVec4(0.18f, 0.16f, 0.19f, 0.85f);
  c[ImGuiCol_FrameBgHovered] = A(0.30f);
  c[ImGuiCol_FrameBgActive] = A(0.55f);
  c[ImGuiCol_TitleBg] = ImVec4(0.14f, 0.11f, 0.13f, 0.95f);
  c[ImGuiCol_TitleBgActive] = ImVec4(0.30f, 0.19f, 0.24f, 0.95f);
  c[ImGuiCol_CheckMark] = A(1);
  c[ImGuiCol_SliderGrab] = A(0.55f);
  c[ImGuiCol_SliderGrabActive] = A(1);
  c[ImGuiCol_Button] = ImVec4(0.26f, 0.20f, 0.24f, 0.90f);
  c[ImGuiCol_ButtonHovered] = A(0.55f);
  c[ImGuiCol_ButtonActive] = A(1);
  c[ImGuiCol_Header] = A(0.30f);
  c[ImGuiCol_HeaderHovered] = A(0.55f);
  c[ImGuiCol_HeaderActive] = A(1);
  c[ImGuiCol_Separator] = ImVec4(0.35f, 0.28f, 0.32f, 0.60f);
  c[ImGuiCol_ResizeGrip] = A(0.30f);
  c[ImGuiCol_ResizeGripHovered] = A(0.55f);
  c[ImGuiCol_ResizeGripActive] = A(1);
  c[ImGuiCol_TabHovered] = A(0.55f);
  c[ImGuiCol_Tab] = ImVec4(0.20f, 0.16f, 0.19f, 0.90f);
  c[ImGuiCol_TextSelectedBg] = A(0.30f);
  // Colour names changed between Dear ImGui 1.90 and 1.91.
#if IMGUI_VERSION_NUM >= 19090
  c[ImGuiCol_TabSelected] = ImVec4(0.55f, 0.33f, 0.43f, 1);
  c[ImGuiCol_TabSelectedOverline] = A(1);
#else
  c[ImGuiCol_TabActive] = ImVec4(0.55f, 0.33f, 0.43f, 1);
#endif
#if IMGUI_VERSION_NUM >= 19140
  c[ImGuiCol_NavCursor] = A(1);
#else
  c[ImGuiCol_NavHighlight] = A(1);
#endif
}

// [SECTION] ImGui initialisation and the frame

bool InitImGui(IDXGISwapChain* swapChain) {
  OverlayState& s = State();
  DXGI_SWAP_CHAIN_DESC desc;
  if (FAILED(swapChain->GetDesc(&desc)) || !desc.OutputWindow || !IsWindowVisible(desc.OutputWindow)) return false;
  ID3D11Device* device = nullptr;
  if (FAILED(swapChain->GetDevice(__uuidof(ID3D11Device), reinterpret_cast<void**>(&device))) || !device) {
    core::LogWarn(tag::kOverlay, "swap chain is not D3D11 (D3D12/-dx12?) - overlay disabled");
    s.disabled = true;
    return false;
  }
  s.device = device;
  device->GetImmediateContext(&s.context);
  s.swapChain = swapChain;
  swapChain->AddRef();
  s.window = desc.OutputWindow;

  IMGUI_CHECKVERSION();
  ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.IniFilename = nullptr;
  io.LogFilename = nullptr;
  io.ConfigFlags |= ImGuiConfigFlags_NoMouseCursorChange;
  io.ConfigInputTrickleEventQueue = false;
  LoadFonts();
  ApplyStyle();
  if (!ImGui_ImplWin32_Init(desc.OutputWindow) || !ImGui_ImplDX11_Init(s.device, s.context)) {
    core::LogError(tag::kOverlay, "ImGui backend init failed");
    s.disabled = true;
    return false;
  }
  s.imguiReady = true;

  SetLastError(0);
  LONG_PTR previous = SetWindowLongPtrW(desc.OutputWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&OverlayWndProc));
  if (previous == 0 && GetLastError() != 0) {
    core::LogError(tag::kOverlay, "WndProc subclass failed (GetLastError={})", GetLastError());
  } else {
    s.originalWndProc = reinterpret_cast<WNDPROC>(previous);
    s.subclassed = true;
  }
  core::LogInfo(tag::kOverlay, "ImGui {} ready on hwnd {:p} ({}x{})", IMGUI_VERSION,
                static_cast<const void*>(desc.OutputWindow), desc.BufferDesc.Width, desc.BufferDesc.Height);
  return true;
}

// Adopts a new swap chain of the same window and device; ignores others.
bool FollowSwapChain(IDXGISwapChain* swapChain) {
  OverlayState& s = State();
  if (swapChain == s.swapChain) return true;
  DXGI_SWAP_CHAIN_DESC desc;
  if (FAILED(swapChain->GetDesc(&desc)) || desc.OutputWindow != s.window.load()) return false;
  ID3D11Device* device = nullptr;
  if (FAILED(swapChain->GetDevice(__uuidof(ID3D11Device), reinterpret_cast<void**>(&device))) || !device)
    return false;
  bool same = device == s.device;
  device->Release();
  if (!same) return false;
  SafeRelease(s.renderTarget);
  SafeRelease(s.swapChain);
  s.swapChain = swapChain;
  swapChain->AddRef();
  core::LogInfo(tag::kOverlay, "following new swap chain");
  return true;
}

void RunFrame(IDXGISwapChain* swapChain) {
  OverlayState& s = State();
  if (!s.imguiReady && !InitImGui(swapChain)) return;
  if (!FollowSwapChain(swapChain)) return;
  if (!s.renderTarget) {
    ID3D11Texture2D* backBuffer = nullptr;
    if (FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&backBuffer)))) return;
    HRESULT hr = s.device->CreateRenderTargetView(backBuffer, nullptr, &s.renderTarget);
    backBuffer->Release();
    if (FAILED(hr)) {
      s.renderTarget = nullptr;
      return;
    }
  }
  ImGui_ImplDX11_NewFrame();
  ImGui_ImplWin32_NewFrame();
  DrainInputQueue();
  ImGui::GetIO().MouseDrawCursor = s.capture.load();
  ImGui::NewFrame();

  DrawToasts();
  if (s.menuOpen.load()) DrawMenuWindow();

  ImGui::Render();
  ID3D11RenderTargetView* savedTarget = nullptr;
  ID3D11DepthStencilView* savedDepth = nullptr;
  s.context->OMGetRenderTargets(1, &savedTarget, &savedDepth);
  s.context->OMSetRenderTargets(1, &s.renderTarget, nullptr);
  ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
  s.context->OMSetRenderTargets(1, &savedTarget, savedDepth);
  SafeRelease(savedTarget);
  SafeRelease(savedDepth);
}

// [SECTION] Present / ResizeBuffers detours

HRESULT STDMETHODCALLTYPE PresentDetour(IDXGISwapChain* swapChain, UINT syncInterval, UINT flags) {
  OverlayState& s = State();
  if (!s.disabled.load() && !(flags & DXGI_PRESENT_TEST)) {
    std::unique_lock<std::mutex> frame(s.frameLock, std::try_to_lock);
    if (frame.owns_lock()) RunFrame(swapChain);
  }
  return s.originalPresent(swapChain, syncInterval, flags);
}

HRESULT STDMETHODCALLTYPE ResizeBuffersDetour(IDXGISwapChain* swapChain, UINT count, UINT width, UINT height,
                                              DXGI_FORMAT format, UINT flags) {
  OverlayState& s = State();
  {
    std::lock_guard<std::mutex> frame(s.frameLock);
    if (swapChain == s.swapChain) SafeRelease(s.renderTarget);
  }
  return s.originalResizeBuffers(swapChain, count, width, height, format, flags);
}

// [SECTION] OverlayInit

// Present and ResizeBuffers of this process's DXGI, read from the method
// table of a throw-away swap chain.
bool FindSwapChainMethods(void*& present, void*& resizeBuffers) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"BHCoopDummyDXGI";
  RegisterClassExW(&windowClass);
  HWND window = CreateWindowExW(0, L"BHCoopDummyDXGI", L"", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr,
                                instance, nullptr);
  if (!window) {
    core::LogError(tag::kOverlay, "dummy window failed ({})", GetLastError());
    UnregisterClassW(L"BHCoopDummyDXGI", instance);
    return false;
  }
  DXGI_SWAP_CHAIN_DESC desc{};
  desc.BufferCount = 1;
  desc.BufferDesc.Width = 64;
  desc.BufferDesc.Height = 64;
  desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
  desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
  desc.OutputWindow = window;
  desc.SampleDesc.Count = 1;
  desc.Windowed = TRUE;
  desc.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
  IDXGISwapChain* swapChain = nullptr;
  ID3D11Device* device = nullptr;
  ID3D11DeviceContext* context = nullptr;
  HRESULT hr = E_FAIL;
  for (D3D_DRIVER_TYPE driver : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
    hr = D3D11CreateDeviceAndSwapChain(nullptr, driver, nullptr, 0, levels, 2, D3D11_SDK_VERSION, &desc, &swapChain,
                                       &device, nullptr, &context);
    if (SUCCEEDED(hr)) break;
  }
  bool ok = SUCCEEDED(hr) && swapChain;
  if (ok) {
    void** table = *reinterpret_cast<void***>(swapChain);
    present = table[8];
    resizeBuffers = table[13];
  } else {
    core::LogError(tag::kOverlay, "D3D11CreateDeviceAndSwapChain failed (0x{:08X})", static_cast<std::uint32_t>(hr));
  }
  SafeRelease(swapChain);
  SafeRelease(context);
  SafeRelease(device);
  DestroyWindow(window);
  UnregisterClassW(L"BHCoopDummyDXGI", instance);
  return ok;
}

}  // namespace

bool OverlayInit() {
  OverlayState& s = State();
  if (s.initialised.load()) return true;
  const std::string& keyText = core::GetSettings().menuKey;
  s.menuKey = ParseMenuKey(keyText);

  void* present = nullptr;
  void* resize = nullptr;
  if (!FindSwapChainMethods(present, resize)) return false;

  MH_STATUS status = MH_Initialize();
  if (status != MH_OK && status != MH_ERROR_ALREADY_INITIALIZED) {
    core::LogError(tag::kOverlay, "MH_Initialize: {}", MH_StatusName(status));
    return false;
  }
  bool created = MH_CreateHook(present, reinterpret_cast<void*>(&PresentDetour),
                               reinterpret_cast<void**>(&s.originalPresent)) == MH_OK &&
                 MH_CreateHook(resize, reinterpret_cast<void*>(&ResizeBuffersDetour),
                               reinterpret_cast<void**>(&s.originalResizeBuffers)) == MH_OK;
  if (!created) {
    core::LogError(tag::kOverlay, "MH_CreateHook on IDXGISwapChain failed");
    MH_RemoveHook(present);
    MH_RemoveHook(resize);
    return false;
  }
  if (MH_EnableHook(present) != MH_OK || MH_EnableHook(resize) != MH_OK) {
    core::LogError(tag::kOverlay, "MH_EnableHook on IDXGISwapChain failed");
    MH_RemoveHook(present);
    MH_RemoveHook(resize);
    return false;
  }
  s.presentTarget = present;
  s.resizeTarget = resize;
  s.initialised = true;
  core::LogInfo(tag::kOverlay, "Present/ResizeBuffers hooked (menu key {})", keyText);
  return true;
}

void SetMenuOpen(bool open) {
  OverlayState& s = State();
  s.menuOpen = open;
  bool previous = s.capture.exchange(open);
  if (previous == open) return;
  if (!open) Queue(s.window.load(), kMsgMenuClosed, 0, 0);
  HWND window = s.window.load();
  if (s.subclassed.load() && window) PostMessageW(window, kMsgImeSwitch, open ? 1 : 0, 0);
}

bool IsMenuOpen() { return State().menuOpen.load(); }
int MenuKeyCode() { return State().menuKey.load(); }

bool testing::ImGuiReady() { return State().imguiReady.load(); }
bool testing::Disabled() { return State().disabled.load(); }

}  // namespace bh::ui
