// What a CPU family adds to the portable kernels: one source file per family,
// chosen by CMake (x86/family.cpp), or none.cpp where the build has no vector
// code for the CPU it targets.
#pragma once

#include "vector/kernels.h"

namespace korvane {

// Whether the CPU runs the family's kernels of path (a path above portable).
[[nodiscard]] bool familyRuns(VectorPath path);

// Puts the family's kernels of path into kernels, over the portable ones.
void addFamilyKernels(VectorPath path, VectorKernels& kernels);

// The portable kernels (portable.cpp).
[[nodiscard]] VectorKernels portableKernels();

}  // namespace korvane
