// The operating system's calls the input and output rules are written with
// (inputs.cpp, outputs.cpp): one implementation per platform (posix.cpp, windows.cpp),
// which hold the calls and nothing of the rules. Names are UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/platform.h"

namespace korvane::os {

inline constexpr std::intptr_t kNoHandle = -1;

// What a name leads to now, through any links.
struct NameFacts {
  bool exists = false;
  bool failed = false;      // it could not be looked at (not for a name that does not exist)
  bool regular = false;     // a file on disk, not a device, pipe or folder
  FileIdentity identity;    // of the file it leads to
  std::string target;       // the file it ends at, links resolved
  std::uint32_t mode = 0;   // permission bits, where the platform has them
  std::uint32_t owner = 0;  // and the owner
  std::uint32_t group = 0;
};

[[nodiscard]] NameFacts lookAt(const std::string& name);

// The length of an open file on disk; false for anything else (a pipe, a
// FIFO, a device, a folder).
[[nodiscard]] bool inputLength(std::intptr_t handle, std::uint64_t& length);

// Reads what is there, up to out.size() bytes, waiting for at least one:
// the count, 0 at the end, -1 on an error.
[[nodiscard]] long long readSome(std::intptr_t handle, std::span<std::uint8_t> out);

// Fills out from offset on, leaving the file's position alone; several
// threads may read at once. False where the file ends first or a read fails.
[[nodiscard]] bool readAt(std::intptr_t handle, std::uint64_t offset, std::span<std::uint8_t> out);

// A new file for reading and writing in the folder for temporary files,
// removed once closed, whatever ends the program; kNoHandle when none can be made.
[[nodiscard]] std::intptr_t makeScratch();

// Whether a file of this name can be made in its folder (its last part is
// not too long).
[[nodiscard]] bool nameFits(const std::string& path);

// The first bytes of a file; false when it has fewer or cannot be read.
[[nodiscard]] bool readStart(const std::string& name, std::span<std::uint8_t> start);

// A handle of its own on standard output.
[[nodiscard]] std::intptr_t standardOutput();

// An existing file opened for writing, unchanged; kNoHandle when it cannot be.
[[nodiscard]] std::intptr_t openToWrite(const std::string& name);

[[nodiscard]] FileIdentity identityOf(std::intptr_t handle);

enum class Made : std::uint8_t { made, exists, failed };

// A new file, only where no file of that name exists; it takes the
// permission bits (and where it may, the owner) of like.
[[nodiscard]] Made makeNew(const std::string& path, const NameFacts* like, std::intptr_t& handle);

[[nodiscard]] bool writeAll(std::intptr_t handle, std::span<const std::uint8_t> bytes);

// Writes bytes at offset, leaving the file's position alone; several threads
// may write at once.
[[nodiscard]] bool writeAt(std::intptr_t handle, std::uint64_t offset,
                           std::span<const std::uint8_t> bytes);

// Makes the file length bytes long, cutting or extending it.
[[nodiscard]] bool setLength(std::intptr_t handle, std::uint64_t length);

// Gives the file the space for bytes from..to (past its end), so that
// writing them later cannot fail for want of room or the file size limit.
[[nodiscard]] bool reserve(std::intptr_t handle, std::uint64_t from, std::uint64_t to);

// Waits for, then holds until the handle is closed, the only lock on the
// whole file among the programs that ask for one.
[[nodiscard]] bool lockWhole(std::intptr_t handle);

[[nodiscard]] bool close(std::intptr_t handle);

// Moves from over to, replacing what is there.
[[nodiscard]] bool replace(const std::string& from, const std::string& to);

void remove(const std::string& path);

// Where the folder of a path ends ('/' and, on Windows, '\' separate).
[[nodiscard]] std::size_t folderLength(const std::string& path);

// The longest file name the file system takes.
[[nodiscard]] std::size_t longestName();

// This process's number, for the names of new files.
[[nodiscard]] unsigned long processNumber();

// Removes a file from an interrupt handler: allocates nothing.
void removeNow(const char* path);

// For an interrupt handler: a moment's wait, allocating nothing.
void pauseNow();

// While held, interrupts are not handled on this thread (where they would
// otherwise run on it); holds nest not.
void holdInterrupts(bool hold);

}  // namespace korvane::os

namespace korvane {

// For the interrupt handlers: removes the new file of every unfinished
// output (outputs.cpp), through os::removeNow.
void removeUnfinishedOutputs();

}  // namespace korvane
