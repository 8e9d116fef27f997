#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "app/run.h"

namespace korvane::test {

void putLe16(Bytes& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putLe32(Bytes& out, std::uint32_t value) {
  putLe16(out, value & 0xFFFF);
  putLe16(out, value >> 16);
}

void putTag(Bytes& out, const char* tag) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(tag[i]));
}

Bytes makeWave(const Bytes& data, std::uint16_t bitsPerSample, std::uint32_t sampleRate) {
  Bytes out;
  const std::uint32_t container = (bitsPerSample + 7u) / 8u;
  putTag(out, "RIFF");
  putLe32(out, static_cast<std::uint32_t>(36 + data.size()));
  putTag(out, "WAVE");
  putTag(out, "fmt ");
  putLe32(out, 16);
  putLe16(out, 1);
  putLe16(out, 1);
  putLe32(out, sampleRate);
  putLe32(out, sampleRate * container);
  putLe16(out, container);
  putLe16(out, bitsPerSample);
  putTag(out, "data");
  putLe32(out, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes makeWave16(const std::vector<std::int32_t>& samples, std::uint32_t sampleRate) {
  Bytes data;
  for (const std::int32_t s : samples)
    putLe16(data, static_cast<std::uint32_t>(s) & 0xFFFF);
  return makeWave(data, 16, sampleRate);
}

std::vector<std::int32_t> samplesOf(const Bytes& file) {
  WaveInfo wave;
  if (readWaveInfo(file, wave) != WaveError::none) throw std::runtime_error("not accepted");
  std::vector<std::int32_t> samples(wave.sampleCount);
  for (auto& s : samples)
    s = nextSample(wave);
  return samples;
}

std::vector<std::int32_t> randomSamples(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::int32_t> dist(-32768, 32767);
  std::vector<std::int32_t> samples(count);
  for (auto& s : samples)
    s = dist(rng);
  return samples;
}

// Voiced sound: a few harmonics of a gliding pitch under a syllable envelope,
// with a little noise; exercises small and large steps alike.
std::vector<std::int32_t> speechLikeSamples(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 300.0);
  std::vector<std::int32_t> samples(count);
  double phase = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    const double pitch = 120.0 + 40.0 * std::sin(2 * M_PI * 1.3 * t);
    phase += 2 * M_PI * pitch / 16000.0;
    const double envelope = 0.5 + 0.5 * std::sin(2 * M_PI * 3.0 * t);
    double v = 0;
    for (int h = 1; h <= 6; ++h)
      v += std::sin(h * phase) / h;
    v = 14000.0 * envelope * v + noise(rng);
    samples[i] = static_cast<std::int32_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
  }
  return samples;
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> folderNames(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path, ignored);
}

RunResult runProgram(const std::vector<std::string>& args, const RunOptions& options) {
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    close(outPipe[0]);
    close(errPipe[0]);
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    if (options.fileSizeLimit != 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    std::string program = KORVANE_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  const auto signalAt =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options.signalAfterMs);
  bool signalled = options.signal == 0;
  while (open > 0) {
    int timeout = -1;
    if (!signalled) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= signalAt) {
        kill(pid, options.signal);
        signalled = true;
      } else {
        timeout = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(signalAt - now).count() + 1);
      }
    }
    const int ready = poll(fds, 2, timeout);
    if (ready < 0) break;
    if (ready == 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

const std::string kUsage =
    "KORVANE V2.0     DATE : 2006.9"
    "KORVANE -Command Input [Output]\n"
    "Command : -E4  Encode PCM -> ADPCM(4-BIT)\n"
    "          -E3  Encode PCM -> ADPCM(3-BIT)\n"
    "          -E2  Encode PCM -> ADPCM(2-BIT)\n"
    "          -E1  Encode PCM -> TORVEL WFM\n"
    "          -E16 Encode PCM -> PCM16\n"
    "          -E12 Encode PCM -> PCM12\n"
    "          -E8  Encode PCM -> PCM8\n";

InProcess runInProcess(const std::vector<std::string>& args) {
  char* buffer = nullptr;
  std::size_t size = 0;
  Console console;
  console.out = open_memstream(&buffer, &size);
  console.keyWaitEnabled = false;
  InProcess result;
  result.exitCode = runKorvane(args, console);
  std::fclose(console.out);
  result.out.assign(buffer, size);
  std::free(buffer);
  result.keyWaits = console.keyWaits;
  return result;
}

}  // namespace korvane::test
