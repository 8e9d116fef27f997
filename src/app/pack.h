// A prompt set packed for flash: every input encoded (or, with -P, every
// device file checked as -D checks it) and written as one image with an
// index, and where asked a C header of the prompts' numbers and a C source
// holding the image. The outputs of one call are written together, and none
// of them when any input fails.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/console.h"
#include "app/options.h"

namespace korvane {

// A C identifier of text: every character but A-Z, a-z and 0-9 made '_', a
// leading digit given a '_' before it; upper-cased where asked.
[[nodiscard]] std::string cIdentifier(const std::string& text, bool upper);

// The prompt's name in the header: its path as a batch mirrors it (relative
// to the current folder or below base, else the file name), without the
// extension, as an upper-case identifier.
[[nodiscard]] std::string promptIdentifier(const std::string& input, const std::string& base);

// The C header and the C source of an image.
[[nodiscard]] std::string packHeaderText(const std::string& symbol, std::size_t count,
                                         std::size_t imageLength, std::uint32_t crc,
                                         std::uint32_t align,
                                         std::span<const std::string> identifiers);
[[nodiscard]] std::string packSourceText(const std::string& symbol, const std::string& headerName,
                                         std::span<const std::uint8_t> image);

struct PackPrompt {
  std::string input;
  std::string identifier;  // its name in the header
  std::vector<std::uint8_t> stream;
  Format format = Format::pcm16;
};

// The prompts of the inputs, named (by the manifest, else by the path); a
// clash of names is refused (the exit code, else 0).
[[nodiscard]] int namePrompts(Console& console, std::span<const std::string> inputs,
                              const Options& options, std::vector<PackPrompt>& prompts);

// Writes the image of the prompts' streams and, where asked, its C files;
// returns the exit code.
[[nodiscard]] int writePack(Console& console, const Options& options,
                            const std::vector<PackPrompt>& prompts);

// A new folder under the folder for temporary files; empty where none can be made.
[[nodiscard]] std::string makeScratchFolder();

// The bytes of a file; false where it cannot be read.
[[nodiscard]] bool readWholeFile(const std::string& name, std::vector<std::uint8_t>& bytes);

// Packs the inputs into options.pack; returns the exit code.
[[nodiscard]] int runPack(Console& console, const Command& command, const Options& options,
                          std::span<const std::string> inputs);

}  // namespace korvane
