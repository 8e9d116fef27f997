#include "app/commands.h"

namespace korvane {

const Command* findCommand(std::string_view switchName) {
  std::string upper(switchName);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const Command& command : kCommands) {
    if (upper == command.name) return &command;
  }
  return nullptr;
}

std::string deriveOutputName(std::string_view inputName, std::string_view extension) {
  const std::size_t slash = inputName.find_last_of("/\\");
  const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  const std::size_t dot = inputName.find_last_of('.');
  std::string name(inputName);
  if (dot != std::string_view::npos && dot >= nameStart) name.resize(dot);
  name += extension;
  return name;
}

std::string outputNameFor(const Command& command, std::string_view inputName) {
  if (command.action == Action::decode) return std::string(inputName) + command.extension;
  return deriveOutputName(inputName, command.extension);
}

}  // namespace korvane
