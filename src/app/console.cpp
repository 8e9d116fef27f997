#include "app/console.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "app/options.h"
#include "platform/platform.h"

namespace korvane {

void say(Console& console, Stream stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::vector<char> text(static_cast<std::size_t>(length > 0 ? length : 0) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  const bool toErr = stream == Stream::err || (stream == Stream::messages && console.messagesToErr);
  std::string* kept = toErr ? console.errText : console.outText;
  if (kept != nullptr) {
    kept->append(text.data(), text.size() - 1);
  } else {
    std::fputs(text.data(), toErr ? console.err : console.out);
  }
}

bool outReached(Console& console) {
  return console.outText != nullptr || (std::fflush(console.out) == 0 && !std::ferror(console.out));
}

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
    say(console, Stream::out, "%s", line);
}

void printHelp(Console& console) {
  printUsage(console);
  say(console, Stream::out, "%s",
      "          -D   Decode ADPCM, WFM or PCM -> WAV (16-BIT)\n"
      "Input   : a WAV file, - for standard input, @LIST for the names in LIST\n"
      "Output  : a file, - for standard output; derived from the input when not named\n");
  // The options, from the table the parser reads.
  std::size_t width = 0;
  for (const OptionSpec& option : kOptions)
    width = std::max(width, std::strlen(option.name) + std::strlen(option.form));
  const char* lead = "Options : ";
  for (const OptionSpec& option : kOptions) {
    const std::string spelled = std::string(option.name) + option.form;
    say(console, Stream::out, "%s%-*s %s\n", lead, static_cast<int>(width), spelled.c_str(),
        option.help);
    lead = "          ";
  }
  say(console, Stream::out, "%s%-*s %s\n", lead, static_cast<int>(width), "--", "end of options");
}

void printVersion(Console& console) {
  say(console, Stream::out, "korvane " KORVANE_VERSION "\n");
}

}  // namespace korvane
