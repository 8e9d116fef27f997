#include "convert/prepare.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <system_error>
#include <thread>

namespace korvane {
namespace {

constexpr double kFullScale = 32768.0;

// Samples are made and counted a block at a time.
constexpr std::uint64_t kBlock = 4096;

// To nearest, halves to even; what lies beyond full scale is clipped and
// counted. Adding and taking away 1.5 * 2^52 rounds a double of magnitude
// below 2^51 to a whole number as the processor rounds by default (to
// nearest, halves to even), in a loop the compiler vectorises.
std::uint64_t toSixteenBits(std::span<const float> y, double factor, std::span<std::int16_t> out) {
  constexpr double kRound = 6755399441055744.0;
  std::uint32_t clipped = 0;  // a block at a time
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double v = y[i] * factor * kFullScale;
    // Far beyond full scale (or infinite) is as beyond as just past it; NaN is silence.
    double held = v < -65536.0 ? -65536.0 : v;
    held = held > 65536.0 ? 65536.0 : held;
    held = v == v ? held : 0.0;
    const auto rounded = static_cast<std::int32_t>((held + kRound) - kRound);
    clipped += static_cast<std::uint32_t>(rounded > 32767) + (rounded < -32768);
    out[i] = static_cast<std::int16_t>(std::clamp(rounded, -32768, 32767));
  }
  return clipped;
}

// What one thread works in, kept from block to block, with the last block it
// made: a read that ends inside a block and the next that starts there make
// it once.
struct Scratch {
  std::vector<std::uint8_t> bytes;
  std::vector<float> x;
  std::vector<float> y;
  ResampleScratch resample;
  std::vector<std::int16_t> samples;
  std::uint64_t madeBy = 0;  // the input's number (0: none yet)
  std::uint64_t madeBlock = 0;
};

// Each prepared input's number, so that a thread's last block is never taken
// for one of another input at the same address.
std::atomic<std::uint64_t> gInputs{0};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

}  // namespace

WaveError PreparedInput::open(const ByteSource& file, const Preparation& how,
                              const VectorKernels& kernels) {
  if (const WaveError error = readAnyWave(file, wave_); error != WaveError::none) return error;
  number_ = ++gInputs;
  how_ = how;
  rate_ = how.rate != 0 ? how.rate : wave_.sampleRate;
  count_ = resampledLength(wave_.frames, wave_.sampleRate, rate_);
  if (wave_.frames > kMaxWaveSamples || count_ > kMaxWaveSamples) {
    tooLong_ = true;
    return WaveError::none;
  }
  resampling_ = rate_ != wave_.sampleRate;
  if (resampling_) resampler_ = makeResampler(wave_.sampleRate, rate_, kernels);
  counted_ = std::vector<std::atomic<std::uint64_t>>((count_ + 64 * kBlock - 1) / (64 * kBlock));
  factor_ = std::pow(10.0, how.gainDb / 20.0);
  if (how.normalize) {
    const float top = peak();
    if (top > 0) factor_ = std::pow(10.0, how.normalizeDbfs / 20.0) / top;
  }
  first_ = 0;
  kept_ = count_;
  if (how.trim && count_ > 0) trim(how.trimDb);
  storeWaveHeader(header_, rate_, static_cast<std::uint32_t>(kept_));
  return WaveError::none;
}

// Finds the first and last sample at least dbfs loud, looking block by block
// from each end, and keeps them with the margin beside them; where none is,
// one sample.
void PreparedInput::trim(double dbfs) {
  const double threshold = kFullScale * std::pow(10.0, dbfs / 20.0);
  const auto loud = [&](std::int16_t v) { return std::abs(static_cast<double>(v)) >= threshold; };
  const std::uint64_t blocks = (count_ + kBlock - 1) / kBlock;
  std::vector<std::int16_t> samples;
  const auto make = [&](std::uint64_t b) {
    samples.resize(static_cast<std::size_t>(std::min(kBlock, count_ - b * kBlock)));
    makeBlock(b, samples);
  };
  std::uint64_t firstLoud = count_;
  for (std::uint64_t b = 0; b < blocks && firstLoud == count_; ++b) {
    make(b);
    const auto at = std::find_if(samples.begin(), samples.end(), loud);
    if (at != samples.end())
      firstLoud = b * kBlock + static_cast<std::uint64_t>(at - samples.begin());
  }
  if (firstLoud == count_) {
    kept_ = 1;
    return;
  }
  std::uint64_t lastLoud = firstLoud;
  for (std::uint64_t b = blocks; b-- > firstLoud / kBlock;) {
    make(b);
    const auto at = std::find_if(samples.rbegin(), samples.rend(), loud);
    if (at != samples.rend()) {
      lastLoud = b * kBlock + static_cast<std::uint64_t>(samples.rend() - at) - 1;
      break;
    }
  }
  const auto margin = static_cast<std::uint64_t>(std::llround(rate_ * kTrimMarginSeconds));
  first_ = firstLoud > margin ? firstLoud - margin : 0;
  kept_ = std::min(count_ - 1, lastLoud + margin) - first_ + 1;
}

ByteSource PreparedInput::source() const {
  return {nullptr, kWaveHeaderBytes + 2 * kept_, this, fill};
}

// Samples first .. first + out.size() - 1 of the mono signal at the output
// rate, before the level.
void PreparedInput::makeFloats(std::uint64_t first, std::span<float> out) const {
  Scratch& s = scratch();
  bool ok = true;
  if (!resampling_) {
    ok = readMono(wave_, static_cast<std::int64_t>(first), out, s.bytes);
  } else {
    s.x.resize(inputLength(resampler_, first, out.size()));
    ok = readMono(wave_, inputStart(resampler_, first), s.x, s.bytes);
    resampleBlock(resampler_, first, s.x, out, s.resample);
  }
  if (!ok) failed_.store(true);
}

void PreparedInput::makeBlock(std::uint64_t block, std::span<std::int16_t> samples) const {
  Scratch& s = scratch();
  s.y.resize(samples.size());
  makeFloats(block * kBlock, s.y);
  const std::uint64_t clipped = toSixteenBits(s.y, factor_, samples);
  // Each block's clips are counted once, by whoever makes it first.
  const std::uint64_t bit = std::uint64_t{1} << (block % 64);
  if (clipped > 0 && (counted_[block / 64].fetch_or(bit) & bit) == 0) clipped_ += clipped;
}

bool PreparedInput::fill(const void* self, std::uint64_t offset, std::span<std::uint8_t> out) {
  const auto& p = *static_cast<const PreparedInput*>(self);
  std::size_t done = 0;
  for (; done < out.size() && offset + done < kWaveHeaderBytes; ++done)
    out[done] = p.header_[static_cast<std::size_t>(offset + done)];
  Scratch& s = scratch();
  while (done < out.size()) {
    // The byte of the samples, counted from the first one made (before the trim).
    const std::uint64_t at = offset + done - kWaveHeaderBytes + 2 * p.first_;
    const std::uint64_t block = at / (2 * kBlock);
    const std::uint64_t first = block * kBlock;
    if (s.madeBy != p.number_ || s.madeBlock != block) {
      s.samples.resize(static_cast<std::size_t>(std::min(kBlock, p.count_ - first)));
      p.makeBlock(block, s.samples);
      s.madeBy = p.number_;
      s.madeBlock = block;
    }
    const auto from = static_cast<std::size_t>(at - 2 * first);
    const std::size_t n = std::min(2 * s.samples.size() - from, out.size() - done);
    // Whole samples, low byte first, then any odd byte at either end.
    std::size_t i = 0;
    if (from % 2 == 1) {
      out[done] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s.samples[from / 2]) >> 8);
      i = 1;
    }
    std::uint8_t* to = out.data() + done + i;
    const std::int16_t* sample = s.samples.data() + (from + i) / 2;
    const std::size_t pairs = (n - i) / 2;
    for (std::size_t k = 0; k < pairs; ++k) {
      const auto v = static_cast<std::uint16_t>(sample[k]);
      to[2 * k] = static_cast<std::uint8_t>(v);
      to[2 * k + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    if ((n - i) % 2 == 1) to[2 * pairs] = static_cast<std::uint8_t>(sample[pairs]);
    done += n;
  }
  return !p.failed_.load();
}

// The largest finite magnitude of the signal before the level, over every
// sample, the work shared between the threads.
float PreparedInput::peak() const {
  const std::uint64_t blocks = (count_ + kBlock - 1) / kBlock;
  const auto part = [&](std::uint64_t from, std::uint64_t to, float& top) {
    std::vector<float> y;
    for (std::uint64_t b = from; b < to; ++b) {
      y.resize(static_cast<std::size_t>(std::min(kBlock, count_ - b * kBlock)));
      makeFloats(b * kBlock, y);
      for (const float v : y) {
        if (std::isfinite(v)) top = std::max(top, std::fabs(v));
      }
    }
  };
  const unsigned parts =
      static_cast<unsigned>(std::clamp<std::uint64_t>(blocks / 16, 1, std::max(how_.threads, 1u)));
  std::vector<float> tops(parts, 0.0f);
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < parts; ++t) {
    const std::uint64_t from = blocks * t / parts;
    const std::uint64_t to = blocks * (t + 1) / parts;
    try {
      helpers.emplace_back(part, from, to, std::ref(tops[t]));
    } catch (const std::system_error&) {
      part(from, to, tops[t]);  // no thread to be had: on this one
    }
  }
  part(0, blocks / parts, tops[0]);
  for (std::thread& helper : helpers)
    helper.join();
  return *std::max_element(tops.begin(), tops.end());
}

Tolerable tolerableCause(const ByteSource& file) {
  using Cause = Tolerable::Cause;
  // The format tag and the rate, wherever the fmt chunk lies.
  std::uint16_t tag = 0;
  std::uint32_t rate = 0;
  bool fmtFirst = false;
  bool odd = false;
  std::array<std::uint8_t, 12> head{};
  (void)readBytes(file, 0, head);
  for (std::uint64_t at = 12; at + 8 <= file.size;) {
    std::array<std::uint8_t, 24> chunk{};
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(24, file.size - at));
    if (!readBytes(file, at, std::span(chunk).first(n))) break;
    const std::uint64_t size = loadLe32(&chunk[4]);
    if (std::memcmp(chunk.data(), "fmt ", 4) == 0 && n >= 16) {
      fmtFirst = at == 12;
      tag = static_cast<std::uint16_t>(loadLe16(&chunk[8]));
      rate = loadLe32(&chunk[12]);
    }
    if (std::memcmp(chunk.data(), "data", 4) == 0) break;
    odd = odd || (size & 1) != 0;
    at += 8 + size + (size & 1);
  }
  AnyWave wave;
  if (readAnyWave(file, wave) != WaveError::none) {
    const bool wav = std::memcmp(head.data() + 8, "WAVE", 4) == 0;
    return {wav && tag != 0 && tag != 1 && tag != 3 && tag != 0xFFFE ? Cause::foreign
                                                                     : Cause::unreadable,
            0, tag, rate};
  }
  if (std::memcmp(head.data(), "RIFF", 4) != 0) return {Cause::rf64, 0, tag, wave.sampleRate};
  if (wave.coding != WaveCoding::pcm && !wave.isFloat) {
    return {Cause::coding, 0, tag, wave.sampleRate};
  }
  if (wave.channels != 1) return {Cause::channels, wave.channels, tag, wave.sampleRate};
  if (wave.isFloat) return {Cause::floats, wave.bitsPerSample, tag, wave.sampleRate};
  return {fmtFirst && odd ? Cause::oddChunk : Cause::chunkOrder, 0, tag, wave.sampleRate};
}

}  // namespace korvane
