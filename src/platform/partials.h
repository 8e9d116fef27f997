// The new files of unfinished outputs, kept where an interrupt handler can
// find them without allocating or locking: a slot is read by the handler only
// while it is live, and written only while it is not. Paths are UTF-8.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <string>

namespace korvane {

class PartialFiles {
 public:
  // Keeps path; returns its slot, or -1 when none is free (only an interrupt
  // would then leave the file behind).
  int add(const std::string& path) {
    if (path.size() >= kPathLength) return -1;
    for (std::size_t i = 0; i < kSlots; ++i) {
      int expected = kFree;
      if (!slots_[i].state.compare_exchange_strong(expected, kTaken)) continue;
      std::copy(path.c_str(), path.c_str() + path.size() + 1, slots_[i].path);
      slots_[i].state.store(kLive);
      return static_cast<int>(i);
    }
    return -1;
  }

  void release(int slot) {
    if (slot >= 0) slots_[slot].state.store(kFree);
  }

  // For the interrupt handler: remove(path) for every live slot.
  void removeAll(void (*remove)(const char* path)) {
    for (Slot& slot : slots_) {
      if (slot.state.load() == kLive) remove(slot.path);
    }
  }

  // A number for the next new file's name, unique in this process.
  unsigned next() { return count_.fetch_add(1); }

 private:
  static constexpr std::size_t kSlots = 64;
  static constexpr std::size_t kPathLength = 4096;
  enum : int { kFree, kTaken, kLive };
  struct Slot {
    std::atomic<int> state{kFree};
    char path[kPathLength];
  };
  Slot slots_[kSlots];
  std::atomic<unsigned> count_{0};
};

}  // namespace korvane
