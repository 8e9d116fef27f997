// What the front end asks of the operating system, one source file per
// platform behind this header: the input is loaded whole, the output is
// created only when it is not the input, written in one piece, and removed
// again after a failed write when this run created or truncated it; a key
// wait on the console; whether standard error is a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvane {

// Which file a name leads to, whatever its spelling or links.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool known = false;
};

struct InputFile {
  int fd = -1;
  FileIdentity identity;
};

struct OutputFile {
  int fd = -1;
  std::string name;
  bool removable = false;  // a regular file this run created or truncated
};

enum class CreateResult : std::uint8_t { created, failed, isInput };

// The whole input in memory: a regular file is mapped read-only, anything
// else (or a file that cannot be mapped) is read into owned bytes.
struct LoadedInput {
  LoadedInput() = default;
  ~LoadedInput();
  LoadedInput(const LoadedInput&) = delete;
  LoadedInput& operator=(const LoadedInput&) = delete;

  std::span<const std::uint8_t> bytes() const { return {data, size}; }

  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  void* mapping = nullptr;  // to unmap, when mapped
  std::vector<std::uint8_t> owned;
};

// The buffer an output is built in. A large one is a mapping of its own
// that asks for huge pages: on virtual machines the first touch of a fresh
// 4 KiB page can cost as much as encoding a few thousand samples, and a huge
// page takes one fault for 512 of them.
struct OutputBuffer {
  OutputBuffer() = default;
  ~OutputBuffer();
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  std::span<std::uint8_t> bytes;
  void* mapping = nullptr;  // to unmap, when mapped
  std::size_t mappedLength = 0;
  std::vector<std::uint8_t> owned;
};

// Gives buffer.bytes length zero bytes; throws std::bad_alloc when it cannot.
void allocateOutput(std::size_t length, OutputBuffer& buffer);

[[nodiscard]] bool openInput(const std::string& name, InputFile& input);

// Loads the whole input and closes it; false when it cannot be read in full.
[[nodiscard]] bool loadInput(InputFile& input, LoadedInput& loaded);

void closeInput(InputFile& input);

// Creates or truncates name for writing, unless it is the input file, which
// is then left untouched.
[[nodiscard]] CreateResult createOutput(const std::string& name, const FileIdentity& input,
                                        OutputFile& output);

// Writes every byte and closes the file; on any failure removes the output
// when it is removable and returns false.
[[nodiscard]] bool writeOutput(OutputFile& output, std::span<const std::uint8_t> bytes);

// Closes the output and removes it when removable (a conversion that could not finish).
void discardOutput(OutputFile& output);

// One key press, no echo; returns at once when standard input is no console.
void waitForKey();

// Whether standard error is a terminal, where progress may be shown.
[[nodiscard]] bool stderrIsTerminal();

}  // namespace korvane
