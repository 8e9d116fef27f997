#include "app/console.h"

#ifdef _WIN32
#include <conio.h>
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace korvane {

void pauseForKey(Console& console) {
  std::fflush(console.out);
  ++console.keyWaits;
  if (console.keyWaitEnabled) waitForKey();
}

#ifdef _WIN32
void waitForKey() {
  if (!_isatty(_fileno(stdin))) return;
  (void)_getch();
}
#else
void waitForKey() {
  if (!isatty(STDIN_FILENO)) return;
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  unsigned char key = 0;
  while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}
#endif

#ifdef _WIN32
bool stderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}
#else
bool stderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}
#endif

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
