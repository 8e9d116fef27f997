// The output rules (platform.h), written once over the operating system's
// calls (os.h).
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/os.h"
#include "platform/partials.h"
#include "platform/platform.h"

namespace korvane {
namespace {

PartialFiles gPartials;

bool beginsWithWave(const std::string& name) {
  std::array<std::uint8_t, 12> start{};
  return os::readStart(name, start) && std::memcmp(start.data(), "RIFF", 4) == 0 &&
         std::memcmp(start.data() + 8, "WAVE", 4) == 0;
}

// Makes the new file beside the target: ".NAME.korvane-PID-N.part", or the
// tag alone where that name would be too long.
bool makePartial(OutputFile& output, const os::NameFacts* replaced) {
  const std::size_t folder = os::folderLength(output.target);
  const std::string base = output.target.substr(folder);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string tag = ".korvane-" + std::to_string(os::processNumber()) + "-" +
                            std::to_string(gPartials.next()) + ".part";
    const std::string name =
        output.target.substr(0, folder) +
        (base.size() + tag.size() < os::longestName() ? "." + base + tag : tag);
    // Made and registered with interrupts held here, and not at all once one
    // has come: the handler removes every file made.
    os::holdInterrupts(true);
    if (!gPartials.enter()) {
      os::holdInterrupts(false);
      return false;
    }
    std::intptr_t handle = os::kNoHandle;
    const os::Made made = os::makeNew(name, replaced, handle);
    int slot = -1;
    if (made == os::Made::made) {
      slot = gPartials.add(name);
      if (slot < 0) {
        (void)os::close(handle);
        os::remove(name);
      }
    }
    gPartials.leave();
    os::holdInterrupts(false);
    if (made == os::Made::exists) continue;
    if (made == os::Made::failed || slot < 0) return false;
    output.handle = handle;
    output.partial = name;
    output.partialSlot = slot;
    output.mode = OutputMode::replace;
    return true;
  }
  return false;
}

// A device, a pipe or anything else that is no file on disk: written as it stands.
CreateResult openDirect(const std::string& name, const FileIdentity& input, OutputFile& output) {
  output.handle = os::openToWrite(name);
  if (output.handle == os::kNoHandle) return CreateResult::failed;
  const FileIdentity opened = os::identityOf(output.handle);
  if (sameFile(opened, input)) {
    discardOutput(output);
    return CreateResult::isInput;
  }
  output.mode = OutputMode::direct;
  return CreateResult::created;
}

// Drops an output whose writing failed: a rewrite in place that had begun
// is removed (what it left is neither file); before that the target is untouched.
void failOutput(OutputFile& output) {
  if (output.rewriting) os::remove(output.target);
  discardOutput(output);
}

}  // namespace

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

FileIdentity identityOfName(const std::string& name) {
  const os::NameFacts facts = os::lookAt(name);
  return facts.exists ? facts.identity : FileIdentity{};
}

void removeUnfinishedOutputs() {
  gPartials.stopAndRemoveAll(os::removeNow, os::pauseNow);
}

CreateResult createOutput(const std::string& name, const FileIdentity& input, bool refuseWave,
                          OutputFile& output) {
  output = OutputFile{};
  output.name = name;
  if (name == "-") {
    output.handle = os::standardOutput();
    output.mode = OutputMode::direct;
    return output.handle == os::kNoHandle ? CreateResult::failed : CreateResult::created;
  }
  const os::NameFacts facts = os::lookAt(name);
  if (facts.failed) return CreateResult::failed;
  if (facts.exists && sameFile(facts.identity, input)) return CreateResult::isInput;
  if (facts.exists && !facts.regular) return openDirect(name, input, output);
  if (facts.exists && refuseWave && beginsWithWave(name)) return CreateResult::isWave;
  output.target = facts.target;
  std::intptr_t writable =
      os::kNoHandle;  // an existing file is opened, not changed, to learn it may be written
  if (facts.exists) {
    writable = os::openToWrite(name);
    if (writable == os::kNoHandle) return CreateResult::failed;
  } else if (!os::nameFits(output.target)) {
    return CreateResult::failed;
  }
  if (makePartial(output, facts.exists ? &facts : nullptr)) {
    if (writable != os::kNoHandle) (void)os::close(writable);
    return CreateResult::created;
  }
  if (writable == os::kNoHandle) return CreateResult::failed;
  output.handle = writable;
  output.mode = OutputMode::inPlace;
  return CreateResult::created;
}

bool writeOutputPiece(OutputFile& output, std::span<const std::uint8_t> bytes) {
  bool ok = true;
  if (output.mode != OutputMode::inPlace) {
    ok = os::writeAll(output.handle, bytes);
  } else if (output.staged == os::kNoHandle && output.held.size() + bytes.size() <= kHeldInMemory) {
    // A rewrite in place waits for the whole stream: held in memory while
    // it is short, in a scratch file past that.
    output.held.insert(output.held.end(), bytes.begin(), bytes.end());
  } else {
    ok = stageOutput(output) && os::writeAll(output.staged, output.held) &&
         os::writeAll(output.staged, bytes);
    output.held = {};
  }
  output.started = true;
  if (!ok) failOutput(output);
  return ok;
}

bool stageOutput(OutputFile& output) {
  if (output.mode == OutputMode::replace) return true;
  if (output.staged == os::kNoHandle) output.staged = os::makeScratch();
  return output.staged != os::kNoHandle;
}

namespace {

bool fillFromStaged(const void* context, std::uint64_t offset, std::span<std::uint8_t> out) {
  return os::readAt(static_cast<const OutputFile*>(context)->staged, offset, out);
}

// Copies a stream to the output, a piece at a time: written as it comes (a
// device), or at its offsets (a rewrite in place).
bool copyStream(OutputFile& output, const ByteSource& stream, bool atOffsets) {
  std::vector<std::uint8_t> piece(std::size_t{1} << 20);
  for (std::uint64_t at = 0; at < stream.size; at += piece.size()) {
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), stream.size - at));
    const std::span<const std::uint8_t> bytes = std::span(piece).first(n);
    if (!readBytes(stream, at, std::span(piece).first(n)) ||
        !(atOffsets ? os::writeAt(output.handle, at, bytes) : os::writeAll(output.handle, bytes))) {
      return false;
    }
  }
  return true;
}

// Rewrites the target with stream, once no other writer holds it and the
// room for the new length is secured; a file that cannot be secured is cut
// back to its old length, its bytes untouched. An interrupt waits for a
// rewrite under way to end (the handler waits for what is in flight), and
// none begins after one: the target is old or new.
bool rewriteInPlace(OutputFile& output, const ByteSource& stream) {
  const std::uint64_t newLength = stream.size;
  std::uint64_t oldLength = 0;
  if (!os::lockWhole(output.handle) || !os::inputLength(output.handle, oldLength)) return false;
  os::holdInterrupts(true);
  const bool entered = gPartials.enter();
  bool ok = entered;
  if (ok && newLength > oldLength && !os::reserve(output.handle, oldLength, newLength)) {
    (void)os::setLength(output.handle, oldLength);
    ok = false;
  }
  if (ok) {
    output.rewriting = true;
    ok = copyStream(output, stream, true) &&
         (newLength >= oldLength || os::setLength(output.handle, newLength));
  }
  if (!ok && output.rewriting)
    os::remove(output.target);  // neither file: gone before any interrupt
  output.rewriting = false;
  if (entered) gPartials.leave();
  os::holdInterrupts(false);
  return ok;
}

}  // namespace

namespace {
bool placeOutput(OutputFile& output);
}  // namespace

ByteSource stagedStream(const OutputFile& output) {
  std::uint64_t length = 0;
  if (output.staged == os::kNoHandle || !os::inputLength(output.staged, length)) return {};
  return {nullptr, length, &output, fillFromStaged};
}

bool finishOutput(OutputFile& output) {
  const ByteSource built =
      output.staged != os::kNoHandle ? stagedStream(output) : memorySource(output.held);
  const bool ok = output.mode == OutputMode::inPlace ? rewriteInPlace(output, built)
                  : output.staged != os::kNoHandle && !output.started
                      ? copyStream(output, built, false)
                      : true;
  if (!ok) {
    failOutput(output);
    return false;
  }
  return placeOutput(output);
}

namespace {

// Closes a finished output and puts a new file in place.
bool placeOutput(OutputFile& output) {
  const std::intptr_t handle = output.handle;
  output.handle = os::kNoHandle;
  bool closed = os::close(handle);
  if (closed && output.mode == OutputMode::replace) {
    closed = os::replace(output.partial, output.target);
    if (closed) {
      gPartials.release(output.partialSlot);
      output.partialSlot = -1;
      output.partial.clear();
    }
  }
  if (!closed) {
    failOutput(output);
    return false;
  }
  output.rewriting = false;
  discardOutput(output);  // the scratch file, where there was one
  return true;
}

}  // namespace

bool writeOutputAt(OutputFile& output, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  return os::writeAt(output.staged != os::kNoHandle ? output.staged : output.handle, offset, bytes);
}

bool writeOutput(OutputFile& output, std::span<const std::uint8_t> bytes) {
  if (output.mode == OutputMode::inPlace && !output.started && output.staged == os::kNoHandle) {
    // The whole stream is here: rewritten from memory, no scratch file needed.
    output.started = true;
    if (!rewriteInPlace(output, memorySource(bytes))) {
      failOutput(output);
      return false;
    }
    return placeOutput(output);
  }
  return writeOutputPiece(output, bytes) && finishOutput(output);
}

void discardOutput(OutputFile& output) {
  if (output.handle != os::kNoHandle) (void)os::close(output.handle);
  output.handle = os::kNoHandle;
  if (output.staged != os::kNoHandle) (void)os::close(output.staged);
  output.staged = os::kNoHandle;
  output.held = {};
  if (!output.partial.empty()) {
    os::remove(output.partial);
    gPartials.release(output.partialSlot);
    output.partialSlot = -1;
    output.partial.clear();
  }
}

}  // namespace korvane
