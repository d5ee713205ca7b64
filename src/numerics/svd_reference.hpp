#pragma once
// The straightforward, one-element-at-a-time forms of svdcmp, svbksb and
// svdfit. They have the contracts of the routines in svd.hpp and give the
// same bits; the tests and the benchmark hold the vectorised routines
// against them, and `phasefit --kernels=reference` runs the whole tool on
// them to check that it writes the same files.

#include <span>

#include "numerics/matview.hpp"
#include "numerics/pause.hpp"
#include "numerics/svd.hpp"

namespace phasefit::numerics::reference {

void svdcmp(MatView matrix, int rows, int cols, std::span<float> singular_values,
            MatView right_vectors, const PauseHandler& pause);

void svbksb(MatView left_vectors, std::span<const float> singular_values, MatView right_vectors,
            int rows, int cols, std::span<const float> rhs, std::span<float> solution);

void svdfit(int rows, std::span<float> solution, int cols, MatView matrix,
            std::span<const float> rhs, SvdWorkspace& workspace, const PauseHandler& pause);

}  // namespace phasefit::numerics::reference
