// What the front end asks of the operating system, one source file per
// platform behind this header: the input read; the output made safely;
// a key wait on the console; whether standard error is a terminal.
//
// The output rules: an output that is a regular file, or a name that does not
// exist yet, is written to a new file beside it (".NAME.korvane-PID-N.part")
// that replaces it only once every byte is written and the file closed, with
// the old file's permission bits; a symbolic link keeps pointing at the new
// file. A failed or interrupted run leaves the old file as it was and removes
// the new one. Where no file can be made beside a writable file, the file is
// rewritten in place: only once the whole stream is built (in a scratch file),
// the file locked against other writers and the room for its new length
// secured; where any of that fails, the old file is left as it was. Only a
// failure in the rewrite itself (a disk error, a power cut) can damage it.
// Anything else (a device, a FIFO) is written directly, as it stands.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "wav/source.h"

namespace korvane {

// Which file a name leads to, whatever its spelling or links.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool known = false;
};

// A handle is the platform's own: a file descriptor, or a Windows HANDLE.
struct InputFile {
  std::intptr_t handle = -1;
  FileIdentity identity;
};

enum class OutputMode : std::uint8_t {
  replace,  // written to `partial`, then renamed over `target`
  inPlace,  // built in `staged`, then `target` is rewritten through the handle
  direct,   // not a regular file: written through the handle as it stands
};

struct OutputFile {
  std::intptr_t handle = -1;
  std::string name;           // as given, for messages
  std::string target;         // the file that ends up holding the output, links resolved
  std::string partial;        // the new file beside the target, while there is one
  int partialSlot = -1;       // where the interrupt handler finds `partial`
  std::intptr_t staged = -1;  // a scratch file the stream is built in first, where there is one
  std::vector<std::uint8_t> held;  // a rewrite in place's first pieces, before a scratch file
  OutputMode mode = OutputMode::direct;
  bool started = false;    // a piece has been written
  bool rewriting = false;  // an in-place rewrite has begun: a failure now damages the target
};

// The most outputs unfinished at once (a batch runs no more jobs than this):
// an interrupt removes the new file of every one.
inline constexpr std::size_t kMostUnfinishedOutputs = 1024;

enum class CreateResult : std::uint8_t { created, failed, isInput, isWave };

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

// Opens an input; "-" is standard input.
[[nodiscard]] bool openInput(const std::string& name, InputFile& input);

// The names an input argument stands for: where the shell leaves wildcards to
// the program (Windows), the files that '*' and '?' in its last part match,
// sorted by name; else, or where nothing matches, the argument itself.
[[nodiscard]] std::vector<std::string> matchingNames(const std::string& arg);

// An input as the readers take it. A file on disk is read where it is asked,
// from any thread, through the open input; a read that comes short (the file
// shrank) or fails is recorded in failed, and the readers see zeros there.
// Anything else (a pipe, a FIFO, a device) is read once, as far as its
// ReadLimit says, and kept: in memory up to kHeldInMemory bytes, past that
// in a scratch file removed when it is closed.
struct InputBytes {
  InputBytes() = default;
  ~InputBytes();
  InputBytes(const InputBytes&) = delete;
  InputBytes& operator=(const InputBytes&) = delete;

  ByteSource source;
  InputFile file;  // read on demand: the input, or the scratch file
  std::vector<std::uint8_t> held;
  std::atomic<bool> failed{false};
};

inline constexpr std::size_t kHeldInMemory = std::size_t{16} << 20;

// How far a stream input is worth reading, judged from what has arrived.
using ReadLimiter = std::function<ReadLimit(const ByteSource& arrived)>;

enum class InputRead : std::uint8_t {
  read,     // bytes.source holds the input (a refused one as far as it was read)
  failed,   // it could not be read
  tooLong,  // a stream that goes on past what its limit allows
};

// Takes over input and readies bytes to read it.
[[nodiscard]] InputRead readInput(InputFile& input, InputBytes& bytes, const ReadLimiter& limit);

void closeInput(InputFile& input);

// Which file name leads to now; not known where it leads to none.
[[nodiscard]] FileIdentity identityOfName(const std::string& name);

// Whether two identities are known and the same file.
[[nodiscard]] bool sameFile(const FileIdentity& a, const FileIdentity& b);

// A name as the file system compares names: the same key for two names of
// one file (on Windows, letters of either case and '\' or '/').
[[nodiscard]] std::string nameKey(const std::string& name);

// Readies name to be written, touching no existing file ("-" is standard
// output, written directly): refuses the input
// file itself, an existing file this user may not write or whose folder
// takes no new file (failed) and, with refuseWave, an existing file that
// begins with a RIFF/WAVE header (isWave).
[[nodiscard]] CreateResult createOutput(const std::string& name, const FileIdentity& input,
                                        bool refuseWave, OutputFile& output);

// Writes every byte, closes, and puts the new file in place; false on any
// failure, after which the old file is as it was (a rewrite in place that
// fails is removed).
[[nodiscard]] bool writeOutput(OutputFile& output, std::span<const std::uint8_t> bytes);

// The same in pieces: each piece is written after the ones before it, and
// finishOutput closes and puts the new file in place. A false from either
// has already dropped the output as writeOutput does.
[[nodiscard]] bool writeOutputPiece(OutputFile& output, std::span<const std::uint8_t> bytes);
[[nodiscard]] bool finishOutput(OutputFile& output);

// Readies output to be written at offsets: a new file (mode replace) is
// written where it lies; anything else is built in a scratch file first,
// which finishOutput copies to it. False where no scratch file can be made.
[[nodiscard]] bool stageOutput(OutputFile& output);

// Once stageOutput said yes, writes bytes at offset, from any thread;
// finishOutput then puts the stream in place. False on a failure, after
// which the caller drops the output.
[[nodiscard]] bool writeOutputAt(OutputFile& output, std::uint64_t offset,
                                 std::span<const std::uint8_t> bytes);

// The stream as it was built in the scratch file, until discardOutput; an
// empty source where there is none.
[[nodiscard]] ByteSource stagedStream(const OutputFile& output);

// Drops a conversion that could not finish: the new file is removed, the old
// one left as it was.
void discardOutput(OutputFile& output);

// From here on SIGINT, SIGTERM and SIGHUP remove the new files of unfinished
// outputs before the program ends, and a write past the file size limit
// fails like any other.
void removePartialOutputsOnInterrupt();

// The arguments after the program name, in UTF-8 (on Windows taken from the
// wide command line, whatever the code page); readies the console for UTF-8.
[[nodiscard]] std::vector<std::string> programArguments(int argc, char** argv);

// One key press, no echo, where the console is the program's own: a window
// opened for it alone (Windows: the only process on its console; POSIX: the
// leader of its terminal's session, as under "xterm -e"). Returns at once in
// a shell, a script, make or CI, and when standard input is no console.
void waitForKey();

// Whether standard error is a terminal, where progress may be shown.
[[nodiscard]] bool stderrIsTerminal();

}  // namespace korvane
