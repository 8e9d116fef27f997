#include "app/run.h"

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

#include "app/batch.h"
#include "app/choose.h"
#include "app/commands.h"
#include "app/conversion.h"
#include "app/manifest.h"
#include "app/messages.h"
#include "app/options.h"
#include "app/pack.h"
#include "app/report_rows.h"
#include "app/review.h"
#include "platform/platform.h"

namespace korvane {
namespace {

// A list of names is a text file, not a recording: read no further than this.
constexpr std::uint64_t kLongestList = std::uint64_t{64} << 20;

// The names in a list file, one a line (UTF-8, LF or CRLF), blank lines
// skipped; "-" is standard input. False where it cannot be read.
// A text file of at most kLongestList bytes, whole.
bool readText(const std::string& name, std::string& text) {
  InputFile file;
  InputBytes bytes;
  if (!openInput(name, file) || readInput(file, bytes, [](const ByteSource&) {
                                  return ReadLimit{ReadLimit::Kind::upTo, kLongestList};
                                }) != InputRead::read) {
    return false;
  }
  text.assign(static_cast<std::size_t>(std::min(bytes.source.size, kLongestList)), '\0');
  return readBytes(bytes.source, 0,
                   std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
}

bool readList(const std::string& name, std::vector<std::string>& names) {
  InputFile file;
  InputBytes bytes;
  if (!openInput(name, file) || readInput(file, bytes, [](const ByteSource&) {
                                  return ReadLimit{ReadLimit::Kind::upTo, kLongestList};
                                }) != InputRead::read) {
    return false;
  }
  std::string text(static_cast<std::size_t>(std::min(bytes.source.size, kLongestList)), '\0');
  if (!readBytes(bytes.source, 0,
                 std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()))) {
    return false;
  }
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) names.push_back(line);
    at = end + 1;
  }
  return true;
}

// The inputs an argument names: the names in @LIST, the files a wildcard
// matches where the shell leaves that to the program (Windows), or itself.
bool expandInput(const std::string& arg, std::vector<std::string>& inputs, std::string& failed) {
  if (arg.size() > 1 && arg[0] == '@') {
    if (readList(arg.substr(1), inputs)) return true;
    failed = arg.substr(1);
    return false;
  }
  const std::vector<std::string> matches = matchingNames(arg);
  inputs.insert(inputs.end(), matches.begin(), matches.end());
  return true;
}

}  // namespace

int runKorvane(std::span<const std::string> argv, Console& console) {
  Options options = parseOptions(argv);
  if (options.help) {
    printHelp(console);
    return 0;
  }
  if (options.version) {
    printVersion(console);
    return 0;
  }
  if (!options.unknown.empty()) {
    return reportFailure(console, Failure::unknownOption, options.unknown);
  }
  if (!options.badValue.empty()) {
    return reportFailure(console, Failure::badOptionValue, options.badValue);
  }
  const bool packing = !options.pack.empty();
  // -A with a goal takes every argument after it as an input, as a batch does.
  const Command* first = options.args.empty() ? nullptr : findCommand(options.args[0]);
  const bool choosing = (options.budget != 0 || !std::isnan(options.snrDb)) && first != nullptr &&
                        first->action == Action::choose;
  const bool batch = !options.outDir.empty() || packing || choosing;
  // Rows keep stdout to themselves; messages then go to stderr.
  console.messagesToErr = options.reportRows();
  if (options.quiet) console.showProgress = false;
  if (batch) console.keyWaitEnabled = false;  // a batch runs unattended
  // A batch keeps its cores busy with inputs; one file shares its resampling,
  // on 16 threads at most, which keeps its memory within its bound.
  options.preparation.threads =
      batch ? 1 : std::clamp(std::thread::hardware_concurrency(), 1u, 16u);

  const std::vector<std::string>& args = options.args;
  const bool listed = !options.lists.empty() || !options.manifest.empty();
  if (args.size() < 2 && !(args.size() == 1 && (batch || listed))) {
    printUsage(console);
    pauseForKey(console);
    return 0;
  }
  const Command* command = findCommand(args[0]);
  // -P packs files already made, and only with --pack; a decode packs nothing.
  if (command == nullptr || (command->action == Action::pack && !packing) ||
      (command->action == Action::choose && !choosing)) {
    return reportFailure(console, Failure::unknownCommand, args[0]);
  }
  if (packing && command->action == Action::decode) {
    return reportFailure(console, Failure::badOptionValue, "--pack=" + options.pack);
  }

  // The inputs: every argument after the switch in a batch, the first alone
  // otherwise; then the names of the --files-from lists.
  std::vector<std::string> inputs;
  std::string failed;
  const std::size_t given = batch ? args.size() - 1 : std::min<std::size_t>(args.size() - 1, 1);
  for (std::size_t i = 1; i <= given; ++i) {
    if (!expandInput(args[i], inputs, failed)) {
      return reportFailure(console, Failure::cannotOpen, failed);
    }
  }
  for (const std::string& list : options.lists) {
    if (!readList(list, inputs)) return reportFailure(console, Failure::cannotOpen, list);
  }
  if (!options.manifest.empty()) {
    // Its rows after any named inputs; a bad row refuses the run before anything is written.
    std::string text;
    if (!readText(options.manifest, text)) {
      return reportFailure(console, Failure::cannotOpen, options.manifest);
    }
    options.prompts.assign(inputs.size(), PromptSettings{});
    std::string message;
    if (!readManifest(options.manifest, text, inputs, options.prompts, message)) {
      return reportFailure(console, Failure::badManifest, message);
    }
    for (const PromptSettings& row : options.prompts)
      options.trimColumns = options.trimColumns || row.trimGiven;
  }

  // With --review the rows of every input are kept for the page, and then
  // printed as asked.
  std::vector<ReportRow> kept;
  Options run = options;
  Console* to = &console;
  Console keeping = console;
  if (!options.review.empty()) {
    run.report = ReportForm::csv;
    keeping.rows = &kept;
    to = &keeping;
  }
  const auto finish = [&](int code) {
    if (options.review.empty()) return code;
    console.status = keeping.status;
    printRowsHeader(console, options.report,
                    {options.trimColumns, command->action == Action::choose});
    printKeptRows(console, options, kept);
    return std::max(code, writeReview(console, options, kept));
  };
  if (command->action == Action::choose) {
    if (inputs.empty()) return reportFailure(console, Failure::noInput, "");
    printRowsHeader(*to, run.report, {options.trimColumns, true});
    return finish(runChoose(*to, run, inputs));
  }
  if (packing) {
    if (inputs.empty()) return reportFailure(console, Failure::noInput, "");
    printRowsHeader(*to, run.report, {options.trimColumns});
    return finish(runPack(*to, *command, run, inputs));
  }
  if (batch) {
    if (inputs.empty()) return reportFailure(console, Failure::noInput, "");
    printRowsHeader(*to, run.report, {options.trimColumns});
    return finish(runBatch(*to, *command, run, inputs));  // stdout watched as it goes
  }
  if (inputs.size() != 1) {
    if (inputs.empty()) return reportFailure(console, Failure::noInput, "");
    return reportFailure(console, Failure::manyMatches,
                         args.size() > 1         ? args[1]
                         : options.lists.empty() ? options.manifest
                                                 : options.lists[0]);
  }
  const std::string& input = inputs[0];
  const bool named = args.size() >= 3;
  if (!named && input == "-") return reportFailure(console, Failure::unnamedOutput, input);
  const std::string outputName = named ? args[2] : outputNameFor(*command, input);
  // A stream written to standard output leaves it to the stream alone.
  if (outputName == "-") console.out = console.err;
  if (args.size() > 3 && !options.quiet) {
    std::string ignored;
    for (std::size_t i = 3; i < args.size(); ++i)
      ignored += " " + args[i];
    say(console, Stream::err,
        "korvane: ignored:%s (one input, one output; --out-dir=DIR converts many)\n",
        ignored.c_str());
  }
  printRowsHeader(*to, run.report, {options.trimColumns});
  const int code = finish(convertFile(*to, {*command, run, input, outputName, named}));
  // A report that could not be written is a failure, as an output would be.
  if (options.report != ReportForm::none && outputName != "-" && !outReached(console)) {
    console.messagesToErr = true;
    return std::max(code, reportFailure(console, Failure::cannotWrite, "standard output"));
  }
  return code;
}

}  // namespace korvane
