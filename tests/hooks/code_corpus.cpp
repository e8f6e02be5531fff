// Real machine code for the decoder's differential test and benchmark.
#include "hooks/code_corpus.h"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fwtest {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

template <typename T>
bool ReadAt(const std::vector<std::uint8_t>& file, std::size_t offset, T* out) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
  std::memcpy(out, file.data() + offset, sizeof(T));
  return true;
}

void AppendRange(const std::vector<std::uint8_t>& file, std::uint64_t offset, std::uint64_t size,
                 std::vector<Section>* out) {
  if (offset >= file.size() || size == 0) return;
  size = std::min<std::uint64_t>(size, file.size() - offset);
  out->emplace_back(file.begin() + static_cast<std::ptrdiff_t>(offset),
                    file.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

// x64 PE: sections marked executable or holding code.
bool PeCodeSections(const std::vector<std::uint8_t>& file, std::vector<Section>* out) {
  std::uint32_t peOffset = 0, signature = 0;
  std::uint16_t machine = 0, sectionCount = 0, optionalSize = 0;
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return false;
  if (!ReadAt(file, 0x3C, &peOffset) || !ReadAt(file, peOffset, &signature) || signature != 0x4550) return false;
  if (!ReadAt(file, peOffset + 4, &machine) || machine != 0x8664) return false;
  ReadAt(file, peOffset + 6, &sectionCount);
  ReadAt(file, peOffset + 20, &optionalSize);
  const std::size_t table = peOffset + 24 + optionalSize;
  for (unsigned i = 0; i < sectionCount; ++i) {
    const std::size_t at = table + i * 40;
    std::uint32_t virtualSize = 0, rawSize = 0, rawOffset = 0, characteristics = 0;
    if (!ReadAt(file, at + 8, &virtualSize) || !ReadAt(file, at + 16, &rawSize) ||
        !ReadAt(file, at + 20, &rawOffset) || !ReadAt(file, at + 36, &characteristics))
      return false;
    if (characteristics & (0x20000000u | 0x20u))
      AppendRange(file, rawOffset, virtualSize ? std::min(virtualSize, rawSize) : rawSize, out);
  }
  return true;
}

// x86-64 ELF (executables, libraries and relocatable objects): SHF_EXECINSTR sections.
bool ElfCodeSections(const std::vector<std::uint8_t>& file, std::vector<Section>* out) {
  Elf64_Ehdr header;
  if (!ReadAt(file, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_machine != EM_X86_64)
    return false;
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section;
    if (!ReadAt(file, header.e_shoff + i * sizeof(Elf64_Shdr), &section)) return false;
    if (section.sh_type == SHT_PROGBITS && (section.sh_flags & SHF_EXECINSTR))
      AppendRange(file, section.sh_offset, section.sh_size, out);
  }
  return true;
}

}  // namespace

std::vector<CorpusFile> RealCodeCorpus(const char* objectDir, std::size_t* totalBytes) {
  const char* wine = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/";
  std::vector<fs::path> files;
  for (const char* dll : {"ntdll.dll", "kernelbase.dll", "kernel32.dll", "msvcrt.dll", "ucrtbase.dll",
                          "user32.dll", "gdi32.dll", "d3d11.dll", "dxgi.dll", "wined3d.dll",
                          "d3dcompiler_47.dll", "crypt32.dll", "ws2_32.dll", "msvcp140.dll"})
    files.push_back(fs::path(wine) / dll);
  for (const char* elf : {"/usr/lib/x86_64-linux-gnu/libstdc++.so.6", "/usr/lib/x86_64-linux-gnu/libc.so.6",
                          "/usr/lib/x86_64-linux-gnu/libcapstone.so.4", "/usr/lib/x86_64-linux-gnu/libcrypto.so.3",
                          "/usr/lib/x86_64-linux-gnu/libm.so.6", "/usr/bin/ninja"})
    files.push_back(elf);
  // This project's own objects, as this build compiled them.
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(objectDir, ec))
    if (entry.is_regular_file() && entry.path().extension() == ".o") files.push_back(entry.path());

  std::vector<CorpusFile> corpus;
  *totalBytes = 0;
  constexpr std::size_t kPerFileLimit = 3u << 20;
  for (const fs::path& path : files) {
    if (!fs::is_regular_file(path, ec)) continue;
    const std::vector<std::uint8_t> file = ReadFile(path);
    CorpusFile entry{path.string(), {}};
    if (!PeCodeSections(file, &entry.sections)) ElfCodeSections(file, &entry.sections);
    std::size_t kept = 0;
    for (Section& s : entry.sections) {
      if (kept + s.size() > kPerFileLimit) s.resize(kPerFileLimit - std::min(kPerFileLimit, kept));
      kept += s.size();
    }
    *totalBytes += kept;
    if (kept) corpus.push_back(std::move(entry));
  }
  return corpus;
}


}  // namespace fwtest
