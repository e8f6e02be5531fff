// Benchmark (not a test): the decoder's throughput over real code next to
// Capstone's on the same bytes. Built natively without sanitizers:
//   build/hooks-native/tests/bench_decoder
// Each figure is the best of several sweeps; ratios compare runs made here,
// on this machine, in this process.
#include <capstone/capstone.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "hooks/code_corpus.h"
#include "hooks/decoder.h"

namespace {

using Clock = std::chrono::steady_clock;

// A linear sweep: each decoder walks the code by its own lengths, one byte
// on an error, so both see the same instructions where they agree.
template <typename Step>
double BestInstructionsPerSecond(const std::vector<fwtest::Section>& code, Step step, std::uint64_t* instructions) {
  double best = 0;
  for (int run = 0; run < 5; ++run) {
    std::uint64_t count = 0;
    const auto start = Clock::now();
    for (const fwtest::Section& s : code) {
      const std::uint8_t* p = s.data();
      const std::uint8_t* end = p + s.size();
      while (end - p >= 15) {
        p += step(p);
        ++count;
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::max(best, count / seconds);
    *instructions = count;
  }
  return best;
}

}  // namespace

int main() {
  std::size_t totalBytes = 0;
  const auto corpus = fwtest::RealCodeCorpus(FW_BENCH_OBJECT_DIR, &totalBytes);
  std::vector<fwtest::Section> code;
  for (const auto& file : corpus)
    for (const auto& s : file.sections) code.push_back(s);
  std::printf("corpus: %zu files, %.1f MiB of executable sections\n", corpus.size(), totalBytes / 1048576.0);

  std::uint64_t ours = 0, plain = 0, detailed = 0;
  const double oursRate = BestInstructionsPerSecond(
      code,
      [](const std::uint8_t* p) {
        bh::hooks::InstructionRecord r;
        bh::hooks::DecodeInstruction(p, &r);
        return (r.flags & bh::hooks::kInsnError) ? 1u : r.length;
      },
      &ours);

  csh handle;
  cs_open(CS_ARCH_X86, CS_MODE_64, &handle);
  cs_insn* insn = cs_malloc(handle);
  auto capstoneStep = [&](const std::uint8_t* p) {
    const std::uint8_t* at = p;
    std::size_t size = 15;
    std::uint64_t address = 0x140001000;
    return cs_disasm_iter(handle, &at, &size, &address, insn) ? static_cast<unsigned>(insn->size) : 1u;
  };
  const double plainRate = BestInstructionsPerSecond(code, capstoneStep, &plain);
  // With operand details: what it takes to learn RIP-relative operands and
  // branch targets from Capstone, the questions the decoder answers.
  cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
  cs_free(insn, 1);
  insn = cs_malloc(handle);  // with room for the details now
  const double detailedRate = BestInstructionsPerSecond(code, capstoneStep, &detailed);
  cs_free(insn, 1);
  cs_close(&handle);

  std::printf("decoder            %8.1f M instructions/s  (%llu instructions per sweep)\n", oursRate / 1e6,
              static_cast<unsigned long long>(ours));
  std::printf("capstone           %8.1f M instructions/s  (%llu)\n", plainRate / 1e6,
              static_cast<unsigned long long>(plain));
  std::printf("capstone + detail  %8.1f M instructions/s  (%llu)\n", detailedRate / 1e6,
              static_cast<unsigned long long>(detailed));
  std::printf("ratio decoder / capstone: %.1fx; decoder / capstone with detail: %.1fx\n", oursRate / plainRate,
              oursRate / detailedRate);
  return 0;
}
