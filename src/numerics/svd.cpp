// Singular value decomposition by Householder bidiagonalisation and
// implicit-shift QR (Golub-Reinsch), and the back-substitution on top of
// it, arranged for the vector units. Every operation is a single-precision
// one, and every element and every sum sees exactly the operations of the
// plain loops in svd_reference.cpp, in the same order: stored
// coefficient files are compared bit for bit. What changes is only which
// independent operations run side by side, and when:
//   - dot products run several at a time, one per vector lane, each adding
//     its terms in increasing index order (svd_kernels.cpp);
//   - in the diagonalisation, where every decision depends on w and e
//     alone, the plane rotations are logged and later applied to U and V
//     block of rows by block of rows; every element still receives the same
//     rotations in the same order, but a block of rows stays in the
//     first-level cache through thousands of them.
// This file holds the entry points, the working copies and the rotation
// logs; the vectorised phases 1 to 3 are in svd_fast_phases.cpp, and
// svdfit, common to both forms, in svdfit.cpp. The glossary of svdcmp's
// short names is in svd_phase_steps.hpp.

#include "numerics/svd.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "contract.hpp"
#include "numerics/svd_kernels.hpp"
#include "numerics/svd_phase_steps.hpp"

namespace phasefit::numerics {
namespace {

using svd_phases::element;
using svd_phases::hypotenuse;
using svd_phases::Vec1;

// Plane rotations of the diagonalisation waiting to be applied to the
// columns of one matrix (U or V), in the order they were formed.
class RotationLog {
 public:
  RotationLog(std::vector<PlaneRotation>& entries, MatView target, int rows)
      : entries_(entries), target_(target), rows_(rows) {
    PHASEFIT_CHECK(!entries_.empty());
  }

  void rotate(int first, int second, float c, float s) { push({first, second, c, s}); }
  void negate(int column) { push({column, 0, 0.0f, 0.0f}); }

  // Applies every pending rotation; the log is empty afterwards.
  void flush() {
    if (count_ == 0) return;
    kernels::apply_rotations(target_.data.data(), target_.ld, rows_, entries_.data(), count_);
    count_ = 0;
  }

 private:
  void push(const PlaneRotation& rotation) {
    // A full log is applied early; the order of the rotations is kept.
    if (count_ == static_cast<int>(entries_.size())) flush();
    entries_[static_cast<std::size_t>(count_++)] = rotation;
  }

  std::vector<PlaneRotation>& entries_;
  MatView target_;
  int rows_;
  int count_ = 0;
};

}  // namespace

float pythag(float p, float q) { return hypotenuse(p, q); }

namespace {

// Floats the working copies of a rows x cols decomposition need, each with
// a line to spare for the alignment: the row-major copy holds U (rows
// rows) and, before it, V (cols rows).
std::size_t row_major_floats(int rows, int cols) {
  return static_cast<std::size_t>(rows > cols ? rows : cols) * kRowMajorStride + 16;
}
std::size_t left_floats(int cols) {
  return static_cast<std::size_t>(kWorkingLd) * static_cast<std::size_t>(cols) + 16;
}
std::size_t right_floats(int cols) {
  return static_cast<std::size_t>(kRowMajorStride) * static_cast<std::size_t>(cols) + 16;
}

// Rotation log entries of a workspace made for a single call; a smaller log
// is only applied more often.
constexpr int kSmallRotationLog = 4096;

// The first float of `storage` on a 64-byte line; storage holds a line
// more than the data placed there.
float* line_aligned(std::vector<float>& storage) {
  const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
  const std::size_t skip = ((64 - address % 64) % 64) / sizeof(float);
  return storage.data() + skip;
}

// Copies the leading rows x cols block between column-major storages.
void copy_columns(const float* from, std::ptrdiff_t from_ld, int rows, int cols, float* to,
                  std::ptrdiff_t to_ld) {
  for (int j = 0; j < cols; ++j) std::copy_n(from + j * from_ld, rows, to + j * to_ld);
}

// Zeroes rows [from, to) (0-based) of the first cols columns.
void zero_rows(const MatView& x, int from, int to, int cols) {
  for (int j = 0; j < cols; ++j)
    std::fill(x.data.begin() + j * x.ld + from, x.data.begin() + j * x.ld + to, 0.0f);
}

}  // namespace

namespace svd_phases {

// The line-aligned working copies of a workspace for an m x n
// decomposition, or nothing if the matrix does not fit them: U (column-
// major, leading dimension kWorkingLd), V (kRowMajorStride) and the row-
// major scratch of phases 2 and 3 (rows of kRowMajorStride floats, m of
// them for U and before that n for V).
std::optional<WorkingCopies> working_copies(SvdWorkspace& workspace, int m, int n) {
  const bool fits = m <= kSvdfitRowDim && n <= kRowMajorStride &&
                    workspace.row_major.size() >= row_major_floats(m, n) &&
                    workspace.left.size() >= left_floats(n) &&
                    workspace.right.size() >= right_floats(n);
  if (!fits) return std::nullopt;
  const auto floats = [](int count, int length) {
    return static_cast<std::size_t>(count) * static_cast<std::size_t>(length);
  };
  return WorkingCopies{
      MatView{std::span<float>(line_aligned(workspace.left), floats(kWorkingLd, n)), kWorkingLd, n,
              kWorkingLd},
      MatView{std::span<float>(line_aligned(workspace.right), floats(kRowMajorStride, n)),
              kRowMajorStride, n, kRowMajorStride},
      std::span<float>(line_aligned(workspace.row_major), floats(m > n ? m : n, kRowMajorStride))};
}

}  // namespace svd_phases

void svdcmp(MatView matrix, int rows, int cols, std::span<float> singular_values,
            MatView right_vectors, const PauseHandler& pause, SvdWorkspace& workspace) {
  PHASEFIT_CHECK(rows >= 1 && rows <= matrix.ld);
  PHASEFIT_CHECK(cols >= 1 && cols <= right_vectors.ld && cols <= kSvdcmpMaxCols);
  PHASEFIT_CHECK(singular_values.size() >= static_cast<std::size_t>(cols));

  const Vec1 w{singular_values};
  std::array<float, kSvdcmpMaxCols> superdiag;
  const Vec1 e{superdiag};
  const int m = rows;
  const int n = cols;

  // A matrix that fits the workspace is decomposed in its line-aligned
  // copies (U column-major with leading dimension kWorkingLd, V with
  // kRowMajorStride) and copied out at the end, or before a pause. Any
  // other runs phases 2 and 3 in the plain loops, on the caller's storage.
  const std::optional<svd_phases::WorkingCopies> copies =
      svd_phases::working_copies(workspace, m, n);
  MatView a = matrix;
  MatView v = right_vectors;
  if (copies) {
    copy_columns(matrix.data.data(), matrix.ld, m, n, copies->a.data.data(), copies->a.ld);
    a = copies->a;
    v = copies->v;
  }
  const auto publish = [&] {
    if (!copies) return;
    copy_columns(a.data.data(), a.ld, m, n, matrix.data.data(), matrix.ld);
    copy_columns(v.data.data(), v.ld, n, n, right_vectors.data.data(), right_vectors.ld);
  };

  const svd_phases::Bidiagonal bidiagonal = svd_phases::bidiagonalise_fast(a, m, n, w, e);
  if (copies) {
    svd_phases::accumulate_right_fast(a, n, e, copies->row_major, v);
    svd_phases::accumulate_left_fast(a, m, n, w, copies->row_major);
  } else {
    svd_phases::accumulate_right_reference(a, n, bidiagonal.g, e, v);
    svd_phases::accumulate_left_reference(a, m, n, w);
  }

  // Phase 4 logs the rotations of U and V and applies them in batches;
  // before a pause they are brought up to date.
  int u_rows = m;
  int v_rows = n;
  if (copies) {
    u_rows = svd_phases::rotated_rows(m, a.ld);
    v_rows = svd_phases::rotated_rows(n, v.ld);
    zero_rows(a, m, u_rows, n);
    zero_rows(v, n, v_rows, n);
  }
  RotationLog u_log(workspace.u_rotations, a, u_rows);
  RotationLog v_log(workspace.v_rotations, v, v_rows);
  svd_phases::diagonalise(n, w, e, bidiagonal.bidiag_norm, u_log, v_log, pause, [&] {
    u_log.flush();
    v_log.flush();
    publish();
  });
  u_log.flush();
  v_log.flush();
  publish();
}

void svdcmp(MatView matrix, int rows, int cols, std::span<float> singular_values,
            MatView right_vectors, const PauseHandler& pause) {
  SvdWorkspace workspace(rows, cols);
  svdcmp(matrix, rows, cols, singular_values, right_vectors, pause, workspace);
}

SvdWorkspace::SvdWorkspace(int rows, int cols)
    : v(),
      singular_values(),
      u_rotations(kSmallRotationLog),
      v_rotations(kSmallRotationLog),
      row_major(rows <= kSvdfitRowDim && cols <= kRowMajorStride ? row_major_floats(rows, cols)
                                                                 : 0),
      left(rows <= kSvdfitRowDim && cols <= kRowMajorStride ? left_floats(cols) : 0),
      right(rows <= kSvdfitRowDim && cols <= kRowMajorStride ? right_floats(cols) : 0) {}

void svbksb(MatView left_vectors, std::span<const float> singular_values, MatView right_vectors,
            int rows, int cols, std::span<const float> rhs, std::span<float> solution) {
  PHASEFIT_CHECK(cols >= 1 && cols <= kSvbksbMaxCols);
  PHASEFIT_CHECK(rows >= 1 && rows <= left_vectors.ld && cols <= right_vectors.ld);
  PHASEFIT_CHECK(singular_values.size() >= static_cast<std::size_t>(cols));
  PHASEFIT_CHECK(rhs.size() >= static_cast<std::size_t>(rows));
  PHASEFIT_CHECK(solution.size() >= static_cast<std::size_t>(cols));

  const auto w = [&](int j) { return singular_values[static_cast<std::size_t>(j - 1)]; };
  // (U^T b)(j) / w(j), or 0 for a dropped singular value. 40 KB on the
  // stack; its capacity is the routine's limit on cols.
  std::array<float, kSvbksbMaxCols> projected_store;
  const Vec1 projected{projected_store};

  // All column sums at once; a dropped value's sum is formed and discarded.
  kernels::column_dots(element(left_vectors, 1, 1), left_vectors.ld, rows, rhs.data(), cols,
                       projected_store.data());
  for (int j = 1; j <= cols; ++j) projected(j) = w(j) != 0.0f ? projected(j) / w(j) : 0.0f;
  // x(j) = v(j, 1..n) . projected(1..n), all rows j at once.
  kernels::row_dots(element(right_vectors, 1, 1), right_vectors.ld, cols, cols,
                    projected_store.data(), solution.data());
}

}  // namespace phasefit::numerics
