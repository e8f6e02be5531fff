// The name table: texts stored once, referred to by index, with a numeric
// suffix kept apart ("Actor_12" is "Actor" with number 13). Entries are never
// removed and never move, so readers on any thread index them without a lock;
// adding takes the table's lock.
#include <atomic>
#include <mutex>
#include <unordered_map>

#include "standin/internal.h"

namespace standin {
namespace {

constexpr std::int32_t kMaxNames = 1 << 20;

struct NameTable {
  std::mutex lock;  // guards byText and appending; taken by MakeName only
  std::unordered_map<std::wstring, std::int32_t> byText;
  const std::wstring** entries = new const std::wstring*[kMaxNames]();
  std::atomic<std::int32_t> count{0};
};
NameTable& Table() {
  static NameTable* table = [] {
    auto* t = new NameTable();
    t->entries[0] = new std::wstring(L"None");
    t->byText[L"None"] = 0;
    t->count = 1;
    return t;
  }();
  return *table;
}

// Splits "Base_N" (N without leading zeros, fitting in 31 bits) into ("Base", N + 1).
std::pair<std::wstring_view, std::int32_t> SplitNumber(std::wstring_view text) {
  std::size_t underscore = text.rfind(L'_');
  if (underscore == std::wstring_view::npos || underscore == 0 || underscore + 1 == text.size())
    return {text, 0};
  std::wstring_view digits = text.substr(underscore + 1);
  if (digits.size() > 9 || (digits.size() > 1 && digits[0] == L'0')) return {text, 0};
  std::int32_t value = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return {text, 0};
    value = value * 10 + (c - L'0');
  }
  return {text.substr(0, underscore), value + 1};
}

}  // namespace

FName MakeName(std::wstring_view text) {
  if (text.empty()) return FName{0, 0};
  auto [base, number] = SplitNumber(text);
  NameTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.byText.find(std::wstring(base));
  if (it != t.byText.end()) return FName{it->second, number};
  std::int32_t index = t.count.load();
  if (index >= kMaxNames) detail::Fatal("name table full");
  t.entries[index] = new std::wstring(base);
  t.byText.emplace(std::wstring(base), index);
  t.count.store(index + 1, std::memory_order_release);
  return FName{index, number};
}

std::wstring NameText(FName name) {
  NameTable& t = Table();
  if (name.index < 0 || name.index >= t.count.load(std::memory_order_acquire)) return L"None";
  std::wstring text = *t.entries[name.index];
  if (name.number > 0) text += L"_" + std::to_wstring(name.number - 1);
  return text;
}

std::string Narrow(std::wstring_view text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring Widen(std::string_view text) {
  std::wstring out;
  for (char c : text) out.push_back(static_cast<unsigned char>(c));
  return out;
}

// The engine's name-to-text routine: appends the text and its terminating
// zero to out (a zero already ending out is written over), growing out into
// engine memory when its capacity is short; the old buffer is the caller's.
void detail::NameToTextImpl(const FName* name, FString* out) {
  std::wstring text = NameText(*name);
  std::int32_t keep = out->count;
  if (keep > 0 && out->data && out->data[keep - 1] == 0) --keep;
  std::int32_t needed = keep + static_cast<std::int32_t>(text.size()) + 1;
  if (needed > out->max || !out->data) {
    auto* grown = static_cast<wchar_t*>(EngineAlloc(sizeof(wchar_t) * needed));
    if (keep > 0) std::memcpy(grown, out->data, sizeof(wchar_t) * keep);
    out->data = grown;
    out->max = needed;
  }
  std::memcpy(out->data + keep, text.c_str(), sizeof(wchar_t) * (text.size() + 1));
  out->count = needed;
}

}  // namespace standin
