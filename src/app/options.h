// Options: arguments beginning with "--", taken out before the switch, input
// and output are read, and allowed anywhere; "--" alone ends them. One table
// names them all: the parser accepts what it lists, and --help prints it.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "convert/prepare.h"
#include "search/search.h"

namespace korvane {

enum class OptionId : std::uint8_t {
  report,
  quiet,
  search,
  rate,
  gain,
  normalize,
  outDir,
  base,
  jobs,
  filesFrom,
  trim,
  pack,
  header,
  cArray,
  symbol,
  align,
  budget,
  snr,
  formats,
  manifest,
  review,
  help,
  version,
};

enum class OptionValue : std::uint8_t { none, optional, required };

struct OptionSpec {
  OptionId id;
  const char* name;  // "--report"
  OptionValue value;
  const char* form;  // how the value is written after the name, for the help
  const char* help;  // one line
};

inline constexpr std::array<OptionSpec, 23> kOptions = {{
    {OptionId::report, "--report", OptionValue::optional, "[=csv|json]",
     "size, rate, SNR; csv or json: a row an input"},
    {OptionId::quiet, "--quiet", OptionValue::none, "", "print nothing unless something fails"},
    {OptionId::search, "--search", OptionValue::optional, "[=N]",
     "search the codes, N 0 (greedy) to 9, 5 by default"},
    {OptionId::rate, "--rate", OptionValue::required, "=HZ",
     "read any WAV, mixed to mono and resampled to HZ"},
    {OptionId::gain, "--gain", OptionValue::required, "=DB", "change the level by DB decibels"},
    {OptionId::normalize, "--normalize", OptionValue::optional, "[=DBFS]",
     "bring the peak to DBFS, -1 by default"},
    {OptionId::outDir, "--out-dir", OptionValue::required, "=DIR",
     "convert every input after the switch into DIR"},
    {OptionId::base, "--base", OptionValue::required, "=DIR",
     "with --out-dir: keep the folders below DIR"},
    {OptionId::jobs, "--jobs", OptionValue::required, "=N",
     "conversions at once with --out-dir, one a core"},
    {OptionId::filesFrom, "--files-from", OptionValue::required, "=LIST",
     "the inputs named in LIST, one a line (-: stdin)"},
    {OptionId::trim, "--trim", OptionValue::optional, "[=DB]",
     "drop silence below DB dBFS at the ends (-45)"},
    {OptionId::pack, "--pack", OptionValue::required, "=IMAGE",
     "inputs in one image with an index (-P: made files)"},
    {OptionId::header, "--header", OptionValue::required, "=FILE.h",
     "with --pack: a C header of the prompts' numbers"},
    {OptionId::cArray, "--c-array", OptionValue::required, "=FILE.c",
     "with --pack: the image as a C array"},
    {OptionId::symbol, "--symbol", OptionValue::required, "=NAME",
     "prefix of the C names (the image's name)"},
    {OptionId::align, "--align", OptionValue::required, "=N",
     "each stream at a multiple of N, 1-65536 (4)"},
    {OptionId::budget, "--budget", OptionValue::required, "=SIZE",
     "-A: the best worst prompt in SIZE bytes (K, M)"},
    {OptionId::snr, "--snr", OptionValue::required, "=DB",
     "-A: each prompt's smallest format reaching DB"},
    {OptionId::formats, "--formats", OptionValue::required, "=LIST",
     "-A: the switches to choose from (E4,E3,E2,E1)"},
    {OptionId::manifest, "--manifest", OptionValue::required, "=FILE.csv",
     "the inputs, names, formats, gains and trims"},
    {OptionId::review, "--review", OptionValue::required, "=PAGE.html",
     "a page to hear and see every prompt, worst first"},
    {OptionId::help, "--help", OptionValue::none, "", "print this text"},
    {OptionId::version, "--version", OptionValue::none, "", "print the version"},
}};

enum class ReportForm : std::uint8_t { none, line, csv, json };

// What a manifest row sets for its prompt, beside the options of the call.
struct PromptSettings {
  std::string name;    // the identifier in the header; empty: from the path
  std::string format;  // a switch ("-E3") fixing the prompt's format; empty: the call's
  bool gainGiven = false;
  double gainDb = 0;
  bool trimGiven = false;
  double trimDb = -45;
};

struct Options {
  ReportForm report = ReportForm::none;
  bool quiet = false;
  std::string outDir;    // a batch when not empty
  std::string base;      // with outDir: inputs below it keep their path
  unsigned jobs = 0;     // conversions at once in a batch; 0: one per core
  bool prepare = false;  // --rate, --gain or --normalize: the tolerant reader and its steps
  Preparation preparation;
  bool help = false;
  bool version = false;
  int searchLevel = 0;                  // 0: the greedy encoder
  bool searchGiven = false;             // --search was given
  std::vector<std::string> lists;       // --files-from, in order
  std::string pack;                     // the image, when packing
  std::string header;                   // with pack: the C header
  std::string cArray;                   // with pack: the C source
  std::string symbol;                   // with pack: the C names' prefix
  std::uint32_t align = 4;              // with pack: of each stream
  std::string review;                   // the page of the run, where asked
  std::string manifest;                 // the inputs and their settings, from a CSV file
  std::vector<PromptSettings> prompts;  // from the manifest, one an input; empty without one
  bool trimColumns = false;     // rows carry the trim's columns (--trim, or a manifest row's trim)
  std::uint64_t budget = 0;     // -A: bytes for every output together; 0: none
  double snrDb = std::nan("");  // -A: the quality each prompt should reach; NaN: none
  std::vector<std::string> formats = {"-E4", "-E3", "-E2", "-E1"};  // -A: the switches
  std::string badValue;           // the first option whose value is not understood, if any
  std::string unknown;            // the first option not understood, if any
  std::vector<std::string> args;  // everything else, in order

  // A report in rows, for every input: messages then go to stderr.
  [[nodiscard]] bool reportRows() const {
    return report == ReportForm::csv || report == ReportForm::json;
  }
};

[[nodiscard]] Options parseOptions(std::span<const std::string> argv);

// The options of input i: the call's, with its manifest row's gain and trim.
[[nodiscard]] Options optionsFor(const Options& options, std::size_t i);

}  // namespace korvane
