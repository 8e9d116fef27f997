// --manifest=FILE.csv: the inputs of a call and what each sets, one row a
// prompt in the order of the rows. A header row names the columns, in any
// order: input (required; relative to the manifest's folder), name, format
// (a switch), gain and trim (dB, or empty).
#pragma once

#include <string>
#include <vector>

#include "app/options.h"

namespace korvane {

// The rows of a CSV text as RFC 4180 writes them (quoted fields, doubled
// quotes, CRLF or LF); blank lines skipped. Each row keeps its line number.
struct CsvRow {
  std::size_t line = 0;
  std::vector<std::string> fields;
};
[[nodiscard]] std::vector<CsvRow> parseCsvRows(const std::string& text);

// Reads the manifest named name (UTF-8 text) into inputs and settings; where
// it cannot, false with the message naming the file and line
// ("prompts.csv:12: unknown format E5").
[[nodiscard]] bool readManifest(const std::string& name, const std::string& text,
                                std::vector<std::string>& inputs,
                                std::vector<PromptSettings>& settings, std::string& message);

}  // namespace korvane
