#include "platform/partials.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <new>

namespace korvane {
namespace {

// Pages are mapped in with the file, in one call rather than a fault each.
#ifdef MAP_POPULATE
constexpr int kPopulate = MAP_POPULATE;
#else
constexpr int kPopulate = 0;
#endif

int fdOf(std::intptr_t handle) {
  return static_cast<int>(handle);
}

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
  input.handle = open(name.c_str(), O_RDONLY);
  if (input.handle < 0) return false;
  struct stat st {};
  if (fstat(fdOf(input.handle), &st) == 0) input.identity = identityOf(st);
  return true;
}

void closeInput(InputFile& input) {
  if (input.handle >= 0) close(fdOf(input.handle));
  input.handle = -1;
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
    if (fstat(fdOf(input.handle), &st) != 0) {
      ok = false;
    } else if (!S_ISREG(st.st_mode)) {
      ok = readToEnd(fdOf(input.handle), loaded.owned);
    } else if (mapWhole(fdOf(input.handle), static_cast<std::size_t>(st.st_size), loaded)) {
      closeInput(input);
      return true;
    } else {
      ok = readAtLength(fdOf(input.handle), static_cast<std::size_t>(st.st_size), loaded.owned);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  loaded.data = loaded.owned.data();
  loaded.size = loaded.owned.size();
  closeInput(input);
  return ok;
}

namespace {

PartialFiles<char> gPartials;

extern "C" void removePartialsAndDie(int signal) {
  gPartials.removeAll([](const auto* path) { unlink(path); });
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a name ends at, through any chain of symbolic links; the name
// itself when it is no link (or a link that cannot be read).
std::string resolveLinks(const std::string& name) {
  std::string path = name;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> link(PATH_MAX);
    const ssize_t length = readlink(path.c_str(), link.data(), link.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) return path;
    const std::string to(link.data(), static_cast<std::size_t>(length));
    path = to[0] == '/' ? to : folderOf(path) + to;
  }
  return path;
}

bool nameTooLong(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return path.size() - (slash == std::string::npos ? 0 : slash + 1) > NAME_MAX;
}

bool beginsWithWave(const std::string& name) {
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::uint8_t start[12] = {};
  const bool read12 = readFully(fd, start, sizeof start) == 12;
  close(fd);
  return read12 && std::memcmp(start, "RIFF", 4) == 0 && std::memcmp(start + 8, "WAVE", 4) == 0;
}

// Makes the new file beside the target; it takes the permission bits (and,
// for root, the owner) of the file it will replace.
bool createPartial(OutputFile& output, const struct stat* replaced) {
  const std::string folder = folderOf(output.target);
  const std::string base = output.target.substr(folder.size());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string tag =
        ".korvane-" + std::to_string(getpid()) + "-" + std::to_string(gPartials.next()) + ".part";
    const std::string name =
        folder + (base.size() + tag.size() < NAME_MAX ? "." + base + tag : tag);
    output.handle = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (output.handle < 0 && errno == EEXIST) continue;
    if (output.handle < 0) return false;
    output.partial = name;
    output.partialSlot = gPartials.add(name);
    output.mode = OutputMode::replace;
    if (replaced != nullptr) {
      if (fchmod(fdOf(output.handle), replaced->st_mode & 07777) != 0) {
        // the new file keeps the usual bits
      }
      if (geteuid() == 0 && fchown(fdOf(output.handle), replaced->st_uid, replaced->st_gid) != 0) {
        // nor can every file system take an owner
      }
    }
    return true;
  }
  return false;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

CreateResult openDirect(const std::string& name, const FileIdentity& input, OutputFile& output) {
  output.handle = open(name.c_str(), O_WRONLY | O_CLOEXEC);
  if (output.handle < 0) return CreateResult::failed;
  struct stat st {};
  const bool known = fstat(fdOf(output.handle), &st) == 0;
  if (!known || sameFile(identityOf(st), input)) {
    discardOutput(output);
    return known ? CreateResult::isInput : CreateResult::failed;
  }
  output.mode = OutputMode::direct;
  return CreateResult::created;
}

}  // namespace

CreateResult createOutput(const std::string& name, const FileIdentity& input, bool refuseWave,
                          OutputFile& output) {
  output = OutputFile{};
  output.name = name;
  struct stat st {};
  const bool exists = stat(name.c_str(), &st) == 0;
  if (exists && sameFile(identityOf(st), input)) return CreateResult::isInput;
  if (exists && !S_ISREG(st.st_mode)) return openDirect(name, input, output);
  if (exists && refuseWave && beginsWithWave(name)) return CreateResult::isWave;
  output.target = resolveLinks(name);
  int writable = -1;  // an existing file is opened, not changed, to learn it may be written
  if (exists) {
    writable = open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (writable < 0) return CreateResult::failed;
  } else if (nameTooLong(output.target)) {
    return CreateResult::failed;
  }
  if (createPartial(output, exists ? &st : nullptr)) {
    if (writable >= 0) close(writable);
    return CreateResult::created;
  }
  if (writable < 0) return CreateResult::failed;
  output.handle = writable;
  output.mode = OutputMode::inPlace;
  return CreateResult::created;
}

namespace {

// Drops an output whose writing failed: a rewrite in place is removed.
void failOutput(OutputFile& output) {
  if (output.mode == OutputMode::inPlace) unlink(output.target.c_str());
  discardOutput(output);
}

}  // namespace

bool writeOutputPiece(OutputFile& output, std::span<const std::uint8_t> bytes) {
  bool ok = output.started || output.mode != OutputMode::inPlace ||
            ftruncate(fdOf(output.handle), 0) == 0;
  output.started = true;
  ok = ok && writeAll(fdOf(output.handle), bytes);
  if (!ok) failOutput(output);
  return ok;
}

bool finishOutput(OutputFile& output) {
  const int fd = fdOf(output.handle);
  output.handle = -1;
  bool ok = close(fd) == 0;
  if (ok && output.mode == OutputMode::replace) {
    ok = rename(output.partial.c_str(), output.target.c_str()) == 0;
    if (ok) {
      gPartials.release(output.partialSlot);
      output.partialSlot = -1;
      output.partial.clear();
    }
  }
  if (!ok) failOutput(output);
  return ok;
}

bool writeOutput(OutputFile& output, std::span<const std::uint8_t> bytes) {
  return writeOutputPiece(output, bytes) && finishOutput(output);
}

void discardOutput(OutputFile& output) {
  if (output.handle >= 0) close(fdOf(output.handle));
  output.handle = -1;
  if (!output.partial.empty()) {
    unlink(output.partial.c_str());
    gPartials.release(output.partialSlot);
    output.partialSlot = -1;
    output.partial.clear();
  }
}

void removePartialOutputsOnInterrupt() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    // A signal ignored from the start (nohup) stays ignored.
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = removePartialsAndDie;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
  // A write past the file size limit fails (and is reported, the new file
  // removed) instead of ending the program with the new file left behind.
  signal(SIGXFSZ, SIG_IGN);
}

std::vector<std::string> programArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
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
