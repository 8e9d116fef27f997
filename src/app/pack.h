// A prompt set packed for flash: every input encoded (or, with -P, every
// device file checked as -D checks it) and written as one image with an
// index, and where asked a C header of the prompts' numbers and a C source
// holding the image. The outputs of one call are written together, and none
// of them when any input fails.
#pragma once

#include <span>
#include <string>

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

// Packs the inputs into options.pack; returns the exit code.
[[nodiscard]] int runPack(Console& console, const Command& command, const Options& options,
                          std::span<const std::string> inputs);

}  // namespace korvane
