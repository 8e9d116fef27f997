// The Windows side of the test support: child processes with their output
// read through pipes. No signals, file size limits, pseudo-terminals or
// /dev/full; symbolic links and permission bits are not what they are on
// POSIX (wine reports links made that it does not make).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "support.h"

namespace korvane::test {

const Platform kPlatform = {
    .signals = false,
    .limits = false,
    .symlinks = false,
    .terminal = false,
    .devFull = false,
    .modesBindThisUser = false,
    .expandsWildcards = true,
    .fifos = false,
    .nullDevice = "NUL",
    .unwritableFolder = "",
};

const Signals kSignals = {0, 0, 0};

namespace {

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

// One argument quoted as the C runtime splits a command line.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t slashes = 0;
  for (const wchar_t ch : arg) {
    if (ch == L'\\') {
      ++slashes;
      continue;
    }
    out.append(ch == L'"' ? 2 * slashes + 1 : slashes, L'\\');
    slashes = 0;
    out += ch;
  }
  out.append(2 * slashes, L'\\');
  return out + L"\"";
}

// The program as Windows names it: a build path of the host (/work/...)
// becomes a path of wine's drive Z:.
std::wstring programPath() {
  std::string path = KORVANE_BINARY;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& ch : path) {
    if (ch == '/') ch = '\\';
  }
  return wide(path);
}

void drain(HANDLE pipe, std::string& sink) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
    sink.append(buffer, got);
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& args, const RunOptions& options) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0) ||
      !CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    throw std::runtime_error("CreatePipe failed");
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  const HANDLE null = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, OPEN_EXISTING, 0, nullptr);
  HANDLE inRead = nullptr, inWrite = nullptr;
  if (options.input != nullptr) {
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = options.input != nullptr ? inRead : null;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  const std::wstring program = programPath();
  std::wstring line = quoted(program);
  for (const std::string& arg : args)
    line += L" " + quoted(wide(arg));
  const std::wstring folder = options.workDir.wstring();
  // Wine now and then fails to start a process (seen once in CI: the
  // program never ran); the start is tried again a few times, and the last
  // error is told if it never succeeds.
  PROCESS_INFORMATION process{};
  BOOL started = FALSE;
  DWORD error = 0;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200 * attempt));
    started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    if (!started) error = GetLastError();
  }
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  CloseHandle(null);
  std::thread feeder;
  if (options.input != nullptr) {
    CloseHandle(inRead);
    feeder = std::thread([inWrite, &bytes = *options.input] {
      for (std::size_t done = 0; done < bytes.size();) {
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD put = 0;
        if (!WriteFile(inWrite, bytes.data() + done, ask, &put, nullptr) || put == 0) break;
        done += put;
      }
      CloseHandle(inWrite);
    });
  }
  RunResult result;
  if (!started) {
    if (feeder.joinable()) feeder.join();
    CloseHandle(outRead);
    CloseHandle(errRead);
    throw std::runtime_error("CreateProcessW failed, error " + std::to_string(error));
  }
  std::thread errors(drain, errRead, std::ref(result.err));
  drain(outRead, result.out);
  errors.join();
  WaitForSingleObject(process.hProcess, INFINITE);
  if (feeder.joinable()) feeder.join();
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  result.exitCode = static_cast<int>(code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(outRead);
  CloseHandle(errRead);
  return result;
}

TerminalRun runOnTerminal(bool) {
  return {};
}

// No named pipes here: the tests that need them skip (kPlatform.fifos).
Fifo::Fifo(const std::filesystem::path& path, Bytes head, Bytes loop)
    : path_(path), feeding_(true), head_(std::move(head)), loop_(std::move(loop)) {}
Fifo::Fifo(const std::filesystem::path& path) : path_(path) {}
Fifo::~Fifo() = default;
void Fifo::finish() {}
const Bytes& Fifo::drained() {
  return drained_;
}

}  // namespace korvane::test
