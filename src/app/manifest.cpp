#include "app/manifest.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "app/commands.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

bool number(const std::string& text, double lo, double hi, double& value) {
  if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string::npos) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(value) && value >= lo && value <= hi;
}

}  // namespace

std::vector<CsvRow> parseCsvRows(const std::string& text) {
  std::vector<CsvRow> rows;
  CsvRow row{1, {}};
  std::string field;
  bool quoted = false;
  bool any = false;  // the row has something in it
  std::size_t line = 1;
  const auto endRow = [&] {
    if (any) {
      row.fields.push_back(field);
      rows.push_back(row);
    }
    row = {line, {}};
    field.clear();
    any = false;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (quoted) {
      if (ch == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (ch == '"') {
        quoted = false;
      } else {
        if (ch == '\n') ++line;
        field += ch;
      }
    } else if (ch == '"') {
      quoted = any = true;
    } else if (ch == ',') {
      row.fields.push_back(field);
      field.clear();
      any = true;
    } else if (ch == '\n' || ch == '\r') {
      if (ch == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      ++line;
      endRow();
    } else {
      field += ch;
      any = true;
    }
  }
  endRow();
  return rows;
}

bool readManifest(const std::string& name, const std::string& text,
                  std::vector<std::string>& inputs, std::vector<PromptSettings>& settings,
                  std::string& message) {
  const std::vector<CsvRow> rows = parseCsvRows(text);
  const auto fail = [&](std::size_t line, const std::string& what) {
    message = name + ":" + std::to_string(line) + ": " + what;
    return false;
  };
  if (rows.empty()) return fail(1, "no header row");
  std::map<std::string, std::size_t> column;
  for (std::size_t c = 0; c < rows[0].fields.size(); ++c) {
    const std::string& key = rows[0].fields[c];
    if (key != "input" && key != "name" && key != "format" && key != "gain" && key != "trim") {
      return fail(rows[0].line, "unknown column " + key);
    }
    column[key] = c;
  }
  if (!column.contains("input")) return fail(rows[0].line, "no input column");
  const std::u8string folderText =
      fs::path(std::u8string(name.begin(), name.end())).parent_path().u8string();
  const fs::path folder(folderText);
  for (std::size_t r = 1; r < rows.size(); ++r) {
    const CsvRow& row = rows[r];
    const auto field = [&](const char* key) {
      const auto at = column.find(key);
      return at == column.end() || at->second >= row.fields.size() ? std::string()
                                                                   : row.fields[at->second];
    };
    const std::string input = field("input");
    if (input.empty()) return fail(row.line, "no input");
    PromptSettings s;
    s.name = field("name");
    if (const std::string format = field("format"); !format.empty()) {
      const Command* command = findCommand(format[0] == '-' ? format : "-" + format);
      if (command == nullptr || command->action != Action::encode) {
        return fail(row.line, "unknown format " + format);
      }
      s.format = command->name;
    }
    if (const std::string gain = field("gain"); !gain.empty()) {
      if (!number(gain, -200, 200, s.gainDb)) return fail(row.line, "bad gain " + gain);
      s.gainGiven = true;
    }
    if (const std::string trim = field("trim"); !trim.empty()) {
      if (!number(trim, -96, 0, s.trimDb)) return fail(row.line, "bad trim " + trim);
      s.trimGiven = true;
    }
    const fs::path given(std::u8string(input.begin(), input.end()));
    const std::u8string path =
        (given.is_absolute() || folder.empty() ? given : folder / given).generic_u8string();
    inputs.emplace_back(path.begin(), path.end());
    settings.push_back(s);
  }
  return true;
}

}  // namespace korvane
