#include "platform/os.h"
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

FileIdentity identityOfStat(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), true};
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
  if (fstat(fdOf(input.handle), &st) == 0) input.identity = identityOfStat(st);
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

bool fillFromFile(const void* context, std::uint64_t offset, std::span<std::uint8_t> out) {
  const auto& bytes = *static_cast<const InputBytes*>(context);
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = pread(fdOf(bytes.file.handle), out.data() + done, out.size() - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const_cast<InputBytes&>(bytes).failed.store(true);
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

bool readInput(InputFile& input, InputBytes& bytes) {
  struct stat st {};
  if (fstat(fdOf(input.handle), &st) == 0 && S_ISREG(st.st_mode)) {
    bytes.file = input;
    input = InputFile{};
    bytes.source = {nullptr, static_cast<std::uint64_t>(st.st_size), &bytes, fillFromFile};
    return true;
  }
  if (!loadInput(input, bytes.loaded)) return false;
  bytes.source = memorySource(bytes.loaded.bytes());
  return true;
}

InputBytes::~InputBytes() {
  closeInput(file);
}

namespace {

extern "C" void removePartialsAndDie(int signal) {
  removeUnfinishedOutputs();
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

}  // namespace

namespace os {

NameFacts lookAt(const std::string& name) {
  NameFacts facts;
  facts.target = resolveLinks(name);
  struct stat st {};
  if (stat(name.c_str(), &st) != 0) return facts;
  facts.exists = true;
  facts.regular = S_ISREG(st.st_mode);
  facts.identity = identityOfStat(st);
  facts.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  facts.owner = static_cast<std::uint32_t>(st.st_uid);
  facts.group = static_cast<std::uint32_t>(st.st_gid);
  return facts;
}

bool nameFits(const std::string& path) {
  return path.size() - folderLength(path) <= NAME_MAX;
}

bool readStart(const std::string& name, std::span<std::uint8_t> start) {
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool read =
      readFully(fd, start.data(), start.size()) == static_cast<long long>(start.size());
  ::close(fd);
  return read;
}

std::intptr_t openToWrite(const std::string& name) {
  return open(name.c_str(), O_WRONLY | O_CLOEXEC);
}

FileIdentity identityOf(std::intptr_t handle) {
  struct stat st {};
  return fstat(fdOf(handle), &st) == 0 ? identityOfStat(st) : FileIdentity{};
}

Made makeNew(const std::string& path, const NameFacts* like, std::intptr_t& handle) {
  handle = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (handle < 0) return errno == EEXIST ? Made::exists : Made::failed;
  if (like != nullptr) {
    if (fchmod(fdOf(handle), static_cast<mode_t>(like->mode)) != 0) {
      // the new file keeps the usual bits
    }
    if (geteuid() == 0 && fchown(fdOf(handle), like->owner, like->group) != 0) {
      // nor can every file system take an owner
    }
  }
  return Made::made;
}

bool writeAll(std::intptr_t handle, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fdOf(handle), bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool writeAt(std::intptr_t handle, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = pwrite(fdOf(handle), bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool truncate(std::intptr_t handle) {
  return ftruncate(fdOf(handle), 0) == 0 && lseek(fdOf(handle), 0, SEEK_SET) == 0;
}

bool close(std::intptr_t handle) {
  return ::close(fdOf(handle)) == 0;
}

bool replace(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void remove(const std::string& path) {
  unlink(path.c_str());
}

std::size_t folderLength(const std::string& path) {
  return folderOf(path).size();
}

std::size_t longestName() {
  return NAME_MAX;
}

unsigned long processNumber() {
  return static_cast<unsigned long>(getpid());
}

void removeNow(const char* path) {
  unlink(path);
}

}  // namespace os

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
