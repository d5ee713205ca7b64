// The straightforward singular value decomposition by Householder
// bidiagonalisation and implicit-shift QR (Golub-Reinsch), and the
// least-squares solve on top of it: every loop as the algorithm states it,
// one element at a time. The vectorised routines in svd.cpp must reproduce
// its results bit for bit; this file stays as their yardstick. Every
// operation is a single-precision one, performed in the order written here:
// stored coefficient files are compared bit for bit, so sums are never
// reassociated and a division is never replaced by a reciprocal
// multiplication unless the algorithm itself forms the reciprocal.
//
// Glossary of the short names used in svdcmp (m = rows, n = cols):
//   a(i, j)  the matrix being decomposed; it ends up holding U.
//   w(i)     diagonal of the bidiagonal form, then the singular values.
//   v(i, j)  right singular vectors V (not transposed).
//   e(i)     superdiagonal of the bidiagonal form (`superdiag`); e(1) is
//            always 0, which is what stops the split search at l = 1.
//   f, g, h  Householder quantities in phases 1-3 (g = -sign(|x|, x1) the
//            new diagonal entry, h = f*g - s the normalising denominator),
//            and the running rotation values and shift in phase 4.
//   c, s     cosine and sine of a plane rotation (s is also a sum in
//            phases 1-3).
//   x, y, z  diagonal entries being rotated in a QR sweep; z = w(k) is the
//            trailing value of the current block.

#include "numerics/svd_reference.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "contract.hpp"

namespace phasefit::numerics::reference {
namespace {

// |x| carrying the sign bit of y, so that y = -0 counts as negative.
float sign(float x, float y) { return std::copysign(std::abs(x), y); }

// 1-based access to a vector.
struct Vec1 {
  std::span<float> data;
  float& operator()(int i) const { return data[static_cast<std::size_t>(i - 1)]; }
};

constexpr int kMaxPasses = 30;

}  // namespace

void svdcmp(MatView matrix, int rows, int cols, std::span<float> singular_values,
            MatView right_vectors, const PauseHandler& pause) {
  PHASEFIT_CHECK(rows >= 1 && rows <= matrix.ld);
  PHASEFIT_CHECK(cols >= 1 && cols <= right_vectors.ld && cols <= kSvdcmpMaxCols);
  PHASEFIT_CHECK(singular_values.size() >= static_cast<std::size_t>(cols));

  const MatView& a = matrix;
  const MatView& v = right_vectors;
  const Vec1 w{singular_values};
  std::array<float, kSvdcmpMaxCols> superdiag;
  const Vec1 e{superdiag};
  const int m = rows;
  const int n = cols;

  // Phase 1: Householder reduction to upper bidiagonal form. Column
  // reflections zero a column below the diagonal, row reflections zero a
  // row right of the superdiagonal. The row step's vector is parked in
  // e(l..n) until the next column's e(i) overwrites it.
  float g = 0.0f;
  float scale = 0.0f;
  float s = 0.0f;
  float bidiag_norm = 0.0f;
  int l = 0;
  for (int i = 1; i <= n; ++i) {
    l = i + 1;
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

  // Phase 2: accumulate the row reflections into V, last to first. Every
  // element of the leading n x n block is written before it is read.
  l = n + 1;
  for (int i = n; i >= 1; --i) {
    if (i < n) {
      if (g != 0.0f) {
        // Two divisions, in this order, to avoid a possible underflow of
        // a(i, l) * g.
        for (int j = l; j <= n; ++j) v(j, i) = (a(i, j) / a(i, l)) / g;
        for (int j = l; j <= n; ++j) {
          s = 0.0f;
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

  // Phase 3: accumulate the column reflections into U, in place.
  for (int i = (m < n ? m : n); i >= 1; --i) {
    l = i + 1;
    g = w(i);
    for (int j = l; j <= n; ++j) a(i, j) = 0.0f;
    if (g != 0.0f) {
      g = 1.0f / g;
      for (int j = l; j <= n; ++j) {
        s = 0.0f;
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

  // Phase 4: diagonalise the bidiagonal form, one singular value at a time
  // from the last, by implicit-shift QR sweeps over the unreduced block
  // l..k.
  for (int k = n; k >= 1; --k) {
    for (int pass = 1; pass <= kMaxPasses; ++pass) {
      // Split search. An entry is negligible when adding it to the norm
      // leaves the norm unchanged. e(1) is exactly 0, so the search stops
      // at l = 1 by the first test; it is stopped there explicitly as well,
      // because with a NaN norm no test succeeds and w(0) does not exist.
      bool cancel = false;
      for (l = k; l >= 1; --l) {
        if (l == 1 || std::abs(e(l)) + bidiag_norm == bidiag_norm) break;
        if (std::abs(w(l - 1)) + bidiag_norm == bidiag_norm) {
          cancel = true;
          break;
        }
      }
      if (cancel) {
        // w(l-1) is negligible: chase e(l) out of the block with rotations
        // between row l-1 and rows l..k.
        const int nm = l - 1;
        float c = 0.0f;
        s = 1.0f;
        for (int i = l; i <= k; ++i) {
          const float f = s * e(i);
          e(i) = c * e(i);
          if (std::abs(f) + bidiag_norm == bidiag_norm) break;
          g = w(i);
          float h = pythag(f, g);
          w(i) = h;
          h = 1.0f / h;
          c = g * h;
          s = -(f * h);
          for (int r = 1; r <= m; ++r) {
            const float y = a(r, nm);
            const float z = a(r, i);
            a(r, nm) = y * c + z * s;
            a(r, i) = z * c - y * s;
          }
        }
      }
      float z = w(k);
      if (l == k) {
        // Converged; make the singular value non-negative. A zero (of
        // either sign) is left as it is.
        if (z < 0.0f) {
          w(k) = -z;
          for (int r = 1; r <= n; ++r) v(r, k) = -v(r, k);
        }
        break;
      }
      // On resume the last pass still runs, and w(k) keeps what it leaves.
      if (pass == kMaxPasses) pause("no convergence in svdcmp");

      // Shift from the trailing 2 x 2 block.
      float x = w(l);
      const int nm = k - 1;
      float y = w(nm);
      g = e(nm);
      float h = e(k);
      float f = ((y - z) * (y + z) + (g - h) * (g + h)) / ((h + h) * y);
      g = pythag(f, 1.0f);
      f = ((x - z) * (x + z) + h * (y / (f + sign(g, f)) - h)) / x;

      // QR sweep: chase the bulge down the block.
      float c = 1.0f;
      s = 1.0f;
      for (int j = l; j <= nm; ++j) {
        const int i = j + 1;
        g = e(i);
        y = w(i);
        h = s * g;
        g = c * g;
        z = pythag(f, h);
        e(j) = z;
        c = f / z;
        s = h / z;
        f = x * c + g * s;
        g = g * c - x * s;
        h = y * s;
        y = y * c;
        for (int r = 1; r <= n; ++r) {
          const float t1 = v(r, j);
          const float t2 = v(r, i);
          v(r, j) = t1 * c + t2 * s;
          v(r, i) = t2 * c - t1 * s;
        }
        z = pythag(f, h);
        w(j) = z;
        // A zero z keeps the first rotation of this j.
        if (z != 0.0f) {
          z = 1.0f / z;
          c = f * z;
          s = h * z;
        }
        f = c * g + s * y;
        x = c * y - s * g;
        for (int r = 1; r <= m; ++r) {
          const float t1 = a(r, j);
          const float t2 = a(r, i);
          a(r, j) = t1 * c + t2 * s;
          a(r, i) = t2 * c - t1 * s;
        }
      }
      e(l) = 0.0f;
      e(k) = f;
      w(k) = x;
    }
  }
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

void svdfit(int rows, std::span<float> solution, int cols, MatView matrix,
            std::span<const float> rhs, SvdWorkspace& workspace, const PauseHandler& pause) {
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
  const Vec1 w{singular_values};

  reference::svdcmp(matrix, rows, cols, singular_values, v, pause);

  // A NaN is never taken as the largest and never falls below the
  // threshold; a value left negative by an unconverged pass always does.
  float largest = 0.0f;
  for (int j = 1; j <= cols; ++j)
    if (w(j) > largest) largest = w(j);
  const float threshold = relative_cutoff * largest;
  for (int j = 1; j <= cols; ++j)
    if (w(j) < threshold) w(j) = 0.0f;

  reference::svbksb(matrix, singular_values, v, rows, cols, rhs, solution);
}

}  // namespace phasefit::numerics::reference
