#include "app/report_rows.h"

#include <array>
#include <cstdio>
#include <string_view>
#include <vector>

namespace korvane {
namespace {

constexpr std::array<const char*, 14> kKeys = {
    "input",  "output",          "format",      "samples",    "sample_rate",
    "bytes",  "bits_per_sample", "snr_db",      "noise_dbfs", "seg_snr_db",
    "status", "trimmed_start",   "trimmed_end", "chosen"};

// Whether column i is written: the plain eleven always, the others where asked.
bool shown(std::size_t i, RowColumns columns) {
  return i < 11 || (i < 13 ? columns.trimmed : columns.chosen);
}

// A JSON string: quotes, backslashes and control characters escaped.
std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + '"';
}

// A figure: two decimals; in CSV "inf", "-inf" or empty where there is
// none, in JSON null for all three.
std::string figure(double value, ReportForm form) {
  if (std::isnan(value) || (form == ReportForm::json && !std::isfinite(value))) {
    return form == ReportForm::json ? "null" : "";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

std::string count(const std::optional<std::uint64_t>& value, ReportForm form) {
  if (!value) return form == ReportForm::json ? "null" : "";
  return std::to_string(*value);
}

}  // namespace

std::string csvField(const std::string& text) {
  // A cell a spreadsheet would run as a formula is kept as text: a ' first.
  const bool formula =
      !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos;
  if (!formula && text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = formula ? "\"'" : "\"";
  for (const char ch : text) {
    if (ch == '"') quoted += '"';
    quoted += ch;
  }
  return quoted + '"';
}

void printRowsHeader(Console& console, ReportForm form, RowColumns columns) {
  if (form != ReportForm::csv || console.rows != nullptr) return;
  std::string line;
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    if (shown(i, columns)) line += std::string(line.empty() ? "" : ",") + kKeys[i];
  }
  say(console, Stream::out, "%s\n", line.c_str());
}

void printRow(Console& console, ReportForm form, const ReportRow& row, RowColumns columns) {
  if (console.rows != nullptr) {
    console.rows->push_back(row);
    return;
  }
  const bool json = form == ReportForm::json;
  const auto text = [&](const std::string& value) {
    return json ? jsonString(value) : csvField(value);
  };
  const std::array<std::string, kKeys.size()> values = {
      text(row.input),
      text(row.output),
      row.format.empty() && json ? "null" : text(row.format),
      count(row.samples, form),
      count(row.sampleRate, form),
      count(row.bytes, form),
      count(row.bitsPerSample, form),
      figure(row.snrDb, form),
      figure(row.noiseDbfs, form),
      figure(row.segmentalSnrDb, form),
      text(row.status),
      count(row.trimmedStart, form),
      count(row.trimmedEnd, form),
      text(row.chosen)};
  std::string line = json ? "{" : "";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!shown(i, columns)) continue;
    if (i > 0) line += ',';
    if (json) line += jsonString(kKeys[i]) + ':';
    line += values[i];
  }
  say(console, Stream::out, "%s%s\n", line.c_str(), json ? "}" : "");
}

void printReportLine(Console& console, const ReportRow& row) {
  const auto samples = static_cast<unsigned>(row.samples.value_or(0));
  const auto rate = static_cast<unsigned>(row.sampleRate.value_or(0));
  if (row.played) {
    const double seconds = rate == 0 ? 0.0 : static_cast<double>(samples) / rate;
    say(console, Stream::out, "%s -> %s : %s, %u samples, %u Hz, %.3f s\n", row.input.c_str(),
        row.output.c_str(), row.format.c_str(), samples, rate, seconds);
    return;
  }
  say(console, Stream::out, "%s -> %s : %u samples, %u Hz, %llu bytes, %u bits per sample, ",
      row.input.c_str(), row.output.c_str(), samples, rate,
      static_cast<unsigned long long>(row.bytes.value_or(0)),
      static_cast<unsigned>(row.bitsPerSample.value_or(0)));
  if (std::isnan(row.snrDb)) {
    say(console, Stream::out, "SNR not measured\n");
  } else {
    say(console, Stream::out, "SNR %.2f dB, noise %.2f dBFS\n", row.snrDb, row.noiseDbfs);
  }
}

}  // namespace korvane
