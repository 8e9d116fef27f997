#include "app/messages.h"

namespace korvane {

static_assert(
    [] {
      for (std::size_t i = 0; i < kFailureTexts.size(); ++i) {
        if (static_cast<std::size_t>(kFailureTexts[i].failure) != i) return false;
      }
      return true;
    }(),
    "kFailureTexts is indexed by Failure");

// Indexed by WaveError; none is never reported.
constexpr std::array<Failure, 8> kWaveFailures = {
    Failure::noSamples, Failure::notRiff,          Failure::notWave,     Failure::notPcm,
    Failure::notMono,   Failure::bitsNotSupported, Failure::noDataChunk, Failure::noSamples,
};
static_assert(static_cast<std::size_t>(WaveError::noSamples) == kWaveFailures.size() - 1);

// Indexed by DecodeError; none is never reported.
constexpr std::array<Failure, 7> kDecodeFailures = {
    Failure::truncated, Failure::notDeviceFile,   Failure::unknownFormat, Failure::noSamples,
    Failure::truncated, Failure::ambiguousLength, Failure::tooLong,
};
static_assert(static_cast<std::size_t>(DecodeError::tooLong) == kDecodeFailures.size() - 1);

std::string statusOf(Failure failure) {
  std::string status = textOf(failure).format;
  for (const std::string cut : {"%s : ", " : %s", "%s"}) {
    if (const std::size_t at = status.find(cut); at != std::string::npos) {
      status.erase(at, cut.size());
      break;
    }
  }
  while (!status.empty() && status.back() == '\n')
    status.pop_back();
  return status;
}

int reportFailure(Console& console, Failure failure, const std::string& name, bool named) {
  const FailureText& text = textOf(failure);
  console.status = statusOf(failure);
  say(console, Stream::messages, text.format, name.c_str());
  if (failure == Failure::unknownCommand || failure == Failure::unknownOption ||
      failure == Failure::badOptionValue) {
    printUsage(console);
  }
  if (text.keyWait == KeyWait::always || (text.keyWait == KeyWait::whenNamed && named)) {
    pauseForKey(console);
  }
  std::fflush(console.out);
  return text.exitCode;
}

Failure failureOf(WaveError error) {
  return kWaveFailures[static_cast<std::size_t>(error)];
}

Failure failureOf(DecodeError error) {
  return kDecodeFailures[static_cast<std::size_t>(error)];
}

}  // namespace korvane
