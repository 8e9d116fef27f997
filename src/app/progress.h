// A progress line for long searches and batches: percentage and the time left, redrawn on
// a terminal by a thread of its own while the encoder runs. Shown only once
// the run is expected to take more than about a second; cleared at the end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

#include "coders/encode_progress.h"

namespace korvane {

class ProgressDisplay {
 public:
  // label names the work ("searching"); progress counts up to total.
  ProgressDisplay(std::FILE* out, const char* label, const EncodeProgress& progress,
                  std::uint64_t total);
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

 private:
  void run();

  std::FILE* out_;
  const char* label_;
  const EncodeProgress& progress_;
  std::uint64_t total_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  bool shown_ = false;
  std::thread thread_;
};

}  // namespace korvane
