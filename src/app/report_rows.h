// The rows of --report=csv and --report=json: one for every input, also
// those that failed, with the same keys in both forms.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "app/console.h"
#include "app/options.h"

namespace korvane {

struct ReportRow {
  std::string input;
  std::string output;
  std::string format;  // empty where it is not known
  std::optional<std::uint64_t> samples, sampleRate, bytes, bitsPerSample;
  double snrDb = std::nan("");  // NaN: not measured
  double noiseDbfs = std::nan("");
  double segmentalSnrDb = std::nan("");
  std::string status = "ok";  // or the failure's message without its file name
  std::optional<std::uint64_t> trimmedStart, trimmedEnd;  // samples dropped, with --trim
  std::string chosen;                                     // -A: the switch the prompt got
  bool played = false;                                    // a decode's row (-D)
};

// The columns beyond the plain ones.
struct RowColumns {
  bool trimmed = false;  // trimmed_start, trimmed_end
  bool chosen = false;   // chosen
};

// The first line of a CSV report, the names of its columns; nothing for JSON.
// The trim's two columns and -A's one follow the plain ones where asked.
void printRowsHeader(Console& console, ReportForm form, RowColumns columns = {});

// A CSV row, or a JSON object on one line.
void printRow(Console& console, ReportForm form, const ReportRow& row, RowColumns columns = {});

// The line plain --report prints for a row that succeeded.
void printReportLine(Console& console, const ReportRow& row);

// A field of a CSV row, quoted as RFC 4180 asks when it holds a comma, a
// quote or a line break.
[[nodiscard]] std::string csvField(const std::string& text);

}  // namespace korvane
