#include "platform/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace korvane {
namespace {

// Pages are mapped in with the file, in one call rather than a fault each.
#ifdef MAP_POPULATE
constexpr int kPopulate = MAP_POPULATE;
#else
constexpr int kPopulate = 0;
#endif

FileIdentity identityOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

// Reads until count bytes arrived or the file ended; returns the bytes read, or -1.
long long readFully(int fd, std::uint8_t* to, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = read(fd, to + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<long long>(done);
}

}  // namespace

OutputBuffer::~OutputBuffer() {
  if (mapping != nullptr) munmap(mapping, mappedLength);
}

void allocateOutput(std::size_t length, OutputBuffer& buffer) {
#ifdef MADV_HUGEPAGE
  // Below this a huge page would mostly clear memory that is never used.
  constexpr std::size_t kLarge = std::size_t{1} << 20;
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (length >= kLarge && length <= SIZE_MAX - 2 * kHugePage) {
    // Map a huge page more than needed and keep the aligned part.
    const std::size_t wanted = (length + kHugePage - 1) / kHugePage * kHugePage;
    const std::size_t mapped = wanted + kHugePage;
    void* map = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map != MAP_FAILED) {
      auto* base = static_cast<std::uint8_t*>(map);
      const auto address = reinterpret_cast<std::uintptr_t>(base);
      const std::size_t head = (kHugePage - address % kHugePage) % kHugePage;
      if (head > 0) munmap(base, head);
      if (mapped - head > wanted) munmap(base + head + wanted, mapped - head - wanted);
      buffer.mapping = base + head;
      buffer.mappedLength = wanted;
      madvise(buffer.mapping, wanted, MADV_HUGEPAGE);  // only advice: small pages also work
      buffer.bytes = {base + head, length};
      return;
    }
  }
#endif
  buffer.owned.resize(length);
  buffer.bytes = buffer.owned;
}

bool openInput(const std::string& name, InputFile& input) {
  input.fd = open(name.c_str(), O_RDONLY);
  if (input.fd < 0) return false;
  struct stat st {};
  if (fstat(input.fd, &st) == 0) input.identity = identityOf(st);
  return true;
}

void closeInput(InputFile& input) {
  if (input.fd >= 0) close(input.fd);
  input.fd = -1;
}

LoadedInput::~LoadedInput() {
  if (mapping != nullptr) munmap(mapping, size);
}

namespace {

// A regular file is mapped: no copy into a fresh heap buffer, whose first
// touch costs more than the encoding.
bool mapWhole(int fd, std::size_t length, LoadedInput& loaded) {
  if (length == 0) return false;
  void* map = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | kPopulate, fd, 0);
  if (map == MAP_FAILED) return false;
  loaded.mapping = map;
  loaded.data = static_cast<const std::uint8_t*>(map);
  loaded.size = length;
  return true;
}

// Where mapping fails a regular file is read at its length.
bool readAtLength(int fd, std::size_t length, std::vector<std::uint8_t>& bytes) {
  bytes.resize(length);
  return readFully(fd, bytes.data(), length) == static_cast<long long>(length);
}

// Pipes and devices have no length: read until they end.
bool readToEnd(int fd, std::vector<std::uint8_t>& bytes) {
  constexpr std::size_t kChunk = 1 << 16;
  std::size_t used = 0;
  for (;;) {
    bytes.resize(used + kChunk);
    const long long got = readFully(fd, bytes.data() + used, kChunk);
    if (got < 0) return false;
    used += static_cast<std::size_t>(got);
    if (static_cast<std::size_t>(got) < kChunk) break;
  }
  bytes.resize(used);
  return true;
}

}  // namespace

bool loadInput(InputFile& input, LoadedInput& loaded) {
  bool ok = false;
  try {
    struct stat st {};
    if (fstat(input.fd, &st) != 0) {
      ok = false;
    } else if (!S_ISREG(st.st_mode)) {
      ok = readToEnd(input.fd, loaded.owned);
    } else if (mapWhole(input.fd, static_cast<std::size_t>(st.st_size), loaded)) {
      closeInput(input);
      return true;
    } else {
      ok = readAtLength(input.fd, static_cast<std::size_t>(st.st_size), loaded.owned);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  loaded.data = loaded.owned.data();
  loaded.size = loaded.owned.size();
  closeInput(input);
  return ok;
}

CreateResult createOutput(const std::string& name, const FileIdentity& input, OutputFile& output) {
  output.name = name;
  struct stat st {};
  if (stat(name.c_str(), &st) == 0 && sameFile(identityOf(st), input)) return CreateResult::isInput;

  output.fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (output.fd >= 0) {
    output.removable = true;
    return CreateResult::created;
  }
  if (errno != EEXIST) return CreateResult::failed;

  // It exists: open it without truncating, and truncate only once it is
  // known not to be the input.
  output.fd = open(name.c_str(), O_WRONLY);
  if (output.fd < 0) return CreateResult::failed;
  if (fstat(output.fd, &st) != 0) {
    discardOutput(output);
    return CreateResult::failed;
  }
  if (sameFile(identityOf(st), input)) {
    discardOutput(output);
    return CreateResult::isInput;
  }
  if (S_ISREG(st.st_mode)) {
    if (ftruncate(output.fd, 0) != 0) {
      discardOutput(output);
      return CreateResult::failed;
    }
    output.removable = true;
  }
  return CreateResult::created;
}

bool writeOutput(OutputFile& output, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  bool ok = true;
  while (done < bytes.size()) {
    const ssize_t put = write(output.fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  const int fd = output.fd;
  output.fd = -1;
  if (close(fd) != 0) ok = false;
  if (!ok) discardOutput(output);
  return ok;
}

void discardOutput(OutputFile& output) {
  if (output.fd >= 0) close(output.fd);
  output.fd = -1;
  if (output.removable) unlink(output.name.c_str());
  output.removable = false;
}

void waitForKey() {
  if (!isatty(STDIN_FILENO)) return;
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  unsigned char key = 0;
  while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

bool stderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

}  // namespace korvane
