// The command table: the seven switches, their derived extensions and formats.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "encoders/frame.h"

namespace korvane {

struct Command {
  const char* name;       // as it is compared, upper case
  const char* extension;  // of a derived output name
  Format format;
};

inline constexpr std::array<Command, 7> kCommands = {{
    {"-E4", ".AD4", Format::adpcm4},
    {"-E3", ".AD3", Format::adpcm3},
    {"-E2", ".AD2", Format::adpcm2},
    {"-E1", ".WFM", Format::wfm},
    {"-E16", ".PCM", Format::pcm16},
    {"-E12", ".PCM", Format::pcm12},
    {"-E8", ".PCM", Format::pcm8},
}};

// The command a switch names, compared without regard to case; null for none.
[[nodiscard]] const Command* findCommand(std::string_view switchName);

// The input name cut at the last dot of its last path component ('/' and '\'
// both separate components), with the extension appended.
[[nodiscard]] std::string deriveOutputName(std::string_view inputName, std::string_view extension);

}  // namespace korvane
