// Writes an output a piece at a time on a second thread, so that the next
// piece is made while the last one is written; one piece is in flight at
// most. Without a thread to be had, or when asked for none, each piece is
// written before put returns.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

#include "platform/platform.h"

namespace korvane {

class PieceWriter {
 public:
  PieceWriter(OutputFile& output, bool threaded);
  ~PieceWriter();
  PieceWriter(const PieceWriter&) = delete;
  PieceWriter& operator=(const PieceWriter&) = delete;

  // Hands piece over once the piece before is written. piece must stay as it
  // is until the next put or finish returns. False once a write has failed
  // (the output is then already dropped).
  [[nodiscard]] bool put(std::span<const std::uint8_t> piece);

  // Waits for the last piece, then puts the new file in place (finishOutput).
  [[nodiscard]] bool finish();

 private:
  void run();
  void stop();

  OutputFile& output_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::span<const std::uint8_t> pending_;
  bool hasPending_ = false;
  bool stopping_ = false;
  bool ok_ = true;
  std::thread thread_;
};

}  // namespace korvane
