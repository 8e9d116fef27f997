// A count of work done, for a progress display in another thread: samples
// coded by a search, or files converted by a batch.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvane {

struct EncodeProgress {
  std::atomic<std::uint64_t> samplesDone{0};
};

}  // namespace korvane
