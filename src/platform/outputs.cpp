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

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

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
    std::intptr_t handle = os::kNoHandle;
    const os::Made made = os::makeNew(name, replaced, handle);
    if (made == os::Made::exists) continue;
    if (made == os::Made::failed) return false;
    output.handle = handle;
    output.partial = name;
    output.partialSlot = gPartials.add(name);
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

// Drops an output whose writing failed: a rewrite in place is removed.
void failOutput(OutputFile& output) {
  if (output.mode == OutputMode::inPlace) os::remove(output.target);
  discardOutput(output);
}

}  // namespace

void removeUnfinishedOutputs() {
  gPartials.removeAll(os::removeNow);
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
  bool ok = output.started || output.mode != OutputMode::inPlace || os::truncate(output.handle);
  output.started = true;
  ok = ok && os::writeAll(output.handle, bytes);
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

// Copies the stream built in the scratch file to the output, a piece at a time.
bool copyStaged(OutputFile& output) {
  const ByteSource stream = stagedStream(output);
  std::vector<std::uint8_t> piece(std::size_t{1} << 20);
  for (std::uint64_t at = 0; at < stream.size; at += piece.size()) {
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), stream.size - at));
    if (!readBytes(stream, at, std::span(piece).first(n))) {
      failOutput(output);
      return false;
    }
    if (!writeOutputPiece(output, std::span(piece).first(n))) return false;
  }
  return true;
}

}  // namespace

ByteSource stagedStream(const OutputFile& output) {
  std::uint64_t length = 0;
  if (output.staged == os::kNoHandle || !os::inputLength(output.staged, length)) return {};
  return {nullptr, length, &output, fillFromStaged};
}

bool finishOutput(OutputFile& output) {
  if (output.staged != os::kNoHandle && !output.started && !copyStaged(output)) return false;
  const std::intptr_t handle = output.handle;
  output.handle = os::kNoHandle;
  bool ok = os::close(handle);
  if (ok && output.mode == OutputMode::replace) {
    ok = os::replace(output.partial, output.target);
    if (ok) {
      gPartials.release(output.partialSlot);
      output.partialSlot = -1;
      output.partial.clear();
    }
  }
  if (!ok) failOutput(output);
  return ok;
}

bool writeOutputAt(OutputFile& output, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  return os::writeAt(output.staged != os::kNoHandle ? output.staged : output.handle, offset, bytes);
}

bool writeOutput(OutputFile& output, std::span<const std::uint8_t> bytes) {
  return writeOutputPiece(output, bytes) && finishOutput(output);
}

void discardOutput(OutputFile& output) {
  if (output.handle != os::kNoHandle) (void)os::close(output.handle);
  output.handle = os::kNoHandle;
  if (output.staged != os::kNoHandle) (void)os::close(output.staged);
  output.staged = os::kNoHandle;
  if (!output.partial.empty()) {
    os::remove(output.partial);
    gPartials.release(output.partialSlot);
    output.partialSlot = -1;
    output.partial.clear();
  }
}

}  // namespace korvane
