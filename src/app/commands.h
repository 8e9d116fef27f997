// The command table: the switches, their derived extensions and what they do.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "format/stream.h"

namespace korvane {

enum class Action : std::uint8_t { encode, decode, pack, choose };

struct Command {
  const char* name = nullptr;       // as it is compared, upper case
  const char* extension = nullptr;  // of a derived output name
  Action action = Action::encode;
  Format format = Format::pcm16;  // of an encode
};

// In the order they are compared: an encoder for each format, in the order of
// the format table, then the player, the packer of files already made, and
// the encoder that chooses each prompt's format.
inline constexpr auto kCommands = [] {
  std::array<Command, kFormatCount + 3> commands{};
  for (std::size_t i = 0; i < kFormatCount; ++i) {
    commands[i] = {kFormats[i].switchName, kFormats[i].extension, Action::encode,
                   static_cast<Format>(i)};
  }
  commands[kFormatCount] = {"-D", ".wav", Action::decode, Format::pcm16};
  commands[kFormatCount + 1] = {"-P", "", Action::pack, Format::pcm16};
  commands[kFormatCount + 2] = {"-A", "", Action::choose, Format::pcm16};
  return commands;
}();

// The command a switch names, compared without regard to case; null for none.
[[nodiscard]] const Command* findCommand(std::string_view switchName);

// The input name cut at the last dot of its last path component ('/' and '\'
// both separate components), with the extension appended.
[[nodiscard]] std::string deriveOutputName(std::string_view inputName, std::string_view extension);

// The output name a command derives: an encode replaces the extension, a
// decode appends ".wav", so it never names the recording a file came from.
[[nodiscard]] std::string outputNameFor(const Command& command, std::string_view inputName);

}  // namespace korvane
