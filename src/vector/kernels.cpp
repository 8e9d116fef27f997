#include "vector/kernels.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "vector/family.h"

namespace korvane {
namespace {

constexpr std::size_t kPathCount = std::size(kVectorPaths);

struct Choice {
  std::array<VectorKernels, kPathCount> byPath;
  std::array<bool, kPathCount> runs;
  VectorPath chosen;
};

std::size_t indexOf(VectorPath path) {
  return static_cast<std::size_t>(path);
}

// The highest path KORVANE_VECTOR allows: all of them when it is unset or
// names no path.
VectorPath allowedPath() {
  const char* limit = std::getenv("KORVANE_VECTOR");
  for (const VectorPath path : kVectorPaths) {
    if (limit != nullptr && std::strcmp(limit, nameOf(path)) == 0) return path;
  }
  return kVectorPaths[kPathCount - 1];
}

const Choice& choice() {
  static const Choice made = [] {
    Choice c{};
    const VectorPath allowed = allowedPath();
    c.chosen = VectorPath::portable;
    for (const VectorPath path : kVectorPaths) {
      VectorKernels& kernels = c.byPath[indexOf(path)];
      kernels = portableKernels();
      kernels.path = path;
      c.runs[indexOf(path)] = path == VectorPath::portable || familyRuns(path);
      if (path == VectorPath::portable || !c.runs[indexOf(path)]) continue;
      addFamilyKernels(path, kernels);
      if (path <= allowed) c.chosen = path;
    }
    return c;
  }();
  return made;
}

}  // namespace

const VectorKernels& vectorKernels() {
  const Choice& c = choice();
  return c.byPath[indexOf(c.chosen)];
}

bool canRun(VectorPath path) {
  return choice().runs[indexOf(path)];
}

const VectorKernels& kernelsOf(VectorPath path) {
  return choice().byPath[indexOf(canRun(path) ? path : VectorPath::portable)];
}

const char* nameOf(VectorPath path) {
  switch (path) {
    case VectorPath::portable:
      return "portable";
    case VectorPath::avx2:
      return "avx2";
    case VectorPath::avx512:
      return "avx512";
  }
  return "";
}

}  // namespace korvane
