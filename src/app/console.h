// The console side of the front end: where messages go and the key wait.
#pragma once

#include <cstdio>

namespace korvane {

// Every message goes to standard output, as the device family's tools have
// always done; build scripts read them there. Only progress uses stderr.
struct Console {
  std::FILE* out = stdout;     // usage text and every message
  std::FILE* err = stderr;     // progress only
  bool keyWaitEnabled = true;  // off where no one can press a key (in-process tests)
  bool showProgress = false;   // progress of long searches on err, a terminal
  int keyWaits = 0;            // how many times the program paused
};

// Flushes the output and waits for one key press when a console is present.
void pauseForKey(Console& console);

// The nine usage strings; the first two share one console line.
void printUsage(Console& console);

// The usage strings, then the decoder and the options.
void printHelp(Console& console);

void printVersion(Console& console);

}  // namespace korvane
