#include "codec/vector_path.h"

#include <initializer_list>

namespace korvane {

bool canRun(VectorPath path) {
  __builtin_cpu_init();
  switch (path) {
    case VectorPath::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    case VectorPath::avx2:
      return __builtin_cpu_supports("avx2");
    default:
      return true;
  }
}

VectorPath bestVectorPath() {
  for (const VectorPath path : {VectorPath::avx512, VectorPath::avx2}) {
    if (canRun(path)) return path;
  }
  return VectorPath::serial;
}

}  // namespace korvane
