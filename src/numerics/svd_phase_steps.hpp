#pragma once
// The four phases of svdcmp (Householder bidiagonalisation and implicit-
// shift QR, Golub-Reinsch), shared by its two forms: the plain loops of
// svd_reference.cpp, which state the arithmetic, and the vectorised ones of
// svd_fast_phases.cpp and svd.cpp, which must give the same bits. Internal
// to the numerics library (and to the benchmark that times the phases one
// by one).
//
// Every operation is a single-precision one, performed in the order the
// plain loops give: stored coefficient files are compared bit for bit, so
// sums are never reassociated and a division is never replaced by a
// reciprocal multiplication unless the algorithm itself forms the
// reciprocal.
//
// Glossary of the short names used in the phases (m = rows, n = cols):
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

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>

#include "numerics/matview.hpp"
#include "numerics/pause.hpp"
#include "numerics/svd.hpp"

namespace phasefit::numerics::svd_phases {

inline constexpr int kMaxPasses = 30;

// |x| carrying the sign bit of y, so that y = -0 counts as negative.
inline float sign(float x, float y) { return std::copysign(std::abs(x), y); }

// 1-based access to a vector.
struct Vec1 {
  std::span<float> data;
  float& operator()(int i) const { return data[static_cast<std::size_t>(i - 1)]; }
};

// Address of x(i, j), formed without the bounds check of the view, for the
// kernels.
inline float* element(const MatView& x, int i, int j) {
  return x.data.data() + static_cast<std::ptrdiff_t>(i - 1) +
         static_cast<std::ptrdiff_t>(j - 1) * static_cast<std::ptrdiff_t>(x.ld);
}

// The body of pythag, inlined into the diagonalisation's inner loop.
inline __attribute__((always_inline)) float hypotenuse(float p, float q) {
  // Divide by the larger magnitude first so that squaring neither overflows
  // nor underflows to zero.
  const float ap = std::abs(p);
  const float aq = std::abs(q);
  if (ap > aq) {
    const float r = aq / ap;
    return std::sqrt(1.0f + r * r) * ap;
  }
  if (aq == 0.0f) return 0.0f;
  const float r = ap / aq;
  return std::sqrt(1.0f + r * r) * aq;
}

// Rows phase 4 rotates in one of svdcmp's working copies: the matrix's
// rows and, where the copy has them, the padding rows after them up to a
// whole number of 16-float lines. svdcmp zeroes the padding before phase 4
// (rotations keep zeros zero) and never copies it out; with it, the last
// rows go through the vector units as one block instead of row by row.
inline int rotated_rows(int rows, std::ptrdiff_t ld) {
  const int padded = (rows + 15) / 16 * 16;
  return padded <= ld ? padded : rows;
}

// What phase 1 leaves for the others: the norm every negligibility test of
// phase 4 is taken against, and the g of the last row step, with which
// phase 2 starts.
struct Bidiagonal {
  float bidiag_norm = 0.0f;
  float g = 0.0f;
};

// svdcmp's line-aligned working copies in a workspace: U (column-major,
// leading dimension kWorkingLd), V (leading dimension kRowMajorStride) and
// the row-major scratch of the fast phases 2 and 3.
struct WorkingCopies {
  MatView a;
  MatView v;
  std::span<float> row_major;
};
// The copies for an m x n decomposition, or nothing if it does not fit them.
std::optional<WorkingCopies> working_copies(SvdWorkspace& workspace, int m, int n);

// Phase 1, the reduction of the leading m x n block of a to upper
// bidiagonal form (w, e); a keeps the reflections.
Bidiagonal bidiagonalise_reference(const MatView& a, int m, int n, const Vec1& w, const Vec1& e);
// The same with the vector kernels.
Bidiagonal bidiagonalise_fast(const MatView& a, int m, int n, const Vec1& w, const Vec1& e);

// Phase 2, V from the row reflections: writes every element of v's leading
// n x n block. The fast form works in row_major, a line-aligned row-major
// scratch of n rows of kRowMajorStride floats.
void accumulate_right_reference(const MatView& a, int n, float g, const Vec1& e, const MatView& v);
void accumulate_right_fast(const MatView& a, int n, const Vec1& e, std::span<float> row_major,
                           const MatView& v);

// Phase 3, U from the column reflections, in place in a. The fast form
// may work in row_major, m rows of kRowMajorStride floats (empty: it works
// in a alone).
void accumulate_left_reference(const MatView& a, int m, int n, const Vec1& w);
void accumulate_left_fast(const MatView& a, int m, int n, const Vec1& w,
                          std::span<float> row_major);

// Phase 4, the diagonalisation of the bidiagonal form by implicit-shift QR
// sweeps, one singular value at a time from the last. Every decision
// depends on w and e alone; the rotations of U's and V's columns go to
// u_rotations and v_rotations (rotate(first, second, c, s), negate(k)),
// which may apply them at once or later, in the order they come.
// before_pause runs just before the pause, so that a handler that ends
// the run finds U and V as the plain loops would leave them.
template <class URotations, class VRotations, class BeforePause>
void diagonalise(int n, const Vec1& w, const Vec1& e, float bidiag_norm, URotations& u_rotations,
                 VRotations& v_rotations, const PauseHandler& pause, BeforePause before_pause) {
  for (int k = n; k >= 1; --k) {
    for (int pass = 1; pass <= kMaxPasses; ++pass) {
      // Split search. An entry is negligible when adding it to the norm
      // leaves the norm unchanged. e(1) is exactly 0, so the search stops
      // at l = 1 by the first test; it is stopped there explicitly as well,
      // because with a NaN norm no test succeeds and w(0) does not exist.
      bool cancel = false;
      int l = k;
      for (; l >= 1; --l) {
        if (l == 1 || std::abs(e(l)) + bidiag_norm == bidiag_norm) break;
        if (std::abs(w(l - 1)) + bidiag_norm == bidiag_norm) {
          cancel = true;
          break;
        }
      }
      if (cancel) {
        // w(l-1) is negligible: chase e(l) out of the block with rotations
        // between column l-1 and columns l..k of U.
        const int nm = l - 1;
        float c = 0.0f;
        float s = 1.0f;
        for (int i = l; i <= k; ++i) {
          const float f = s * e(i);
          e(i) = c * e(i);
          if (std::abs(f) + bidiag_norm == bidiag_norm) break;
          const float g = w(i);
          float h = hypotenuse(f, g);
          w(i) = h;
          h = 1.0f / h;
          c = g * h;
          s = -(f * h);
          u_rotations.rotate(nm, i, c, s);
        }
      }
      float z = w(k);
      if (l == k) {
        // Converged; make the singular value non-negative. A zero (of
        // either sign) is left as it is.
        if (z < 0.0f) {
          w(k) = -z;
          v_rotations.negate(k);
        }
        break;
      }
      // On resume the last pass still runs, and w(k) keeps what it leaves.
      if (pass == kMaxPasses) {
        before_pause();
        pause("no convergence in svdcmp");
      }

      // Shift from the trailing 2 x 2 block.
      float x = w(l);
      const int nm = k - 1;
      float y = w(nm);
      float g = e(nm);
      float h = e(k);
      float f = ((y - z) * (y + z) + (g - h) * (g + h)) / ((h + h) * y);
      g = hypotenuse(f, 1.0f);
      f = ((x - z) * (x + z) + h * (y / (f + sign(g, f)) - h)) / x;

      // QR sweep: chase the bulge down the block.
      float c = 1.0f;
      float s = 1.0f;
      for (int j = l; j <= nm; ++j) {
        const int i = j + 1;
        g = e(i);
        y = w(i);
        h = s * g;
        g = c * g;
        z = hypotenuse(f, h);
        e(j) = z;
        c = f / z;
        s = h / z;
        f = x * c + g * s;
        g = g * c - x * s;
        h = y * s;
        y = y * c;
        v_rotations.rotate(j, i, c, s);
        z = hypotenuse(f, h);
        w(j) = z;
        // A zero z keeps the first rotation of this j.
        if (z != 0.0f) {
          z = 1.0f / z;
          c = f * z;
          s = h * z;
        }
        f = c * g + s * y;
        x = c * y - s * g;
        u_rotations.rotate(j, i, c, s);
      }
      e(l) = 0.0f;
      e(k) = f;
      w(k) = x;
    }
  }
}

// Phase 4's rotations, applied to the first `rows` rows of the target's
// columns as they come.
struct ImmediateRotations {
  MatView x;
  int rows;
  void rotate(int first, int second, float c, float s) const {
    for (int r = 1; r <= rows; ++r) {
      const float t1 = x(r, first);
      const float t2 = x(r, second);
      x(r, first) = t1 * c + t2 * s;
      x(r, second) = t2 * c - t1 * s;
    }
  }
  void negate(int column) const {
    for (int r = 1; r <= rows; ++r) x(r, column) = -x(r, column);
  }
};

}  // namespace phasefit::numerics::svd_phases
