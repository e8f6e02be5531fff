// Collects the log lines a test causes (through the log's test observer).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"

namespace fwtest {

class LogCapture {
 public:
  LogCapture() {
    Lines().clear();
    bh::core::testing::SetLogObserver(&Observe);
  }
  ~LogCapture() { bh::core::testing::SetLogObserver(nullptr); }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> guard(Lock());
    return Lines();
  }
  // Lines containing text.
  int count(const std::string& text) const {
    int n = 0;
    for (const std::string& line : lines()) n += line.find(text) != std::string::npos;
    return n;
  }
  bool contains(const std::string& text) const { return count(text) > 0; }
  std::string all() const {
    std::string out;
    for (const std::string& line : lines()) out += line;
    return out;
  }

 private:
  static std::mutex& Lock() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> v;
    return v;
  }
  static void Observe(const char* line) {
    std::lock_guard<std::mutex> guard(Lock());
    Lines().emplace_back(line);
  }
};

}  // namespace fwtest
