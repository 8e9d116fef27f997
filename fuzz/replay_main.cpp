// Runs a fuzz target over files and folders of inputs, for builds without
// libFuzzer: every input that ever crashed stays in fuzz/regressions and is
// replayed by CTest in every build.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void replay(const std::filesystem::path& path, int& count) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  ++count;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  for (int a = 1; a < argc; ++a) {
    const std::filesystem::path root = argv[a];
    if (std::filesystem::is_directory(root)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().filename() != "README.md") {
          replay(entry.path(), count);
        }
      }
    } else if (std::filesystem::exists(root)) {
      replay(root, count);
    } else {
      std::fprintf(stderr, "%s: no such input\n", argv[a]);
      return 2;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}
