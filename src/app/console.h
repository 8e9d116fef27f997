// The console side of the front end: where messages go and the key wait.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvane {

struct ReportRow;

// Every message goes to standard output, as the device family's tools have
// always done; build scripts read them there. Only progress uses stderr.
// A CSV report keeps stdout for its rows and sends the messages to stderr.
struct Console {
  std::FILE* out = stdout;         // usage text, reports and every message
  std::FILE* err = stderr;         // progress, and messages beside a CSV report
  std::string* outText = nullptr;  // when set, text for out is kept here instead (a batch job)
  std::string* errText = nullptr;  // likewise for err
  bool messagesToErr = false;
  bool keyWaitEnabled = true;  // off where no one can press a key (in-process tests, batches)
  bool showProgress = false;   // progress of long searches on err, a terminal
  int keyWaits = 0;            // how many times the program paused
  std::string status;          // the last failure's message without its file name
  std::vector<ReportRow>* rows = nullptr;  // when set, report rows are kept here, not printed
};

enum class Stream : std::uint8_t { out, err, messages };

// printf to one of the console's streams.
void say(Console& console, Stream stream, const char* format, ...);

// Whether everything sent to out has reached it (flushed now): a closed
// pipe or a full disk says no.
[[nodiscard]] bool outReached(Console& console);

// Flushes the output and waits for one key press when a console is present.
void pauseForKey(Console& console);

// The nine usage strings; the first two share one console line.
void printUsage(Console& console);

// The usage strings, then the decoder and the options.
void printHelp(Console& console);

void printVersion(Console& console);

}  // namespace korvane
