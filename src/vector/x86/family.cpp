// The x86 family: AVX2 and AVX-512 kernels, each in files compiled for their
// own instruction set and called only where the CPU has it.
#include "vector/family.h"
#include "vector/x86/kernels_x86.h"

namespace korvane {

bool familyRuns(VectorPath path) {
  __builtin_cpu_init();
  switch (path) {
    case VectorPath::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    case VectorPath::avx2:
      return __builtin_cpu_supports("avx2");
    case VectorPath::portable:
      break;
  }
  return false;
}

void addFamilyKernels(VectorPath path, VectorKernels& k) {
  const bool wide = path == VectorPath::avx512;
  k.lanesPay = true;
  for (std::size_t slot = 0; slot < 3; ++slot) {
    k.adpcmLanes[slot] = wide ? runAdpcmLanesAvx512 : runAdpcmLanesAvx2;
    k.adpcmPlay[slot] = wide ? playAdpcmAvx512 : playAdpcmAvx2;
  }
  k.wfmLanes = wide ? runWfmLanesAvx512 : runWfmLanesAvx2;
  k.dot = wide ? dotAvx512 : dotAvx2;
  k.columns = wide ? columnsAvx512 : columnsAvx2;
}

}  // namespace korvane
