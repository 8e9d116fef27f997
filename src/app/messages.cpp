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

Failure failureOf(WaveError error) {
  switch (error) {
    case WaveError::notRiff:
      return Failure::notRiff;
    case WaveError::notWave:
      return Failure::notWave;
    case WaveError::notPcm:
      return Failure::notPcm;
    case WaveError::notMono:
      return Failure::notMono;
    case WaveError::bitsNotSupported:
      return Failure::bitsNotSupported;
    case WaveError::noDataChunk:
      return Failure::noDataChunk;
    case WaveError::noSamples:
    case WaveError::none:
      break;
  }
  return Failure::noSamples;
}

Failure failureOf(DecodeError error) {
  switch (error) {
    case DecodeError::notDeviceFile:
      return Failure::notDeviceFile;
    case DecodeError::unknownFormat:
      return Failure::unknownFormat;
    case DecodeError::noSamples:
      return Failure::noSamples;
    case DecodeError::ambiguousLength:
      return Failure::ambiguousLength;
    case DecodeError::tooLong:
      return Failure::tooLong;
    case DecodeError::truncated:
    case DecodeError::none:
      break;
  }
  return Failure::truncated;
}

}  // namespace korvane
