// A build with no vector code for the CPU it targets: the portable kernels alone.
#include "vector/family.h"

namespace korvane {

bool familyRuns(VectorPath) {
  return false;
}

void addFamilyKernels(VectorPath, VectorKernels&) {}

}  // namespace korvane
