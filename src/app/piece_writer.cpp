#include "app/piece_writer.h"

#include <system_error>

namespace korvane {

PieceWriter::PieceWriter(OutputFile& output, bool threaded) : output_(output) {
  if (!threaded) return;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // Written in turn, then.
  }
}

PieceWriter::~PieceWriter() {
  stop();
}

void PieceWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return hasPending_ || stopping_; });
    if (!hasPending_) return;
    const std::span<const std::uint8_t> piece = pending_;
    const bool ok = ok_;
    lock.unlock();
    const bool written = ok && writeOutputPiece(output_, piece);
    lock.lock();
    ok_ = written;
    hasPending_ = false;
    changed_.notify_all();
  }
}

bool PieceWriter::put(std::span<const std::uint8_t> piece) {
  if (!thread_.joinable()) {
    ok_ = ok_ && writeOutputPiece(output_, piece);
    return ok_;
  }
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !hasPending_; });
  if (!ok_) return false;
  pending_ = piece;
  hasPending_ = true;
  changed_.notify_all();
  return true;
}

void PieceWriter::stop() {
  if (!thread_.joinable()) return;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !hasPending_; });
    stopping_ = true;
    changed_.notify_all();
  }
  thread_.join();
}

bool PieceWriter::finish() {
  stop();
  return ok_ && finishOutput(output_);
}

}  // namespace korvane
