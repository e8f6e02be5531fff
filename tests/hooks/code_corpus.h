// Real machine code on this machine: the executable sections of Wine's x64
// PE DLLs, some system ELF libraries and the objects of this build, for the
// decoder's differential test and benchmark (native build only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwtest {

using Section = std::vector<std::uint8_t>;

struct CorpusFile {
  std::string name;
  std::vector<Section> sections;
};

// A fixed list of files (each cut to its first 3 MiB of code) plus every .o
// under objectDir; *totalBytes receives the code size kept.
std::vector<CorpusFile> RealCodeCorpus(const char* objectDir, std::size_t* totalBytes);

}  // namespace fwtest
