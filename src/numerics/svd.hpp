#pragma once
// Singular value decomposition (Householder bidiagonalisation and implicit
// QR, all in single precision) and the least-squares solve built on it.

#include <span>
#include <vector>

#include "numerics/matview.hpp"
#include "numerics/pause.hpp"
#include "numerics/plane_rotation.hpp"

namespace phasefit::numerics {

// Capacities of svdfit: rows of its design matrix's storage, and its
// parameters.
inline constexpr int kSvdfitRowDim = 1000;
inline constexpr int kSvdfitMaxCols = 301;
// Capacity of svdcmp's superdiagonal work vector.
inline constexpr int kSvdcmpMaxCols = 500;
// Capacity of svbksb's projected vector.
inline constexpr int kSvbksbMaxCols = 10000;

// sqrt(p*p + q*q) without forming the squares.
float pythag(float p, float q);

// Entries each rotation log holds before it is applied and emptied.
inline constexpr int kRotationLogCapacity = 16384;

// Row stride of svdcmp's row-major working copy: the column capacity of
// svdfit rounded up to whole 64-byte lines.
inline constexpr int kRowMajorStride = (kSvdfitMaxCols + 15) / 16 * 16;
// Leading dimension of svdcmp's column-major working copy of U: svdfit's
// row capacity rounded up to whole 64-byte lines.
inline constexpr int kWorkingLd = (kSvdfitRowDim + 15) / 16 * 16;

// Storage svdcmp and svdfit reuse from call to call: V and the singular
// values for svdfit; for svdcmp the rotation logs and working copies of U
// (column-major and row-major) and V whose columns or rows start on 64-byte
// lines, so that the 16-lane kernels never split a cache line. One per
// thread; sized once for the largest problem (about 3.7 MB). svdcmp works
// on the copies when the matrix fits them (rows <= 1000, cols <= 304) and
// on the caller's storage directly otherwise.
struct SvdWorkspace {
  SvdWorkspace() = default;
  // Storage for svdcmp on one rows x cols matrix only (no V or singular
  // values for svdfit, shorter rotation logs): what svdcmp's allocating
  // form uses.
  SvdWorkspace(int rows, int cols);

  std::vector<float> v = std::vector<float>(kSvdfitMaxCols * kSvdfitMaxCols);
  std::vector<float> singular_values = std::vector<float>(kSvdfitMaxCols);
  std::vector<PlaneRotation> u_rotations = std::vector<PlaneRotation>(kRotationLogCapacity);
  std::vector<PlaneRotation> v_rotations = std::vector<PlaneRotation>(kRotationLogCapacity);
  // Each holds one more line than its copy, for the alignment.
  std::vector<float> row_major = std::vector<float>(kSvdfitRowDim * kRowMajorStride + 16);
  std::vector<float> left = std::vector<float>(kWorkingLd * kRowMajorStride + 16);
  std::vector<float> right = std::vector<float>(kRowMajorStride * kRowMajorStride + 16);
};

// A = U diag(w) V^T for the leading rows x cols block of `matrix`
// (1 <= rows <= matrix.ld, 1 <= cols <= right_vectors.ld, cols <= 500).
// On return matrix holds U, singular_values[0 .. cols-1] holds w (not
// sorted) and the leading cols x cols block of right_vectors holds V (its
// previous content is never read). A singular value that does not converge
// in 30 passes raises the pause "no convergence in svdcmp" once; if the
// handler returns, that value keeps what the 30th pass left (possibly
// negative, its column of V not negated) and the remaining ones are
// computed as usual. If the handler throws, the exception ends the call and
// the outputs are partly written. Non-finite input is not detected; it ends
// in such pauses. The workspace form allocates nothing (the superdiagonal
// lives on the stack, the rotation logs in the workspace); the other form
// allocates a workspace for the call.
void svdcmp(MatView matrix, int rows, int cols, std::span<float> singular_values,
            MatView right_vectors, const PauseHandler& pause, SvdWorkspace& workspace);
void svdcmp(MatView matrix, int rows, int cols, std::span<float> singular_values,
            MatView right_vectors, const PauseHandler& pause);

// x = V diag(1/w) U^T b, a zero w dropping its term (a NaN w is not
// dropped). Only solution is written. rows <= left_vectors.ld,
// cols <= right_vectors.ld, cols <= kSvbksbMaxCols (a 40 KB stack array).
void svbksb(MatView left_vectors, std::span<const float> singular_values, MatView right_vectors,
            int rows, int cols, std::span<const float> rhs, std::span<float> solution);

// Least-squares solution of A x ~ b by SVD, singular values below 1e-9 of
// the largest set to zero (a value equal to the threshold is kept). matrix
// must have leading dimension 1000 (checked); it comes back holding U, and
// workspace.singular_values[0 .. cols-1] holds w after truncation. rhs is
// not changed. rows <= 1000, cols <= 301. Pauses as svdcmp.
void svdfit(int rows, std::span<float> solution, int cols, MatView matrix,
            std::span<const float> rhs, SvdWorkspace& workspace, const PauseHandler& pause);

}  // namespace phasefit::numerics
