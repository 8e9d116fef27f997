// Helpers shared by the tests: WAV files built from bytes, temporary folders,
// and the program run as a user runs it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "wav/wave_reader.h"

namespace korvane::test {

using Bytes = std::vector<std::uint8_t>;

void putLe16(Bytes& out, std::uint32_t value);
void putLe32(Bytes& out, std::uint32_t value);
void putTag(Bytes& out, const char* tag);

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
  unsigned openFileLimit = 0;  // RLIMIT_NOFILE in the child when not 0
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

TerminalRun runOnTerminal();

// The program as a shell command runs it (through the emulator of a cross build).
inline const std::string kProgramCommand =
#ifdef KORVANE_EMULATOR
    std::string(KORVANE_EMULATOR) + " " +
#endif
    KORVANE_BINARY;

// Runs the built program with stdin from the null device; a child ended by a signal
// has exit code 128 + the signal.
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
