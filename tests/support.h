// Helpers shared by the tests: WAV files built from bytes, temporary folders,
// and the program run as a user runs it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "wav/wave_reader.h"

namespace korvane::test {

using Bytes = std::vector<std::uint8_t>;

void putLe16(Bytes& out, std::uint32_t value);
void putLe32(Bytes& out, std::uint32_t value);
void putTag(Bytes& out, const char* tag);

// The 44-byte header of a PCM (tag 1) or float (tag 3) file whose data
// chunk says dataBytes.
Bytes waveHeader(std::uint16_t tag, std::uint16_t channels, std::uint16_t bitsPerSample,
                 std::uint32_t sampleRate, std::uint32_t dataBytes);

// A canonical 44-byte-header mono PCM file around the given data bytes.
Bytes makeWave(const Bytes& data, std::uint16_t bitsPerSample, std::uint32_t sampleRate);

// A 16-bit mono file of the given samples.
Bytes makeWave16(const std::vector<std::int32_t>& samples, std::uint32_t sampleRate = 16000);

// Reads an accepted file's samples as the encoders see them.
std::vector<std::int32_t> samplesOf(const Bytes& file);

// Deterministic test signals.
std::vector<std::int32_t> randomSamples(std::size_t count, std::uint32_t seed);
std::vector<std::int32_t> speechLikeSamples(std::size_t count, std::uint32_t seed);

// The signals fast paths are tried on, by kind: 0 speech, 1 white noise, 2
// speech clipped at full scale, 3 DC after a step, 4 a full-scale square
// wave, 5 silence then speech.
inline constexpr int kSignalKinds = 6;
std::vector<std::int32_t> signalOf(int kind, std::size_t count, std::uint32_t seed);

Bytes readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const Bytes& bytes);

// The names in a folder, sorted.
std::vector<std::string> folderNames(const std::filesystem::path& folder);

// a followed by b.
inline Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A fresh folder under the system's temporary folder, removed with the object.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path path;
  std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

struct RunOptions {
  std::filesystem::path workDir;    // empty: the current folder
  std::uint64_t fileSizeLimit = 0;  // RLIMIT_FSIZE in the child when not 0
  int signal = 0;                   // sent to the child after signalAfterMs, when not 0
  int signalAfterMs = 0;
  unsigned openFileLimit = 0;      // RLIMIT_NOFILE in the child when not 0
  std::uint64_t addressLimit = 0;  // RLIMIT_AS in the child when not 0
  const Bytes* input = nullptr;    // written to standard input through a pipe, else the null device
  bool closedOutput = false;       // standard output a pipe no one reads any more (| head)
  unsigned processLimit = 0;       // RLIMIT_NPROC in the child when not 0 (root runs as nobody)
};

// What the platform the tests run on offers; a test that needs what it lacks
// skips, and says why.
struct Platform {
  bool signals;            // SIGINT, SIGTERM and SIGHUP sent to a child
  bool limits;             // per-process limits of file size and open files
  bool symlinks;           // symbolic links that are really made
  bool terminal;           // a pseudo-terminal to run the program on
  bool devFull;            // /dev/full
  bool modesBindThisUser;  // permission bits stop this user (not root)
  bool expandsWildcards;   // the program, not the shell, expands '*' and '?'
  bool fifos;              // named pipes, /dev/zero and /dev/urandom
  const char* nullDevice;
  const char* unwritableFolder;  // a folder no one may add files to, or ""
};

extern const Platform kPlatform;

// Whether the program runs under the sanitizers, whose runtime holds file
// descriptors of its own.
#ifdef KORVANE_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Whether the program runs under an emulator, which takes address space of its own.
#ifdef KORVANE_EMULATOR
inline constexpr bool kEmulated = true;
#else
inline constexpr bool kEmulated = false;
#endif

// The numbers of the signals a run may be stopped with (0 where there are none).
struct Signals {
  int interrupt;
  int terminate;
  int hangUp;
};

extern const Signals kSignals;

// The program without arguments on a terminal: its usage text and whether it
// sat in its key wait until a key came.
struct TerminalRun {
  bool supported = false;
  std::string shown;  // all that reached the terminal
  bool waitedForKey = false;
  bool endedAfterKey = false;
  int exitCode = -1;
};

// leader: the program leads the terminal's session (as under "xterm -e");
// else it is a child of the leader (as a command typed into a shell).
TerminalRun runOnTerminal(bool leader = true);

// The program as a shell command runs it (through the emulator of a cross build).
inline const std::string kProgramCommand =
#ifdef KORVANE_EMULATOR
    std::string(KORVANE_EMULATOR) + " " +
#endif
    KORVANE_BINARY;

// A named pipe at path served by a thread (kPlatform.fifos). Fed, it takes
// head and then, where loop is not empty, loop over and over until its
// reader goes; drained, it keeps all that is written to it.
class Fifo {
 public:
  Fifo(const std::filesystem::path& path, Bytes head, Bytes loop = {});
  explicit Fifo(const std::filesystem::path& path);
  ~Fifo();
  Fifo(const Fifo&) = delete;
  Fifo& operator=(const Fifo&) = delete;

  // What was written to a drained pipe, once its writer closed it (the
  // program has ended).
  const Bytes& drained();

 private:
  void finish();

  std::filesystem::path path_;
  bool feeding_ = false;
  Bytes head_;
  Bytes loop_;
  Bytes drained_;
  std::atomic<bool> stop_{false};  // a feeder stops writing its loop
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A file of header followed by dataBytes zero bytes that take no disk space
// where the file system allows.
void writeSparse(const std::filesystem::path& path, const Bytes& header, std::uint64_t dataBytes);

// Runs the built program (stdin from the null device, or options.input through a
// pipe); a child ended by a signal has exit code 128 + the signal.
RunResult runProgram(const std::vector<std::string>& args, const RunOptions& options = {});

// The nine usage strings exactly as the program prints them.
extern const std::string kUsage;

// The whole command line in process, with the key waits counted.
struct InProcess {
  int exitCode = -1;
  std::string out;
  int keyWaits = 0;
};

InProcess runInProcess(const std::vector<std::string>& args);

}  // namespace korvane::test
