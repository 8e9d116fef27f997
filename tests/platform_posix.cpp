// The POSIX side of the test support: child processes, a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support.h"

namespace korvane::test {

const Platform kPlatform = {
    .signals = true,
    .limits = true,
    .symlinks = true,
    .terminal = true,
    .devFull = true,
    .modesBindThisUser = geteuid() != 0,
    .expandsWildcards = false,
    .fifos = true,
    .nullDevice = "/dev/null",
    .unwritableFolder = geteuid() == 0 ? "/sys" : "",
};

const Signals kSignals = {SIGINT, SIGTERM, SIGHUP};

RunResult runProgram(const std::vector<std::string>& args, const RunOptions& options) {
  int outPipe[2];
  int errPipe[2];
  int inPipe[2] = {-1, -1};
  // Only the three standard streams reach the program.
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 ||
      (options.input != nullptr && pipe2(inPipe, O_CLOEXEC) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(options.input != nullptr ? inPipe[0] : null, STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    close(outPipe[0]);
    close(errPipe[0]);
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
    if (options.fileSizeLimit != 0) {
      const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.addressLimit != 0) {
      const rlimit limit{options.addressLimit, options.addressLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (options.processLimit != 0) {
      // Root is not held by the limit: the program runs as nobody, in a
      // folder the test has opened to all.
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
      const rlimit limit{options.processLimit, options.processLimit};
      setrlimit(RLIMIT_NPROC, &limit);
    }
    if (options.openFileLimit != 0) {
      // What the test runner left open must not count against the limit.
      for (int fd = 3; fd < 4096; ++fd)
        close(fd);
      const rlimit limit{options.openFileLimit, options.openFileLimit};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<char*> argv;
    std::string program = KORVANE_BINARY;
#ifdef KORVANE_EMULATOR
    std::string emulator = KORVANE_EMULATOR;
    argv.push_back(emulator.data());
#endif
    argv.push_back(program.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (options.closedOutput) {
    close(outPipe[0]);
    outPipe[0] = -1;
  }
  std::thread feeder;
  if (options.input != nullptr) {
    close(inPipe[0]);
    feeder = std::thread([fd = inPipe[1], &bytes = *options.input] {
      sigset_t pipeSignal;  // a reader that stops early fails the write, not the tests
      sigemptyset(&pipeSignal);
      sigaddset(&pipeSignal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
      for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      close(fd);
    });
  }
  RunResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = outPipe[0] < 0 ? 1 : 2;
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
  if (feeder.joinable()) feeder.join();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

TerminalRun runOnTerminal(bool leader) {
  TerminalRun run;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return run;
  const std::string slaveName = ptsname(master);
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    setsid();
    const int slave = open(slaveName.c_str(), O_RDWR);
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    // Not the leader: a child of the session's leader, as a command typed
    // into a shell is.
    if (!leader) {
      const pid_t program = fork();
      if (program > 0) {
        int status = 0;
        waitpid(program, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
      }
    }
#ifdef KORVANE_EMULATOR
    execl(KORVANE_EMULATOR, KORVANE_EMULATOR, KORVANE_BINARY, static_cast<char*>(nullptr));
#endif
    execl(KORVANE_BINARY, KORVANE_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait for the whole usage text, then for the program to sit in its key wait.
  while (run.shown.find("PCM8") == std::string::npos) {
    char buffer[512];
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;
    run.shown.append(buffer, static_cast<std::size_t>(got));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  int status = 0;
  pid_t done = waitpid(pid, &status, WNOHANG);
  run.waitedForKey = done == 0;
  // A key only for a program still waiting (one that ended would see it echoed).
  if (run.waitedForKey && write(master, "x", 1) != 1) run.waitedForKey = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (done == 0 && (done = waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) kill(pid, SIGKILL);
  run.endedAfterKey = done == pid;
  run.exitCode = done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // No echo: nothing but the usage text reached the terminal.
  fcntl(master, F_SETFL, O_NONBLOCK);
  char rest[64];
  const ssize_t extra = read(master, rest, sizeof rest);
  if (extra > 0) run.shown.append(rest, static_cast<std::size_t>(extra));
  close(master);
  run.supported = true;
  return run;
}

Fifo::Fifo(const std::filesystem::path& path, Bytes head, Bytes loop)
    : path_(path), feeding_(true), head_(std::move(head)), loop_(std::move(loop)) {
  if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
  thread_ = std::thread([this] {
    // A write to a pipe whose reader has gone fails here rather than
    // ending the test program.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    const int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    auto put = [fd](const Bytes& bytes) {
      for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
      }
      return true;
    };
    if (fd >= 0 && !stop_.load() && put(head_)) {
      while (!loop_.empty() && !stop_.load() && put(loop_)) {
      }
    }
    if (fd >= 0) close(fd);
    done_.store(true);  // the SIGPIPE pending on this thread goes with it
  });
}

Fifo::Fifo(const std::filesystem::path& path) : path_(path) {
  if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
  thread_ = std::thread([this] {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[1 << 16];
    ssize_t got = 0;
    while (fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0)
      drained_.insert(drained_.end(), buffer, buffer + got);
    if (fd >= 0) close(fd);
    done_.store(true);
  });
}

// A thread still waiting for the other end is let go: the end is opened
// and closed until the thread has finished.
void Fifo::finish() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  while (!done_.load()) {
    const int fd = open(path_.c_str(), (feeding_ ? O_RDONLY : O_WRONLY) | O_NONBLOCK | O_CLOEXEC);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (fd >= 0) close(fd);
  }
  thread_.join();
}

Fifo::~Fifo() {
  finish();
}

const Bytes& Fifo::drained() {
  finish();
  return drained_;
}

}  // namespace korvane::test
