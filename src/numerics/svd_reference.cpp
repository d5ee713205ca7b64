// The plain, one-element-at-a-time forms of svdcmp's phases and of svbksb:
// every loop as the algorithm states it. The vectorised routines in svd.cpp
// and svd_fast_phases.cpp must reproduce their results bit for bit; this
// file stays as their yardstick. (svdfit, the same for both forms, is in
// svdfit.cpp.) The glossary of svdcmp's short names is in
// svd_phase_steps.hpp.

#include "numerics/svd_reference.hpp"

#include <array>
#include <cmath>
#include <cstddef>

#include "contract.hpp"
#include "numerics/svd_phase_steps.hpp"

namespace phasefit::numerics {
namespace svd_phases {

// Phase 1: Householder reduction to upper bidiagonal form. Column
// reflections zero a column below the diagonal, row reflections zero a
// row right of the superdiagonal. The row step's vector is parked in
// e(l..n) until the next column's e(i) overwrites it.
Bidiagonal bidiagonalise_reference(const MatView& a, int m, int n, const Vec1& w, const Vec1& e) {
  float g = 0.0f;
  float scale = 0.0f;
  float s = 0.0f;
  float bidiag_norm = 0.0f;
  for (int i = 1; i <= n; ++i) {
    const int l = i + 1;
    e(i) = scale * g;
    g = 0.0f;
    s = 0.0f;
    scale = 0.0f;
    if (i <= m) {
      for (int k = i; k <= m; ++k) scale = scale + std::abs(a(k, i));
      if (scale != 0.0f) {
        for (int k = i; k <= m; ++k) {
          a(k, i) = a(k, i) / scale;
          s = s + a(k, i) * a(k, i);
        }
        float f = a(i, i);
        g = -sign(std::sqrt(s), f);
        const float h = f * g - s;
        a(i, i) = f - g;
        for (int j = l; j <= n; ++j) {
          s = 0.0f;
          for (int k = i; k <= m; ++k) s = s + a(k, i) * a(k, j);
          f = s / h;
          for (int k = i; k <= m; ++k) a(k, j) = a(k, j) + f * a(k, i);
        }
        for (int k = i; k <= m; ++k) a(k, i) = scale * a(k, i);
      }
    }
    w(i) = scale * g;
    g = 0.0f;
    s = 0.0f;
    scale = 0.0f;
    if (i <= m && i != n) {
      for (int k = l; k <= n; ++k) scale = scale + std::abs(a(i, k));
      if (scale != 0.0f) {
        for (int k = l; k <= n; ++k) {
          a(i, k) = a(i, k) / scale;
          s = s + a(i, k) * a(i, k);
        }
        const float f = a(i, l);
        g = -sign(std::sqrt(s), f);
        const float h = f * g - s;
        a(i, l) = f - g;
        for (int k = l; k <= n; ++k) e(k) = a(i, k) / h;
        for (int j = l; j <= m; ++j) {
          s = 0.0f;
          for (int k = l; k <= n; ++k) s = s + a(j, k) * a(i, k);
          for (int k = l; k <= n; ++k) a(j, k) = a(j, k) + s * e(k);
        }
        for (int k = l; k <= n; ++k) a(i, k) = scale * a(i, k);
      }
    }
    // A NaN is kept once it appears, so that no negligibility test below can
    // succeed against a meaningless norm.
    const float row_norm = std::abs(w(i)) + std::abs(e(i));
    if (std::isnan(row_norm) || row_norm > bidiag_norm) bidiag_norm = row_norm;
  }
  return {bidiag_norm, g};
}

// Phase 2: accumulate the row reflections into V, last to first. Every
// element of the leading n x n block is written before it is read.
void accumulate_right_reference(const MatView& a, int n, float g, const Vec1& e, const MatView& v) {
  int l = n + 1;
  for (int i = n; i >= 1; --i) {
    if (i < n) {
      if (g != 0.0f) {
        // Two divisions, in this order, to avoid a possible underflow of
        // a(i, l) * g.
        for (int j = l; j <= n; ++j) v(j, i) = (a(i, j) / a(i, l)) / g;
        for (int j = l; j <= n; ++j) {
          float s = 0.0f;
          for (int k = l; k <= n; ++k) s = s + a(i, k) * v(k, j);
          for (int k = l; k <= n; ++k) v(k, j) = v(k, j) + s * v(k, i);
        }
      }
      for (int j = l; j <= n; ++j) {
        v(i, j) = 0.0f;
        v(j, i) = 0.0f;
      }
    }
    v(i, i) = 1.0f;
    g = e(i);
    l = i;
  }
}

// Phase 3: accumulate the column reflections into U, in place.
void accumulate_left_reference(const MatView& a, int m, int n, const Vec1& w) {
  for (int i = (m < n ? m : n); i >= 1; --i) {
    const int l = i + 1;
    float g = w(i);
    for (int j = l; j <= n; ++j) a(i, j) = 0.0f;
    if (g != 0.0f) {
      g = 1.0f / g;
      for (int j = l; j <= n; ++j) {
        float s = 0.0f;
        for (int k = l; k <= m; ++k) s = s + a(k, i) * a(k, j);
        const float f = (s / a(i, i)) * g;
        for (int k = i; k <= m; ++k) a(k, j) = a(k, j) + f * a(k, i);
      }
      for (int j = i; j <= m; ++j) a(j, i) = a(j, i) * g;
    } else {
      for (int j = i; j <= m; ++j) a(j, i) = 0.0f;
    }
    a(i, i) = a(i, i) + 1.0f;
  }
}

}  // namespace svd_phases

namespace reference {

using svd_phases::Vec1;

void svdcmp(MatView matrix, int rows, int cols, std::span<float> singular_values,
            MatView right_vectors, const PauseHandler& pause) {
  PHASEFIT_CHECK(rows >= 1 && rows <= matrix.ld);
  PHASEFIT_CHECK(cols >= 1 && cols <= right_vectors.ld && cols <= kSvdcmpMaxCols);
  PHASEFIT_CHECK(singular_values.size() >= static_cast<std::size_t>(cols));

  const Vec1 w{singular_values};
  std::array<float, kSvdcmpMaxCols> superdiag;
  const Vec1 e{superdiag};
  const svd_phases::Bidiagonal bidiagonal =
      svd_phases::bidiagonalise_reference(matrix, rows, cols, w, e);
  svd_phases::accumulate_right_reference(matrix, cols, bidiagonal.g, e, right_vectors);
  svd_phases::accumulate_left_reference(matrix, rows, cols, w);
  svd_phases::ImmediateRotations u{matrix, rows};
  svd_phases::ImmediateRotations v{right_vectors, cols};
  // Phase 4 applies each rotation as it is formed.
  svd_phases::diagonalise(cols, w, e, bidiagonal.bidiag_norm, u, v, pause, [] {});
}

void svbksb(MatView left_vectors, std::span<const float> singular_values, MatView right_vectors,
            int rows, int cols, std::span<const float> rhs, std::span<float> solution) {
  PHASEFIT_CHECK(cols >= 1 && cols <= kSvbksbMaxCols);
  PHASEFIT_CHECK(rows >= 1 && rows <= left_vectors.ld && cols <= right_vectors.ld);
  PHASEFIT_CHECK(singular_values.size() >= static_cast<std::size_t>(cols));
  PHASEFIT_CHECK(rhs.size() >= static_cast<std::size_t>(rows));
  PHASEFIT_CHECK(solution.size() >= static_cast<std::size_t>(cols));

  const MatView& u = left_vectors;
  const MatView& v = right_vectors;
  const auto w = [&](int j) { return singular_values[static_cast<std::size_t>(j - 1)]; };
  const auto b = [&](int i) { return rhs[static_cast<std::size_t>(i - 1)]; };
  const Vec1 x{solution};
  // (U^T b)(j) / w(j), or 0 for a dropped singular value. 40 KB on the
  // stack; its capacity is the routine's limit on cols.
  std::array<float, kSvbksbMaxCols> projected_store;
  const Vec1 projected{projected_store};

  for (int j = 1; j <= cols; ++j) {
    float p = 0.0f;
    if (w(j) != 0.0f) {
      float s = 0.0f;
      for (int i = 1; i <= rows; ++i) s = s + u(i, j) * b(i);
      p = s / w(j);
    }
    projected(j) = p;
  }
  for (int j = 1; j <= cols; ++j) {
    float s = 0.0f;
    for (int jj = 1; jj <= cols; ++jj) s = s + v(j, jj) * projected(jj);
    x(j) = s;
  }
}

}  // namespace reference
}  // namespace phasefit::numerics
