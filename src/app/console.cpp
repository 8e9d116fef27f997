#include "app/console.h"

#include "platform/platform.h"

namespace korvane {

void pauseForKey(Console& console) {
  std::fflush(console.out);
  ++console.keyWaits;
  if (console.keyWaitEnabled) waitForKey();
}

void printUsage(Console& console) {
  static constexpr const char* kUsage[] = {
      "KORVANE V2.0     DATE : 2006.9",
      "KORVANE -Command Input [Output]\n",
      "Command : -E4  Encode PCM -> ADPCM(4-BIT)\n",
      "          -E3  Encode PCM -> ADPCM(3-BIT)\n",
      "          -E2  Encode PCM -> ADPCM(2-BIT)\n",
      "          -E1  Encode PCM -> TORVEL WFM\n",
      "          -E16 Encode PCM -> PCM16\n",
      "          -E12 Encode PCM -> PCM12\n",
      "          -E8  Encode PCM -> PCM8\n",
  };
  for (const char* line : kUsage)
    std::fputs(line, console.out);
}

void printHelp(Console& console) {
  printUsage(console);
  std::fputs(
      "          -D   Decode ADPCM, WFM or PCM -> WAV (16-BIT)\n"
      "Options : --report     print size, rate and quality after the conversion\n"
      "          --search[=N] search the ADPCM and WFM codes, N from 0 (greedy) to 9, 5 by "
      "default\n"
      "          --help       print this text\n"
      "          --version    print the version\n"
      "          --           end of options\n",
      console.out);
}

void printVersion(Console& console) {
  std::fputs("korvane " KORVANE_VERSION "\n", console.out);
}

}  // namespace korvane
