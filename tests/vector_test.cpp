// Every kernel of every vector path this CPU runs, against its portable twin
// on the same inputs (speech, noise, clipped, DC, square waves, silence; start
// states anywhere; many lengths): the results must be the same to the bit,
// and nothing outside them may be written. Paths this CPU or build lacks are
// named; a path listed in KORVANE_REQUIRE_VECTOR that is skipped fails.
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "support.h"
#include "vector/kernels.h"
#include "vector/tables.h"

namespace korvane {
namespace {

std::mt19937 gRandom(2024);

int uniform(int lo, int hi) {
  return std::uniform_int_distribution<int>(lo, hi)(gRandom);
}

// What a lane run wrote: codes and checkpoints, with room around them.
struct LaneOutput {
  std::vector<std::uint8_t> codes;
  std::vector<std::int32_t> first;
  std::vector<std::int32_t> second;
  bool operator==(const LaneOutput&) const = default;
};

LaneOutput runLanes(LaneKernel kernel, LaneRun run) {
  const std::size_t checkpoints = run.length / kCheckpointEvery * kLaneCount;
  LaneOutput o{std::vector<std::uint8_t>(kLaneCount * run.codeStride, 0xA5),
               std::vector<std::int32_t>(checkpoints, -7),
               std::vector<std::int32_t>(checkpoints, -7)};
  run.codes = o.codes.data();
  run.first = o.first.data();
  run.second = o.second.data();
  kernel(run);
  return o;
}

void expectSameLanes(const VectorKernels& path, const VectorKernels& twin) {
  for (int kind = 0; kind < test::kSignalKinds; ++kind) {
    for (const std::size_t length : {16u, 48u, 160u, 1024u}) {
      const std::size_t stride = length + 16 * static_cast<std::size_t>(uniform(0, 3));
      const std::vector<std::int32_t> x =
          test::signalOf(kind, kLaneCount * stride,
                         static_cast<std::uint32_t>(length) + static_cast<std::uint32_t>(kind));
      LaneRun run{x.data(),   length,  stride,  {},      {},     nullptr,
                  length + 3, nullptr, nullptr, nullptr, nullptr};
      for (std::size_t slot = 0; slot < 4; ++slot) {
        const bool wfm = slot == 3;
        for (std::size_t j = 0; j < kLaneCount; ++j) {
          run.startFirst[j] = wfm ? uniform(0, 65535) : uniform(-32768, 32767);
          run.startSecond[j] = wfm ? uniform(16, 8191) | uniform(0, 255) << 16 : uniform(0, 88);
        }
        const unsigned bits = wfm ? 1 : 4 - static_cast<unsigned>(slot);
        run.adpcm = bits == 4   ? &kVectorTables<4>
                    : bits == 3 ? &kVectorTables<3>
                                : &kVectorTables<2>;
        run.wfm = &kWfmVectorTables;
        const LaneKernel kernel = wfm ? path.wfmLanes : path.adpcmLanes[slot];
        const LaneKernel reference = wfm ? twin.wfmLanes : twin.adpcmLanes[slot];
        EXPECT_TRUE(runLanes(kernel, run) == runLanes(reference, run))
            << "lanes of " << bits << "-bit codes, signal " << kind << ", length " << length;
      }
    }
  }
}

void expectSamePlay(const VectorKernels& path, const VectorKernels& twin) {
  for (std::size_t slot = 0; slot < 3; ++slot) {
    const unsigned bits = 4 - static_cast<unsigned>(slot);
    const VectorTables& tables = bits == 4   ? kVectorTables<4>
                                 : bits == 3 ? kVectorTables<3>
                                             : kVectorTables<2>;
    for (const std::size_t count : {16u, 32u, 256u, 4096u}) {
      for (int round = 0; round < 8; ++round) {
        // Codes of one sign now and then drive the chains into their clamps.
        std::vector<std::uint8_t> codes(count);
        const int run = round % 2 == 0 ? 1 : 64;
        for (std::size_t i = 0; i < count; ++i) {
          codes[i] = static_cast<std::uint8_t>(i % static_cast<std::size_t>(run) == 0 || run == 1
                                                   ? uniform(0, (1 << bits) - 1)
                                                   : codes[i - 1]);
        }
        const std::int32_t predictor = uniform(-32768, 32767);
        const std::int32_t index = uniform(0, 88);
        std::int32_t p[2] = {predictor, predictor};
        std::int32_t s[2] = {index, index};
        std::vector<std::int16_t> out[2] = {std::vector<std::int16_t>(count + 8, 99),
                                            std::vector<std::int16_t>(count + 8, 99)};
        path.adpcmPlay[slot](tables, codes.data(), count, p[0], s[0], out[0].data());
        twin.adpcmPlay[slot](tables, codes.data(), count, p[1], s[1], out[1].data());
        EXPECT_TRUE(out[0] == out[1] && p[0] == p[1] && s[0] == s[1])
            << "play of " << bits << "-bit codes, " << count << " codes, round " << round;
      }
    }
  }
}

void expectSameDot(const VectorKernels& path, const VectorKernels& twin) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (const std::size_t count : {32u, 64u, 96u, 416u, 800u, 4096u}) {
    std::vector<float> taps(count);
    std::vector<float> x(count);
    for (std::size_t i = 0; i < count; ++i) {
      taps[i] = normal(gRandom) / static_cast<float>(count);
      x[i] = i % 7 == 0 ? 0.0f : normal(gRandom) * (i % 5 == 0 ? 1e4f : 1.0f);
    }
    const float a = path.dot(taps.data(), x.data(), count);
    const float b = twin.dot(taps.data(), x.data(), count);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "dot of " << count << ": " << a << " " << b;
  }
}

TEST(VectorKernels, EveryPathGivesItsPortableTwinsResults) {
  const VectorKernels& twin = kernelsOf(VectorPath::portable);
  const char* required = std::getenv("KORVANE_REQUIRE_VECTOR");
  std::ostringstream tested;
  std::ostringstream skipped;
  for (const VectorPath path : kVectorPaths) {
    if (path == VectorPath::portable) continue;
    if (!canRun(path)) {
      skipped << " " << nameOf(path);
      const bool mustRun = required != nullptr && std::strstr(required, nameOf(path)) != nullptr;
      EXPECT_FALSE(mustRun) << nameOf(path) << " is required but was skipped";
      continue;
    }
    tested << " " << nameOf(path);
    SCOPED_TRACE(nameOf(path));
    const VectorKernels& kernels = kernelsOf(path);
    expectSameLanes(kernels, twin);
    expectSamePlay(kernels, twin);
    expectSameDot(kernels, twin);
  }
  std::printf("vector paths tested:%s; skipped:%s\n", tested.str().c_str(),
              skipped.str().empty() ? " none" : skipped.str().c_str());
}

}  // namespace
}  // namespace korvane
