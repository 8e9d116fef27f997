// The new files of unfinished outputs, kept where an interrupt handler can
// find them without allocating or locking: a slot is read by the handler only
// while it is live, and written only while it is not. Paths are UTF-8.
//
// A file is made only between enter() and leave(), and registered before
// leave(); the handler first stops any new entry, then waits for the files
// being made to be registered, then removes every one. So no file is left
// behind, whatever moment an interrupt comes at.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace korvane {

class PartialFiles {
 public:
  // False once an interrupt has come: no new file may be made.
  bool enter() {
    inFlight_.fetch_add(1);
    if (!stopping_.load()) return true;
    inFlight_.fetch_sub(1);
    return false;
  }
  void leave() { inFlight_.fetch_sub(1); }

  // Keeps path; returns its slot, or -1 when none is free or path is too long.
  int add(const std::string& path) {
    if (path.size() >= kPathLength) return -1;
    for (std::size_t i = 0; i < kSlots; ++i) {
      int expected = kFree;
      if (!states_[i].compare_exchange_strong(expected, kTaken)) continue;
      std::copy(path.c_str(), path.c_str() + path.size() + 1, paths_[i]);
      states_[i].store(kLive);
      return static_cast<int>(i);
    }
    return -1;
  }

  void release(int slot) {
    if (slot >= 0) states_[slot].store(kFree);
  }

  // For the interrupt handler: no file is made from now on; once the ones
  // being made are registered (pause() between looks), remove(path) for
  // every live slot.
  void stopAndRemoveAll(void (*remove)(const char* path), void (*pause)()) {
    stopping_.store(true);
    while (inFlight_.load() > 0)
      pause();
    for (std::size_t i = 0; i < kSlots; ++i) {
      if (states_[i].load() == kLive) remove(paths_[i]);
    }
  }

  // A number for the next new file's name, unique in this process.
  unsigned next() { return count_.fetch_add(1); }

 private:
  static constexpr std::size_t kSlots = kMostUnfinishedOutputs;
  static constexpr std::size_t kPathLength = 4096;
  enum : int { kFree, kTaken, kLive };
  std::atomic<int> states_[kSlots] = {};
  char paths_[kSlots][kPathLength] = {};
  std::atomic<unsigned> count_{0};
  std::atomic<int> inFlight_{0};
  std::atomic<bool> stopping_{false};
};

}  // namespace korvane
