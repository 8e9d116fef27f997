// The command table: the switches, their derived extensions and what they do.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "encoders/frame.h"

namespace korvane {

enum class Action : std::uint8_t { encode, decode };

struct Command {
  const char* name;       // as it is compared, upper case
  const char* extension;  // of a derived output name
  Action action;
  Format format;  // of an encode
};

// In the order they are compared; the seven encoders first.
inline constexpr std::array<Command, 8> kCommands = {{
    {"-E4", ".AD4", Action::encode, Format::adpcm4},
    {"-E3", ".AD3", Action::encode, Format::adpcm3},
    {"-E2", ".AD2", Action::encode, Format::adpcm2},
    {"-E1", ".WFM", Action::encode, Format::wfm},
    {"-E16", ".PCM", Action::encode, Format::pcm16},
    {"-E12", ".PCM", Action::encode, Format::pcm12},
    {"-E8", ".PCM", Action::encode, Format::pcm8},
    {"-D", ".wav", Action::decode, Format::pcm16},
}};

// The command a switch names, compared without regard to case; null for none.
[[nodiscard]] const Command* findCommand(std::string_view switchName);

// The input name cut at the last dot of its last path component ('/' and '\'
// both separate components), with the extension appended.
[[nodiscard]] std::string deriveOutputName(std::string_view inputName, std::string_view extension);

// The output name a command derives: an encode replaces the extension, a
// decode appends ".wav", so it never names the recording a file came from.
[[nodiscard]] std::string outputNameFor(const Command& command, std::string_view inputName);

}  // namespace korvane
