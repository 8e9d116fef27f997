// The Windows side of platform.h. Names are UTF-8 inside the program and
// wide at every call of the system; a file's identity is its volume serial
// number and file index; the output rules are those of the POSIX side, with
// MoveFileExW for the replacement and a console control handler for Ctrl-C,
// Ctrl-Break and a closed console window.
#include <windows.h>
// After windows.h, which they need.
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/os.h"
#include "platform/platform.h"

namespace korvane {
namespace {

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t valueOf(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  }
  return out;
}

std::string narrow(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
  out.pop_back();  // the terminating zero
  return out;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

FileIdentity identityOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return {};
  return {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, true};
}

// Reads until count bytes arrived or the file ended; false on an error.
bool readFully(HANDLE file, std::uint8_t* to, std::size_t count, std::size_t& done) {
  done = 0;
  while (done < count) {
    const std::size_t left = count - done;
    const DWORD ask = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD got = 0;
    if (!ReadFile(file, to + done, ask, &got, nullptr)) {
      return GetLastError() == ERROR_BROKEN_PIPE;  // a pipe whose writer is gone has ended
    }
    if (got == 0) break;
    done += got;
  }
  return true;
}

BOOL WINAPI removePartials(DWORD) {
  removeUnfinishedOutputs();
  return FALSE;  // and let the default handler end the program
}

// The file a name ends at, through links: the final path of the open file.
std::wstring finalPath(HANDLE file, const std::wstring& name) {
  std::array<wchar_t, 32768> path{};  // the longest path Windows has
  const DWORD length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                                 FILE_NAME_NORMALIZED);
  if (length == 0 || length >= path.size()) return name;
  return std::wstring(path.data(), length);
}

}  // namespace

OutputBuffer::~OutputBuffer() = default;

void allocateOutput(std::size_t length, OutputBuffer& buffer) {
  buffer.owned.resize(length);
  buffer.bytes = buffer.owned;
}

bool openInput(const std::string& name, InputFile& input) {
  if (name == "-") {
    HANDLE own = INVALID_HANDLE_VALUE;
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, GetStdHandle(STD_INPUT_HANDLE), process, &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      return false;
    }
    input.handle = valueOf(own);
    return true;
  }
  // A folder opens too (and then cannot be read), as on POSIX.
  const HANDLE file = CreateFileW(wide(name).c_str(), GENERIC_READ, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  input.handle = valueOf(file);
  input.identity = identityOf(file);
  return true;
}

std::vector<std::string> matchingNames(const std::string& arg) {
  const std::size_t folder = os::folderLength(arg);
  if (arg.find_first_of("*?", folder) == std::string::npos) return {arg};
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(wide(arg).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {arg};
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      names.push_back(arg.substr(0, folder) + narrow(found.cFileName));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  if (names.empty()) return {arg};
  std::sort(names.begin(), names.end());
  return names;
}

std::string nameKey(const std::string& name) {
  std::wstring key = wide(name);
  for (wchar_t& ch : key) {
    if (ch == L'\\') ch = L'/';
  }
  // As NTFS compares: each letter in its upper case.
  if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  return narrow(key.c_str());
}

void closeInput(InputFile& input) {
  if (input.handle != -1) CloseHandle(handleOf(input.handle));
  input.handle = -1;
}

namespace os {

bool inputLength(std::intptr_t handle, std::uint64_t& length) {
  const HANDLE file = handleOf(handle);
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(file, &size) ||
      size.QuadPart < 0) {
    return false;
  }
  length = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

long long readSome(std::intptr_t handle, std::span<std::uint8_t> out) {
  const DWORD ask = out.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(out.size());
  DWORD got = 0;
  if (!ReadFile(handleOf(handle), out.data(), ask, &got, nullptr)) {
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;  // a pipe whose writer is gone has ended
  }
  return got;
}

// Positional reads: each names its offset, so threads may read at once.
bool readAt(std::intptr_t handle, std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t left = out.size() - done;
    const DWORD ask = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    OVERLAPPED at{};
    const std::uint64_t from = offset + done;
    at.Offset = static_cast<DWORD>(from);
    at.OffsetHigh = static_cast<DWORD>(from >> 32);
    DWORD got = 0;
    if (!ReadFile(handleOf(handle), out.data() + done, ask, &got, &at) || got == 0) return false;
    done += got;
  }
  return true;
}

std::intptr_t makeScratch() {
  std::array<wchar_t, MAX_PATH + 1> folder{};
  std::array<wchar_t, MAX_PATH + 1> name{};
  const DWORD length = GetTempPathW(static_cast<DWORD>(folder.size()), folder.data());
  if (length == 0 || length > folder.size() ||
      GetTempFileNameW(folder.data(), L"kor", 0, name.data()) == 0) {
    return kNoHandle;
  }
  const HANDLE file =
      CreateFileW(name.data(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DeleteFileW(name.data());
    return kNoHandle;
  }
  return valueOf(file);
}

NameFacts lookAt(const std::string& name) {
  NameFacts facts;
  const std::wstring wideName = wide(name);
  // Opened to be looked at only, whatever this user may do with it.
  const HANDLE look = CreateFileW(wideName.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (look == INVALID_HANDLE_VALUE) {
    facts.failed = GetLastError() != ERROR_FILE_NOT_FOUND;
    facts.target = name;
    return facts;
  }
  facts.exists = true;
  facts.identity = korvane::identityOf(look);
  facts.regular = GetFileType(look) == FILE_TYPE_DISK;
  facts.target = facts.regular ? narrow(finalPath(look, wideName).c_str()) : name;
  CloseHandle(look);
  return facts;
}

bool nameFits(const std::string& path) {
  return wide(path.substr(folderLength(path))).size() <= longestName();
}

bool readStart(const std::string& name, std::span<std::uint8_t> start) {
  const HANDLE file =
      CreateFileW(wide(name).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::size_t got = 0;
  const bool read = readFully(file, start.data(), start.size(), got) && got == start.size();
  CloseHandle(file);
  return read;
}

std::intptr_t standardOutput() {
  HANDLE own = INVALID_HANDLE_VALUE;
  const HANDLE process = GetCurrentProcess();
  if (!DuplicateHandle(process, GetStdHandle(STD_OUTPUT_HANDLE), process, &own, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return kNoHandle;
  }
  return valueOf(own);
}

std::intptr_t openToWrite(const std::string& name) {
  const HANDLE file = CreateFileW(wide(name).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? kNoHandle : valueOf(file);
}

FileIdentity identityOf(std::intptr_t handle) {
  return korvane::identityOf(handleOf(handle));
}

Made makeNew(const std::string& path, const NameFacts*, std::intptr_t& handle) {
  const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_EXISTS ? Made::exists : Made::failed;
  }
  handle = valueOf(file);
  return Made::made;
}

bool writeAll(std::intptr_t handle, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const DWORD ask = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD put = 0;
    if (!WriteFile(handleOf(handle), bytes.data() + done, ask, &put, nullptr) || put == 0) {
      return false;
    }
    done += put;
  }
  return true;
}

bool writeAt(std::intptr_t handle, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const DWORD ask = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    OVERLAPPED at{};
    const std::uint64_t to = offset + done;
    at.Offset = static_cast<DWORD>(to);
    at.OffsetHigh = static_cast<DWORD>(to >> 32);
    DWORD put = 0;
    if (!WriteFile(handleOf(handle), bytes.data() + done, ask, &put, &at) || put == 0) return false;
    done += put;
  }
  return true;
}

bool setLength(std::intptr_t handle, std::uint64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  return SetFileInformationByHandle(handleOf(handle), FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool reserve(std::intptr_t handle, std::uint64_t from, std::uint64_t to) {
  if (to <= from) return true;
  // Clusters allocated up to the new end: writes into them need no more room.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(to);
  return SetFileInformationByHandle(handleOf(handle), FileAllocationInfo, &allocation,
                                    sizeof allocation) != 0 &&
         setLength(handle, to);
}

bool lockWhole(std::intptr_t handle) {
  OVERLAPPED whole{};
  return LockFileEx(handleOf(handle), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

bool close(std::intptr_t handle) {
  return CloseHandle(handleOf(handle)) != 0;
}

bool replace(const std::string& from, const std::string& to) {
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void remove(const std::string& path) {
  DeleteFileW(wide(path).c_str());
}

std::size_t folderLength(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? 0 : slash + 1;
}

std::size_t longestName() {
  return 255;
}

unsigned long processNumber() {
  return GetCurrentProcessId();
}

void pauseNow() {
  Sleep(1);
}

void holdInterrupts(bool) {
  // The console's handler runs on a thread of its own, never on this one.
}

void removeNow(const char* path) {
  // The handler runs on a thread of its own, but allocates nothing all the same.
  static wchar_t name[32768];
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, name, 32768) > 0) DeleteFileW(name);
}

}  // namespace os

void removePartialOutputsOnInterrupt() {
  SetConsoleCtrlHandler(removePartials, TRUE);
}

std::vector<std::string> programArguments(int, char**) {
  SetConsoleOutputCP(CP_UTF8);
  // Messages are the same bytes as on every other platform: no CR before LF.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  int count = 0;
  wchar_t** wideArgs = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wideArgs != nullptr && i < count; ++i)
    args.push_back(narrow(wideArgs[i]));
  LocalFree(wideArgs);
  return args;
}

void waitForKey() {
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return;  // NUL or a pipe
  // A console shared with a shell or a build belongs to them.
  std::array<DWORD, 2> processes{};
  if (GetConsoleProcessList(processes.data(), static_cast<DWORD>(processes.size())) != 1) return;
  (void)_getch();
}

bool stderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace korvane
