// A whole device stream from an accepted wave: header, seed and payload, the
// payload from the format's greedy coder or, when asked, from its search.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/sink.h"
#include "format/stream.h"
#include "search/search.h"
#include "wav/wave_reader.h"

namespace korvane {

// Whether searchLevel changes how format is coded: a level from 1 up, and a
// format that has a search (ADPCM and WFM; PCM has no choice to make).
[[nodiscard]] bool isSearched(Format format, int searchLevel);

// Builds the whole stream for an accepted, unread wave (sampleCount >= 1)
// and hands it to sink a piece at a time: streamLength(format,
// wave.sampleCount) bytes, every one of them written (some more than once),
// from up to `threads` threads (the bytes are the same for any count).
// progress, when given, counts the samples a search has coded. False where
// the sink failed the header; a later failure the sink itself remembers.
bool encodeStreamTo(Format format, WaveInfo wave, const ByteSink& sink, int searchLevel = 0,
                    EncodeProgress* progress = nullptr, unsigned threads = 1);

// The same into stream, which must be streamLength(format, wave.sampleCount) bytes.
void encodeStreamInto(Format format, WaveInfo wave, std::span<std::uint8_t> stream,
                      int searchLevel = 0, EncodeProgress* progress = nullptr,
                      unsigned threads = 1);

// The same, into a buffer of its own.
[[nodiscard]] std::vector<std::uint8_t> encodeStream(Format format, WaveInfo wave,
                                                     int searchLevel = 0,
                                                     EncodeProgress* progress = nullptr);

}  // namespace korvane
