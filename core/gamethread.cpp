// Task queue and ticker hub. Each list has its own mutex, held only to append
// or to take the whole list; nothing posted or registered runs under a lock.
#include "core/gamethread.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/log_tags.h"

namespace bh::core {
namespace {

struct TickerRecord {
  std::int32_t id = 0;
  std::string name;
  TickerFn tick;
  bool removed = false;
};

struct GameThreadState {
  std::atomic<std::uint32_t> gameThreadId{0};

  std::mutex taskLock;  // guards tasks; any thread, held only to append or swap
  std::vector<Task> tasks;
  std::atomic<bool> tasksPending{false};

  std::mutex hubLock;  // guards pendingAdds and pendingRemovals; any thread
  std::vector<TickerRecord> pendingAdds;
  std::vector<std::int32_t> pendingRemovals;
  std::atomic<bool> tickersDirty{false};
  std::atomic<std::int32_t> nextTickerId{1};

  std::vector<TickerRecord> active;  // game thread only
};

// Never destroyed: tasks may still be posted while statics are torn down.
GameThreadState& State() {
  static GameThreadState* state = new GameThreadState();
  return *state;
}

void DropRemoved(std::vector<TickerRecord>& list) {
  std::erase_if(list, [](const TickerRecord& r) { return r.removed; });
}

void ApplyPendingTickerChanges(GameThreadState& s) {
  if (!s.tickersDirty.exchange(false)) return;
  std::vector<TickerRecord> adds;
  std::vector<std::int32_t> removals;
  {
    std::lock_guard<std::mutex> guard(s.hubLock);
    adds.swap(s.pendingAdds);
    removals.swap(s.pendingRemovals);
  }
  for (TickerRecord& r : adds) s.active.push_back(std::move(r));
  for (std::int32_t id : removals)
    for (TickerRecord& r : s.active)
      if (r.id == id) r.removed = true;
  DropRemoved(s.active);
}

}  // namespace

void SetGameThreadId(std::uint32_t id) { State().gameThreadId.exchange(id); }
std::uint32_t GameThreadId() { return State().gameThreadId.load(); }
bool IsGameThread() {
  std::uint32_t id = State().gameThreadId.load();
  return id != 0 && id == platform::CurrentThreadId();
}

void PostToGameThread(Task task) {
  if (!task) return;
  GameThreadState& s = State();
  {
    std::lock_guard<std::mutex> guard(s.taskLock);
    s.tasks.push_back(std::move(task));
  }
  s.tasksPending.store(true);
}

std::int32_t AddTicker(const char* name, TickerFn tick) {
  if (!tick) return 0;
  GameThreadState& s = State();
  std::int32_t id = s.nextTickerId.fetch_add(1);
  {
    std::lock_guard<std::mutex> guard(s.hubLock);
    s.pendingAdds.push_back(TickerRecord{id, name ? name : "ticker", std::move(tick), false});
  }
  s.tickersDirty.store(true);
  return id;
}

void RemoveTicker(std::int32_t id) {
  if (id == 0) return;
  GameThreadState& s = State();
  if (IsGameThread())
    for (TickerRecord& r : s.active)
      if (r.id == id) r.removed = true;
  {
    std::lock_guard<std::mutex> guard(s.hubLock);
    std::erase_if(s.pendingAdds, [id](const TickerRecord& r) { return r.id == id; });
    s.pendingRemovals.push_back(id);
  }
  s.tickersDirty.store(true);
}

void RunPostedTasks() {
  GameThreadState& s = State();
  if (!s.tasksPending.load()) return;
  std::vector<Task> batch;
  {
    std::lock_guard<std::mutex> guard(s.taskLock);
    batch.swap(s.tasks);
    s.tasksPending.store(false);
  }
  for (Task& task : batch) GuardedCall(tag::kGameThread, "posted task", task);
}

void RunTickers(float step) {
  GameThreadState& s = State();
  ApplyPendingTickerChanges(s);
  // By position, re-reading the size: a ticker may add (pending) or remove.
  for (std::size_t i = 0; i < s.active.size(); ++i) {
    if (s.active[i].removed) continue;
    // The active list only changes in ApplyPendingTickerChanges, so the
    // record stays in place while its ticker runs.
    TickerRecord& record = s.active[i];
    auto run = [&record, step] { record.tick(step); };
    if (GuardedCall(tag::kGameThread, record.name.c_str(), run) == GuardResult::Structured) {
      LogError(tag::kGameThread, "ticker '{}' removed after a structured exception", record.name);
      record.removed = true;
    }
  }
  DropRemoved(s.active);
  ApplyPendingTickerChanges(s);
}

}  // namespace bh::core
