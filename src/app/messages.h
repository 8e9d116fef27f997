// Every failure the program reports: its exact text, exit code and key wait.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/console.h"
#include "decoder/decoder.h"
#include "wav/wave_reader.h"

namespace korvane {

enum class Failure : std::uint8_t {
  cannotOpen,
  cannotCreate,
  outputIsInput,
  outputIsWave,
  sameOutput,
  cannotRead,
  cannotWrite,
  unknownCommand,
  unknownOption,
  badOptionValue,
  notRiff,
  notWave,
  notPcm,
  notMono,
  bitsNotSupported,
  noDataChunk,
  noSamples,
  rateNotSupported,
  notDeviceFile,
  unknownFormat,
  truncated,
  ambiguousLength,
  tooLong,
  noInput,
  unnamedOutput,
  manyMatches,
  notOwnDecode,
  sameName,
  budgetTooSmall,
  badManifest,
};

enum class KeyWait : std::uint8_t {
  never,
  always,
  whenNamed,  // only when the file name came from the command line
};

struct FailureText {
  Failure failure;
  const char* format;  // one %s: the file or switch named
  int exitCode;
  KeyWait keyWait;
};

// The texts are those the device family's tools have always printed, byte for
// byte ("creat" without its e included): scripts match them.
inline constexpr std::array<FailureText, 30> kFailureTexts = {{
    {Failure::cannotOpen, "Can not open File : %s !!\n", 1, KeyWait::always},
    {Failure::cannotCreate, "Can not creat File : %s !!\n", 2, KeyWait::whenNamed},
    {Failure::outputIsInput, "Output is the input File : %s !!\n", 2, KeyWait::whenNamed},
    {Failure::outputIsWave, "Output is a WAV File : %s !!\n", 2, KeyWait::whenNamed},
    {Failure::sameOutput, "Two Inputs write the same File : %s !!\n", 2, KeyWait::never},
    {Failure::cannotRead, "Can not read File : %s !!\n", 1, KeyWait::never},
    {Failure::cannotWrite, "Can not write File : %s !!\n", 2, KeyWait::never},
    {Failure::unknownCommand, "Unknown Command : %s !!\n", 1, KeyWait::always},
    {Failure::unknownOption, "Unknown Option : %s !!\n", 1, KeyWait::always},
    {Failure::badOptionValue, "Bad Option Value : %s !!\n", 1, KeyWait::always},
    {Failure::notRiff, "%s : is not RIFF format!\n", 1, KeyWait::never},
    {Failure::notWave, "%s : is not WAVE format!\n", 1, KeyWait::never},
    {Failure::notPcm, "%s : is not PCM format!\n", 1, KeyWait::never},
    {Failure::notMono, "%s : is not mono format!\n", 1, KeyWait::never},
    {Failure::bitsNotSupported, "%s : bits per sample not supported!\n", 1, KeyWait::never},
    {Failure::noDataChunk, "%s : has no data chunk!\n", 1, KeyWait::never},
    {Failure::noSamples, "%s : has no samples!\n", 1, KeyWait::never},
    {Failure::rateNotSupported, "%s : sample rate not supported!\n", 1, KeyWait::never},
    {Failure::notDeviceFile, "%s : is not a device file!\n", 1, KeyWait::never},
    {Failure::unknownFormat, "%s : has an unknown format code!\n", 1, KeyWait::never},
    {Failure::truncated, "%s : is truncated!\n", 1, KeyWait::never},
    {Failure::ambiguousLength, "%s : has a length that fits neither PCM12 nor PCM8!\n", 1,
     KeyWait::never},
    {Failure::tooLong, "%s : is too long for a WAV file!\n", 1, KeyWait::never},
    // Not in the family's tools: a batch with no inputs, standard input
    // with no output named, one input that names several files.
    {Failure::noInput, "No Input File !!%s\n", 1, KeyWait::never},
    {Failure::unnamedOutput, "%s : name the output file (the input has no name) !!\n", 1,
     KeyWait::never},
    {Failure::manyMatches, "%s : names several files; --out-dir=DIR converts them all !!\n", 1,
     KeyWait::never},
    // A decode to a derived name over a file that is not its own earlier decode.
    {Failure::notOwnDecode,
     "%s : exists and is not this file's decode; name the output to replace it !!\n", 2,
     KeyWait::never},
    // Two prompts of a pack whose names make one identifier.
    {Failure::sameName, "Two Inputs have the same Name : %s !!\n", 2, KeyWait::never},
    // -A with a budget less than the smallest choices take.
    {Failure::budgetTooSmall, "Budget too small : needs at least %s bytes !!\n", 2, KeyWait::never},
    // A manifest row that cannot be used: the file, the line and what is wrong.
    {Failure::badManifest, "%s\n", 1, KeyWait::never},
}};

[[nodiscard]] constexpr const FailureText& textOf(Failure failure) {
  return kFailureTexts[static_cast<std::size_t>(failure)];
}

// Prints the failure's message naming name, and the usage after a command
// line that is not understood; waits for a key where the failure calls for
// one (whenNamed: when named). Returns the exit code.
int reportFailure(Console& console, Failure failure, const std::string& name, bool named = true);

// A failure's message without its file name ("is not RIFF format!", "Can
// not open File !!"), for the rows of a report.
[[nodiscard]] std::string statusOf(Failure failure);

// The failure a rejected input is reported as (error must not be none).
[[nodiscard]] Failure failureOf(WaveError error);
[[nodiscard]] Failure failureOf(DecodeError error);

}  // namespace korvane
