#include "wav/wave_writer.h"

namespace korvane {
namespace {

std::uint8_t* put(std::uint8_t* out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    *out++ = static_cast<std::uint8_t>(value >> (8 * i));
  return out;
}

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
  p = put(p, 36 + dataBytes, 4);
  p = putTag(p, "WAVE");
  p = putTag(p, "fmt ");
  p = put(p, 16, 4);
  p = put(p, 1, 2);  // PCM
  p = put(p, 1, 2);  // mono
  p = put(p, sampleRate, 4);
  p = put(p, 2 * sampleRate, 4);
  p = put(p, 2, 2);   // block align
  p = put(p, 16, 2);  // bits per sample
  p = putTag(p, "data");
  put(p, dataBytes, 4);
}

}  // namespace korvane
