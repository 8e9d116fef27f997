#include "app/review.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "app/messages.h"
#include "app/pack.h"
#include "convert/prepare.h"
#include "decoder/decoder.h"
#include "format/bytes.h"
#include "format/pack_image.h"
#include "platform/platform.h"
#include "wav/wave_writer.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

fs::path pathOf(const std::string& name) {
  return fs::path(std::u8string(name.begin(), name.end()));
}

std::string figureText(double value, const char* format) {
  if (!std::isfinite(value)) return "";
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// What the device plays of a stream, as a 16-bit WAV file; empty where it is none.
std::vector<std::uint8_t> decodedWave(std::span<const std::uint8_t> stream) {
  DecodeCursor cursor;
  if (openStream(memorySource(stream), cursor) != DecodeError::none) return {};
  std::vector<std::uint8_t> wave(
      static_cast<std::size_t>(decodedWaveLength(cursor.info.sampleCount)));
  const auto start = waveStart(cursor);
  std::copy(start.begin(), start.end(), wave.begin());
  std::size_t at = start.size();
  while (at < wave.size()) {
    const std::size_t n = nextWaveBytes(cursor, std::span(wave).subspan(at));
    if (n == 0) break;
    at += n;
  }
  return wave;
}

// The input as the encoder read it (after --rate, --gain, --trim), as a
// 16-bit WAV file; empty where it cannot be read.
std::vector<std::uint8_t> inputWave(const std::string& name, const Preparation& how) {
  std::vector<std::uint8_t> file;
  if (!readWholeFile(name, file)) return {};
  PreparedInput prepared;
  if (prepared.open(memorySource(file), how) != WaveError::none || prepared.tooLong()) return {};
  const ByteSource source = prepared.source();
  std::vector<std::uint8_t> wave(static_cast<std::size_t>(source.size));
  if (!readBytes(source, 0, wave)) return {};
  return wave;
}

std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t>& wave) {
  std::vector<std::int16_t> samples;
  for (std::size_t at = kWaveHeaderBytes; at + 1 < wave.size(); at += 2)
    samples.push_back(static_cast<std::int16_t>(loadLe16(&wave[at])));
  return samples;
}

// The input's waveform (its lowest and highest sample in each column) and,
// in red over it, the envelope of the error (its largest size in each).
std::string waveformSvg(const std::vector<std::int16_t>& in, const std::vector<std::int16_t>& out) {
  constexpr int kWidth = 240;
  constexpr int kHeight = 48;
  const std::size_t n = std::min(in.size(), out.size());
  std::string wave;
  std::string error;
  const auto y = [](double v) {
    return static_cast<int>(std::lround(kHeight / 2.0 - v * (kHeight / 2.0) / 32768.0));
  };
  for (int x = 0; x < kWidth && n > 0; ++x) {
    const std::size_t from = n * static_cast<std::size_t>(x) / kWidth;
    const std::size_t to = std::max(from + 1, n * static_cast<std::size_t>(x + 1) / kWidth);
    int low = 32767, high = -32768, worst = 0;
    for (std::size_t i = from; i < to && i < n; ++i) {
      low = std::min<int>(low, in[i]);
      high = std::max<int>(high, in[i]);
      worst = std::max(worst, std::abs(in[i] - out[i]));
    }
    // A vertical stroke a column: from the top value down to the bottom one.
    const auto stroke = [&](std::string& path, int top, int bottom) {
      path.append("M").append(std::to_string(x)).append(" ").append(std::to_string(y(top)));
      path.append("V").append(std::to_string(y(bottom) + 1));
    };
    stroke(wave, high, low);
    stroke(error, worst, -worst);
  }
  return "<svg width=\"" + std::to_string(kWidth) + "\" height=\"" + std::to_string(kHeight) +
         "\" viewBox=\"0 0 " + std::to_string(kWidth) + " " + std::to_string(kHeight) +
         "\"><path d=\"" + wave + "\" stroke=\"#345\" fill=\"none\"/><path d=\"" + error +
         "\" stroke=\"#d22\" stroke-opacity=\"0.7\" fill=\"none\"/></svg>";
}

bool writeFileAt(const fs::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Failed rows first, then those with no quality, then the lowest quality.
double sortKey(const ReportRow& row) {
  if (row.status != "ok") return -2e9;
  return std::isfinite(row.segmentalSnrDb) ? row.segmentalSnrDb : -1e9;
}

constexpr const char* kStyle =
    "body{font:14px system-ui,sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse}th,td{padding:4px 8px;border-bottom:1px solid #ddd;"
    "text-align:left;vertical-align:middle}th{cursor:pointer;background:#f4f4f4;position:sticky;"
    "top:0}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}tr.failed td{color:#b00}"
    "audio{height:28px;width:200px}#filter{margin:0.5em 0 1em;padding:4px;width:20em}"
    ".summary{margin:0.3em 0}";

constexpr const char* kScript =
    "window.onerror=function(){document.body.setAttribute('data-error','yes');};\n"
    "(function(){\n"
    "var t=document.getElementById('prompts'),b=t.tBodies[0],h=t.tHead.rows[0].cells;\n"
    "function sortBy(c,desc){var r=Array.prototype.slice.call(b.rows);\n"
    " r.sort(function(x,y){var "
    "a=x.cells[c].getAttribute('data-v'),d=y.cells[c].getAttribute('data-v');\n"
    "  var p=parseFloat(a),q=parseFloat(d);var s=(!isNaN(p)&&!isNaN(q))?p-q:a.localeCompare(d);\n"
    "  return desc?-s:s;});\n"
    " r.forEach(function(x){b.appendChild(x);});}\n"
    "for(var i=0;i<h.length;i++)(function(i){h[i].addEventListener('click',function(){\n"
    " var "
    "d=h[i].getAttribute('data-desc')!=='1';h[i].setAttribute('data-desc',d?'1':'0');sortBy(i,d);})"
    ";})(i);\n"
    "document.getElementById('filter').addEventListener('input',function(e){var "
    "q=e.target.value.toLowerCase();\n"
    " Array.prototype.forEach.call(b.rows,function(r){\n"
    "  r.style.display=r.getAttribute('data-name').toLowerCase().indexOf(q)>=0?'':'none';});});\n"
    "var m=/#sort=(\\d+)(-?)/.exec(location.hash);if(m)sortBy(+m[1],m[2]==='-');\n"
    "document.body.setAttribute('data-ready','yes');\n"
    "})();\n";

}  // namespace

std::string htmlEscaped(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += ch;
    }
  }
  return out;
}

void printKeptRows(Console& console, const Options& options, const std::vector<ReportRow>& rows) {
  for (const ReportRow& row : rows) {
    if (options.reportRows()) {
      printRow(console, options.report, row,
               {options.trimColumns, options.budget != 0 || !std::isnan(options.snrDb)});
    } else if (options.report == ReportForm::line && row.status == "ok" && row.format != "image") {
      printReportLine(console, row);
    }
  }
}

int writeReview(Console& console, const Options& options, const std::vector<ReportRow>& rows) {
  // The files beside the page: PAGE.files/ (the page's name, its extension cut).
  const fs::path page = pathOf(options.review);
  fs::path folder = page;
  folder.replace_extension(".files");
  std::error_code failed;
  fs::create_directories(folder, failed);
  if (failed) return reportFailure(console, Failure::cannotCreate, options.review);
  const std::u8string folderName = folder.filename().u8string();
  const std::string link(folderName.begin(), folderName.end());

  // A pack without single files: each stream is taken from the image.
  std::vector<std::uint8_t> image;
  std::vector<PackEntry> entries;
  if (!options.pack.empty() && readWholeFile(options.pack, image)) (void)readImage(image, entries);

  std::vector<const ReportRow*> order;
  for (const ReportRow& row : rows) {
    if (row.format != "image") order.push_back(&row);
  }
  std::map<const ReportRow*, std::size_t> number;
  for (std::size_t i = 0; i < order.size(); ++i)
    number[order[i]] = i;
  std::stable_sort(order.begin(), order.end(), [](const ReportRow* a, const ReportRow* b) {
    return sortKey(*a) < sortKey(*b);
  });

  std::uint64_t total = 0;
  std::map<std::string, std::uint64_t> byFormat;
  double lowest = INFINITY;
  std::size_t good = 0;
  std::string body;
  for (const ReportRow* row : order) {
    const std::size_t k = number[row];
    const bool ok = row->status == "ok";
    std::string players;
    std::string picture;
    if (ok) {
      ++good;
      total += row->bytes.value_or(0);
      byFormat[row->format] += row->bytes.value_or(0);
      if (std::isfinite(row->segmentalSnrDb)) lowest = std::min(lowest, row->segmentalSnrDb);
      std::vector<std::uint8_t> stream;
      if (k < entries.size() && row->output.rfind(options.pack + ":", 0) == 0) {
        stream.assign(image.begin() + entries[k].offset,
                      image.begin() + entries[k].offset + entries[k].length);
      } else {
        (void)readWholeFile(row->output, stream);
      }
      const std::vector<std::uint8_t> device = decodedWave(stream);
      const std::vector<std::uint8_t> input = inputWave(row->input, options.preparation);
      char stem[32];
      std::snprintf(stem, sizeof stem, "%04zu", k + 1);
      const bool written = writeFileAt(folder / (std::string(stem) + "-input.wav"), input) &&
                           writeFileAt(folder / (std::string(stem) + "-device.wav"), device);
      if (!written) return reportFailure(console, Failure::cannotWrite, options.review);
      const std::string src = htmlEscaped(link) + "/" + stem;
      players = "<audio controls preload=\"none\" src=\"" + src +
                "-input.wav\"></audio><br><audio controls preload=\"none\" src=\"" + src +
                "-device.wav\"></audio>";
      picture = waveformSvg(samplesOf(input), samplesOf(device));
    }
    const double seconds =
        row->sampleRate.value_or(0) == 0
            ? NAN
            : static_cast<double>(row->samples.value_or(0)) / static_cast<double>(*row->sampleRate);
    const std::string trimmed =
        row->trimmedStart ? std::to_string(*row->trimmedStart + row->trimmedEnd.value_or(0)) : "";
    const auto cell = [](const std::string& value, const std::string& shown, bool numeric) {
      return std::string("<td") + (numeric ? " class=\"n\"" : "") + " data-v=\"" +
             htmlEscaped(value) + "\">" + htmlEscaped(shown) + "</td>";
    };
    const std::string seg = figureText(row->segmentalSnrDb, "%.2f");
    body += std::string("<tr") + (ok ? "" : " class=\"failed\"") + " data-name=\"" +
            htmlEscaped(row->input) + "\">" + cell(row->input, row->input, false) +
            cell(row->format, row->format, false) +
            cell(ok ? std::to_string(row->bytes.value_or(0)) : "",
                 ok ? std::to_string(row->bytes.value_or(0)) : "", true) +
            cell(figureText(seconds, "%.3f"), figureText(seconds, "%.3f"), true) +
            cell(figureText(row->snrDb, "%.2f"), figureText(row->snrDb, "%.2f"), true) +
            cell(ok ? (seg.empty() ? "-1e9" : seg) : "-2e9", seg, true) +
            cell(figureText(row->noiseDbfs, "%.2f"), figureText(row->noiseDbfs, "%.2f"), true) +
            cell(trimmed, trimmed, true) + cell(row->status, row->status, false) + "<td>" +
            players + "</td><td>" + picture + "</td></tr>\n";
  }
  std::string formats;
  for (const auto& [name, bytes] : byFormat)
    formats += (formats.empty() ? "" : ", ") + htmlEscaped(name) + " " + std::to_string(bytes);
  std::string summary = "<p class=\"summary\">" + std::to_string(order.size()) + " prompts, " +
                        std::to_string(good) + " converted, " + std::to_string(total) + " bytes" +
                        (formats.empty() ? "" : " (" + formats + ")") + "</p>\n";
  if (options.budget != 0) {
    summary += "<p class=\"summary\">budget: " + std::to_string(total) + " of " +
               std::to_string(options.budget) + " bytes in the streams</p>\n";
  }
  summary += "<p class=\"summary\">lowest segmental SNR: " +
             (std::isfinite(lowest) ? figureText(lowest, "%.2f") + " dB" : std::string("none")) +
             "</p>\n";
  const std::string html =
      std::string("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">") +
      "<title>korvane review</title><style>" + kStyle + "</style></head>\n<body>\n" +
      "<h1>What the device will play</h1>\n" + summary +
      "<input id=\"filter\" type=\"search\" placeholder=\"filter names\">\n" +
      "<table id=\"prompts\"><thead><tr><th>name</th><th>format</th><th>bytes</th>"
      "<th>seconds</th><th>SNR dB</th><th>segmental SNR dB</th><th>noise dBFS</th>"
      "<th>trimmed</th><th>status</th><th>input / device</th><th>waveform, error in red</th>"
      "</tr></thead>\n<tbody>\n" +
      body + "</tbody></table>\n<script>\n" + kScript + "</script>\n</body></html>\n";
  OutputFile output;
  if (createOutput(options.review, FileIdentity{}, true, output) != CreateResult::created) {
    return reportFailure(console, Failure::cannotCreate, options.review);
  }
  const bool written = writeOutput(
      output, std::span(reinterpret_cast<const std::uint8_t*>(html.data()), html.size()));
  discardOutput(output);
  return written ? 0 : reportFailure(console, Failure::cannotWrite, options.review);
}

}  // namespace korvane
