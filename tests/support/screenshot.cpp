#include "support/screenshot.h"

#include <windows.h>

#include <d3d11.h>
#include <dxgi.h>

#include <cstdio>
#include <vector>

namespace fwtest {
namespace {

std::wstring ScreenshotFolder() {
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
  return folder;
}

}  // namespace

std::wstring SaveBackBuffer(void* chain, const std::wstring& name) {
  std::wstring folder = ScreenshotFolder();
  if (folder.empty() || !chain) return {};
  auto* swapChain = static_cast<IDXGISwapChain*>(chain);
  ID3D11Texture2D* back = nullptr;
  if (FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(&back)))) return {};
  ID3D11Device* device = nullptr;
  back->GetDevice(&device);
  ID3D11DeviceContext* context = nullptr;
  device->GetImmediateContext(&context);
  D3D11_TEXTURE2D_DESC desc;
  back->GetDesc(&desc);
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.MiscFlags = 0;
  ID3D11Texture2D* staging = nullptr;
  std::wstring written;
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
        for (int x = 0; x < width; ++x) {  // RGBA -> BGR, bottom-up
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
      info.biCompression = BI_RGB;
      BITMAPFILEHEADER header{};
      header.bfType = 0x4D42;
      header.bfOffBits = sizeof header + sizeof info;
      header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size());
      std::wstring path = folder + L"\\" + name + L".bmp";
      if (FILE* f = _wfopen(path.c_str(), L"wb")) {
        std::fwrite(&header, sizeof header, 1, f);
        std::fwrite(&info, sizeof info, 1, f);
        std::fwrite(pixels.data(), 1, pixels.size(), f);
        std::fclose(f);
        written = path;
      }
    }
    staging->Release();
  }
  context->Release();
  device->Release();
  back->Release();
  return written;
}

}  // namespace fwtest
