// Fuzz target: the whole program, in process, over a scratch folder. The
// first bytes choose a switch, options, names and files already there; the
// rest is the input's bytes. Every run ends with a known exit code, leaves
// no new file behind, and never changes the input it reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/run.h"

namespace {

namespace fs = std::filesystem;

const fs::path& scratch() {
  static const fs::path folder = [] {
    fs::path f = fs::temp_directory_path() / ("korvane-fuzz-cli-" + std::to_string(::rand()));
    fs::create_directories(f);
    return f;
  }();
  return folder;
}

void put(const fs::path& path, const std::uint8_t* data, std::size_t size) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<std::uint8_t> get(const fs::path& path) {
  if (!fs::is_regular_file(path)) return {};
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

constexpr const char* kSwitches[] = {"-E4", "-E3", "-E2", "-E1", "-E16", "-E12", "-E8", "-D", "-x"};
constexpr const char* kOptions[] = {"--search=2", "--rate=8000",  "--gain=-6", "--normalize",
                                    "--report",   "--report=csv", "--quiet",   "--jobs=2"};
// Names relative to the scratch folder: plain, nested, climbing, odd.
constexpr const char* kNames[] = {"in.wav", "in.AD4",       "sub/in.wav", "out.AD4", "out.wav",
                                  "in",     "../outside.x", "sub",        "=x.wav",  "a b.wav"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const fs::path& dir = scratch();
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::uint8_t pick = data[0];
  const std::uint8_t options = data[1];
  const std::uint8_t names = data[2];
  const std::uint8_t files = data[3];
  data += 4;
  size -= 4;
  // The input's bytes under some of the names; the others absent.
  for (std::size_t i = 0; i < 4; ++i) {
    if ((files >> i & 1) != 0) put(dir / kNames[i * 2 % 10], data, size);
  }
  // A header's rate far above any recording's makes --rate design a long
  // filter: slow, not wrong, and kept out of the runs here.
  const std::uint32_t rate =
      size >= 28
          ? static_cast<std::uint32_t>(data[24] | data[25] << 8 | data[26] << 16 | data[27] << 24)
          : 0;
  std::vector<std::string> args = {kSwitches[pick % 9]};
  for (std::size_t i = 0; i < 8; ++i) {
    if ((options >> i & 1) != 0 && !(i == 1 && rate > 400000)) args.push_back(kOptions[i]);
  }
  const bool batch = (pick & 0x80) != 0;
  if (batch) args.push_back("--out-dir=" + (dir / ((pick & 0x40) != 0 ? "." : "o")).string());
  args.push_back((dir / kNames[names % 10]).string());
  if ((names & 0x80) != 0) args.push_back((dir / kNames[(names >> 4) % 10]).string());

  const std::vector<std::uint8_t> before = get(dir / kNames[names % 10]);
  std::string out;
  std::string err;
  korvane::Console console;
  console.outText = &out;
  console.errText = &err;
  console.keyWaitEnabled = false;
  const int code = korvane::runKorvane(args, console);
  if (code < 0 || code > 2) std::abort();
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.path().extension() == ".part") std::abort();
  }
  // An input is read, never written: an encode never replaces a WAV file,
  // and no output is its input.
  const bool isInputWav = fs::path(kNames[names % 10]).extension() == ".wav";
  if (args[0] != "-D" && isInputWav && fs::exists(dir / kNames[names % 10]) &&
      get(dir / kNames[names % 10]) != before) {
    std::abort();
  }
  fs::remove(dir.parent_path() / "outside.x");
  return 0;
}
