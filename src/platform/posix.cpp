#include "platform/os.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace korvane {
namespace {

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
  input.handle =
      name == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0) : open(name.c_str(), O_RDONLY);
  if (input.handle < 0) return false;
  struct stat st {};
  if (fstat(fdOf(input.handle), &st) == 0) input.identity = identityOfStat(st);
  return true;
}

std::vector<std::string> matchingNames(const std::string& arg) {
  return {arg};  // the shell has expanded any wildcard
}

std::string nameKey(const std::string& name) {
  return name;  // names differ by case here
}

void closeInput(InputFile& input) {
  if (input.handle >= 0) close(fdOf(input.handle));
  input.handle = -1;
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

bool inputLength(std::intptr_t handle, std::uint64_t& length) {
  struct stat st {};
  if (fstat(fdOf(handle), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  length = static_cast<std::uint64_t>(st.st_size);
  return true;
}

long long readSome(std::intptr_t handle, std::span<std::uint8_t> out) {
  for (;;) {
    const ssize_t got = read(fdOf(handle), out.data(), out.size());
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool readAt(std::intptr_t handle, std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = pread(fdOf(handle), out.data() + done, out.size() - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

std::intptr_t makeScratch() {
  const char* folder = std::getenv("TMPDIR");
  const std::string in = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
#ifdef O_TMPFILE
  // A file with no name at all, where the file system makes one.
  const int unnamed = open(in.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (unnamed >= 0) return unnamed;
#endif
  std::string name = in + "/.korvane-XXXXXX";
  const int fd = mkstemp(name.data());
  if (fd < 0) return kNoHandle;
  unlink(name.c_str());  // gone with the last handle, whatever ends the program
  return fd;
}

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

std::intptr_t standardOutput() {
  return fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
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

bool setLength(std::intptr_t handle, std::uint64_t length) {
  return ftruncate(fdOf(handle), static_cast<off_t>(length)) == 0;
}

bool reserve(std::intptr_t handle, std::uint64_t from, std::uint64_t to) {
  // Allocated blocks, not a hole: writes into them need no more room.
  return to <= from || posix_fallocate(fdOf(handle), static_cast<off_t>(from),
                                       static_cast<off_t>(to - from)) == 0;
}

bool lockWhole(std::intptr_t handle) {
  for (;;) {
    if (flock(fdOf(handle), LOCK_EX) == 0) return true;
    if (errno != EINTR) return errno == ENOLCK || errno == EOPNOTSUPP;  // no locks there at all
  }
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

void pauseNow() {
  const timespec moment{0, 1000000};
  nanosleep(&moment, nullptr);
}

void holdInterrupts(bool hold) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&set, signal);
  pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
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
  // Likewise a write to a closed pipe (| head): a failure reported, not a silent end.
  signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> programArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void waitForKey() {
  const pid_t self = getpid();
  if (!isatty(STDIN_FILENO) || getsid(0) != self || tcgetsid(STDIN_FILENO) != self) return;
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
