#include "app/progress.h"

#include <system_error>

namespace korvane {

ProgressDisplay::ProgressDisplay(std::FILE* out, const char* label, const EncodeProgress& progress,
                                 std::uint64_t total)
    : out_(out), label_(label), progress_(progress), total_(total) {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread to be had: no progress shown, the work goes on.
  }
}

ProgressDisplay::~ProgressDisplay() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  if (shown_) {
    std::fputs("\r                                        \r", out_);
    std::fflush(out_);
  }
}

void ProgressDisplay::run() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  std::unique_lock lock(mutex_);
  // A first look after half a second tells whether the run will be long.
  std::chrono::milliseconds wait(500);
  while (!wake_.wait_for(lock, wait, [this] { return done_; })) {
    wait = std::chrono::milliseconds(250);
    const double fraction =
        static_cast<double>(progress_.samplesDone.load(std::memory_order_relaxed)) /
        static_cast<double>(total_ == 0 ? 1 : total_);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (fraction <= 0) continue;
    const double left = elapsed / fraction - elapsed;
    if (!shown_ && elapsed + left < 1.0) continue;
    shown_ = true;
    std::fprintf(out_, "\r%s: %3.0f%%, about %.0f s left   ", label_, 100 * fraction, left);
    std::fflush(out_);
  }
}

}  // namespace korvane
