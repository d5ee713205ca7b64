// The least-squares solve on the SVD, written once for both kernel sets:
// svdfit runs the vectorised svdcmp and svbksb, reference::svdfit the plain
// loops. The truncation of the small singular values between the two is
// the same code for both, so the two forms can differ only where their
// svdcmp and svbksb do (which they must not, bit for bit).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "contract.hpp"
#include "numerics/svd.hpp"
#include "numerics/svd_phase_steps.hpp"
#include "numerics/svd_reference.hpp"

namespace phasefit::numerics {
namespace {

// The vectorised routines, svdcmp on the workspace's working copies.
struct FastSvd {
  static void decompose(MatView matrix, int rows, int cols, std::span<float> singular_values,
                        MatView right_vectors, const PauseHandler& pause, SvdWorkspace& workspace) {
    svdcmp(matrix, rows, cols, singular_values, right_vectors, pause, workspace);
  }
  static void back_substitute(MatView left_vectors, std::span<const float> singular_values,
                              MatView right_vectors, int rows, int cols, std::span<const float> rhs,
                              std::span<float> solution) {
    svbksb(left_vectors, singular_values, right_vectors, rows, cols, rhs, solution);
  }
};

// The plain loops, which need no working copies.
struct ReferenceSvd {
  static void decompose(MatView matrix, int rows, int cols, std::span<float> singular_values,
                        MatView right_vectors, const PauseHandler& pause, SvdWorkspace&) {
    reference::svdcmp(matrix, rows, cols, singular_values, right_vectors, pause);
  }
  static void back_substitute(MatView left_vectors, std::span<const float> singular_values,
                              MatView right_vectors, int rows, int cols, std::span<const float> rhs,
                              std::span<float> solution) {
    reference::svbksb(left_vectors, singular_values, right_vectors, rows, cols, rhs, solution);
  }
};

template <class Svd>
void fit(int rows, std::span<float> solution, int cols, MatView matrix, std::span<const float> rhs,
         SvdWorkspace& workspace, const PauseHandler& pause) {
  // The delta-fit declares its design matrix with exactly this many rows.
  PHASEFIT_CHECK(matrix.ld == kSvdfitRowDim);
  PHASEFIT_CHECK(rows >= 1 && rows <= kSvdfitRowDim);
  PHASEFIT_CHECK(cols >= 1 && cols <= kSvdfitMaxCols);
  PHASEFIT_CHECK(workspace.v.size() >= static_cast<std::size_t>(kSvdfitMaxCols * kSvdfitMaxCols));
  PHASEFIT_CHECK(workspace.singular_values.size() >= static_cast<std::size_t>(cols));

  // Singular values below this fraction of the largest carry only rounding
  // noise of the ill-conditioned design matrix; their directions are dropped.
  constexpr float relative_cutoff = 1.0e-9f;
  static_assert(std::bit_cast<std::uint32_t>(relative_cutoff) == 0x3089705Fu);

  const MatView v{workspace.v, kSvdfitMaxCols, kSvdfitMaxCols, kSvdfitMaxCols};
  const std::span<float> singular_values = workspace.singular_values;
  const svd_phases::Vec1 w{singular_values};

  Svd::decompose(matrix, rows, cols, singular_values, v, pause, workspace);

  // A NaN is never taken as the largest and never falls below the
  // threshold; a value left negative by an unconverged pass always does.
  float largest = 0.0f;
  for (int j = 1; j <= cols; ++j)
    if (w(j) > largest) largest = w(j);
  const float threshold = relative_cutoff * largest;
  for (int j = 1; j <= cols; ++j)
    if (w(j) < threshold) w(j) = 0.0f;

  Svd::back_substitute(matrix, singular_values, v, rows, cols, rhs, solution);
}

}  // namespace

void svdfit(int rows, std::span<float> solution, int cols, MatView matrix,
            std::span<const float> rhs, SvdWorkspace& workspace, const PauseHandler& pause) {
  fit<FastSvd>(rows, solution, cols, matrix, rhs, workspace, pause);
}

void reference::svdfit(int rows, std::span<float> solution, int cols, MatView matrix,
                       std::span<const float> rhs, SvdWorkspace& workspace,
                       const PauseHandler& pause) {
  fit<ReferenceSvd>(rows, solution, cols, matrix, rhs, workspace, pause);
}

}  // namespace phasefit::numerics
