#include "wav/wave_writer.h"

#include "format/bytes.h"

namespace korvane {
namespace {

std::uint8_t* putTag(std::uint8_t* out, const char (&tag)[5]) {
  for (int i = 0; i < 4; ++i)
    *out++ = static_cast<std::uint8_t>(tag[i]);
  return out;
}

}  // namespace

void storeWaveHeader(std::span<std::uint8_t, kWaveHeaderBytes> out, std::uint32_t sampleRate,
                     std::uint32_t sampleCount) {
  const std::uint32_t dataBytes = 2 * sampleCount;
  std::uint8_t* p = out.data();
  p = putTag(p, "RIFF");
  p = storeLe(p, 36 + dataBytes, 4);
  p = putTag(p, "WAVE");
  p = putTag(p, "fmt ");
  p = storeLe(p, 16, 4);
  p = storeLe(p, 1, 2);  // PCM
  p = storeLe(p, 1, 2);  // mono
  p = storeLe(p, sampleRate, 4);
  p = storeLe(p, 2 * sampleRate, 4);
  p = storeLe(p, 2, 2);   // block align
  p = storeLe(p, 16, 2);  // bits per sample
  p = putTag(p, "data");
  storeLe(p, dataBytes, 4);
}

}  // namespace korvane
