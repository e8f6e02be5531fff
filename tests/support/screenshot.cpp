#include "support/screenshot.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace fwtest {

std::wstring SaveScreenshot(const std::wstring& name) {
  wchar_t value[1024];
  DWORD n = GetEnvironmentVariableW(L"FW_SCREENSHOT_DIR", value, 1024);
  if (n == 0 || n >= 1024) return {};
  std::wstring folder(value, n);
  if (!folder.empty() && folder[0] == L'/') {
    for (wchar_t& c : folder)
      if (c == L'/') c = L'\\';
    folder = L"Z:" + folder;
  }
  CreateDirectoryW(folder.c_str(), nullptr);

  HDC screen = GetDC(nullptr);
  int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  SelectObject(memory, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  int stride = (width * 3 + 3) & ~3;
  std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * height);
  GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  std::wstring path = folder + L"\\" + name + L".bmp";
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (!f) return {};
  BITMAPFILEHEADER header{};
  header.bfType = 0x4D42;
  header.bfOffBits = sizeof header + sizeof info;
  header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size());
  std::fwrite(&header, sizeof header, 1, f);
  std::fwrite(&info, sizeof info, 1, f);
  std::fwrite(pixels.data(), 1, pixels.size(), f);
  std::fclose(f);
  return path;
}

}  // namespace fwtest
