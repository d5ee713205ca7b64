// Phases 1 to 3 of svdcmp arranged for the vector units: the
// bidiagonalisation and the accumulations of V and U, each walking the
// matrix as few times as its order of operations allows, with the inner
// loops of svd_kernels.cpp. Every element and every sum sees exactly the
// operations of the plain loops in svd_reference.cpp, in the same order, so
// the results are the same bits. Phase 4, the same for both forms, is in
// svd_phase_steps.hpp; svd.cpp runs the phases on its working copies.
//
// The glossary of svdcmp's short names is in svd_phase_steps.hpp.

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "numerics/svd.hpp"
#include "numerics/svd_kernels.hpp"
#include "numerics/svd_phase_steps.hpp"

namespace phasefit::numerics {
namespace svd_phases {

// Phase 2 on a row-major working copy of V: the accumulation of
// the row reflections, last to first. As in phase 3, the sums and the
// updates run along rows without transposition, and the update by
// reflection i shares its pass with the sums of reflection i-1. Those sums
// run over rows i..n: row i (set to the unit row after reflection i) gives
// their first terms, the pass the rest, in increasing row order. V ends up
// written to right_vectors, every element of its leading n x n block.
void accumulate_right_fast(const MatView& a, int n, const Vec1& e, std::span<float> copy,
                           const MatView& right_vectors) {
  const std::ptrdiff_t ldt = kRowMajorStride;
  float* const t = copy.data();
  const auto at = [&](int i, int j) -> float& {
    return t[static_cast<std::ptrdiff_t>(i - 1) * ldt + (j - 1)];
  };
  // dots[c]: the sum of reflection i for column i+1+c (continued in place
  // for reflection i-1, whose column i is dots[0] then); x: column i of V
  // (the reflection), y: row i-1 of a (the next one), both from column
  // (or row) i+1 on, made contiguous.
  std::array<float, kRowMajorStride + 1> dots;
  std::array<float, kRowMajorStride> x;
  std::array<float, kRowMajorStride> y;

  for (int i = n; i >= 1; --i) {
    const int l = i + 1;
    // Reflection i-1 uses g = e(i); its sums are needed unless that is 0.
    const bool next_sums = i > 1 && e(i) != 0.0f;
    if (next_sums)
      for (int k = l; k <= n; ++k) y[static_cast<std::size_t>(k - l)] = a(i - 1, k);
    if (i < n) {
      const float g = e(l);
      // Row i is the unit row once this reflection is done; it is never
      // updated, so it is set first and the next sums start from it.
      for (int j = l; j <= n; ++j) at(i, j) = 0.0f;
      // Column j gains s_j v(l..n, i), s_j = a(i, l..n) . v(l..n, j), the
      // sums formed in the previous pass; they become the factors before
      // dots is reused for the next sums.
      std::array<float, kRowMajorStride> factors;
      if (g != 0.0f)
        for (int c = 0; c < n - i; ++c)
          factors[static_cast<std::size_t>(c)] = dots[static_cast<std::size_t>(c)];
      if (next_sums)
        for (int j = l; j <= n; ++j)
          dots[static_cast<std::size_t>(j - i)] = 0.0f + a(i - 1, i) * at(i, j);
      float* const next_dots = next_sums ? dots.data() + 1 : nullptr;
      if (g != 0.0f) {
        // Two divisions, in this order, to avoid a possible underflow of
        // a(i, l) * g.
        for (int j = l; j <= n; ++j) x[static_cast<std::size_t>(j - l)] = (a(i, j) / a(i, l)) / g;
        kernels::row_major_update_dots(&at(l, l), ldt, n - i, n - i, factors.data(), x.data(),
                                       y.data(), next_dots, copy);
      } else if (next_sums) {
        kernels::row_major_update_dots(&at(l, l), ldt, n - i, n - i, nullptr, nullptr, y.data(),
                                       next_dots, copy);
      }
      for (int j = l; j <= n; ++j) at(j, i) = 0.0f;
    }
    at(i, i) = 1.0f;
    if (next_sums) {
      // Column i of the next sums: the unit row's term, then the zeros
      // below it.
      float s = 0.0f + a(i - 1, i) * at(i, i);
      for (int k = l; k <= n; ++k) s = s + y[static_cast<std::size_t>(k - l)] * at(k, i);
      dots[0] = s;
    }
  }
  kernels::from_row_major(t, ldt, n, n, right_vectors.data.data(), right_vectors.ld);
}

namespace {

// Phase 3 on a row-major copy of the matrix (where the 16-lane forms run):
// the accumulation of the column reflections into U. Both of its loops, the
// sums down the columns and the column updates, then run along rows,
// sixteen columns to a vector, without any transposition; and the update by reflection i is done
// in the same pass as the sums of reflection i-1, which read exactly the
// values that update leaves. Every element sees the operations of the
// column-major loops in the same order, and every sum adds its terms in the
// same order, so the result is bit for bit the same.
void accumulate_left_row_major(const MatView& a, int m, int n, const Vec1& w,
                               std::span<float> copy) {
  const std::ptrdiff_t ldt = kRowMajorStride;
  float* const t = copy.data();
  kernels::to_row_major(a.data.data(), a.ld, m, n, t, ldt);
  const auto at = [&](int i, int j) -> float& {
    return t[static_cast<std::ptrdiff_t>(i - 1) * ldt + (j - 1)];
  };
  // dots[c]: the sum of reflection i for column i+1+c; factors[c] its
  // update factor. x: column i before the step (the reflection), y:
  // column i-1 (the next reflection), both rows i..m, made contiguous.
  std::array<float, kRowMajorStride + 1> dots;
  std::array<float, kRowMajorStride> factors;
  std::array<float, kSvdfitRowDim> x;
  std::array<float, kSvdfitRowDim> y;

  const int top = m < n ? m : n;
  // The sums of the first reflection, over rows top+1..m of columns
  // top+1..n.
  if (w(top) != 0.0f) {
    for (int k = top + 1; k <= m; ++k) y[static_cast<std::size_t>(k - top - 1)] = at(k, top);
    for (int c = 0; c < n - top; ++c) dots[static_cast<std::size_t>(c)] = 0.0f;
    if (m > top)
      kernels::row_major_update_dots(&at(top + 1, top + 1), ldt, m - top, n - top, nullptr, nullptr,
                                     y.data(), dots.data(), copy);
  }
  // Column i of step i, in one walk down its rows (each in a line of its
  // own): the reflection kept in x, the column scaled (or zeroed) and its
  // diagonal raised by one, which leaves it final; and, for the next
  // reflection, column i-1 gathered into y and the sum over the final
  // column i, the first of the next sums. The kernel that follows touches
  // only columns i+1..n, so column i may be finished before it, and the
  // sum's chain of additions runs in the shadow of the walk.
  const auto finish_column = [&](int i, auto scaled, auto next_sums, float g) {
    float s = 0.0f;
    for (int k = i; k <= m; ++k) {
      const auto r = static_cast<std::size_t>(k - i);
      float value = 0.0f;
      if constexpr (scaled) {
        x[r] = at(k, i);
        value = x[r] * g;
      }
      if (k == i) value = value + 1.0f;
      at(k, i) = value;
      if constexpr (next_sums) {
        y[r] = at(k, i - 1);
        s = s + y[r] * value;
      }
    }
    if constexpr (next_sums) dots[0] = s;
  };
  for (int i = top; i >= 1; --i) {
    const int l = i + 1;
    float g = w(i);
    for (int j = l; j <= n; ++j) at(i, j) = 0.0f;
    // The next reflection's sums run over rows i..m, the rows this one
    // updates; they are needed unless its w is zero. They start at dots[1]:
    // dots[0] is column i's.
    const bool next_sums = i > 1 && w(i - 1) != 0.0f;
    const int count = m - i + 1;
    float* const next_dots = next_sums ? dots.data() + 1 : nullptr;
    if (g != 0.0f) {
      g = 1.0f / g;
      for (int c = 0; c < n - i; ++c)
        factors[static_cast<std::size_t>(c)] = (dots[static_cast<std::size_t>(c)] / at(i, i)) * g;
      if (next_sums) {
        for (int c = 1; c <= n - i; ++c) dots[static_cast<std::size_t>(c)] = 0.0f;
        finish_column(i, std::true_type{}, std::true_type{}, g);
      } else {
        finish_column(i, std::true_type{}, std::false_type{}, g);
      }
      kernels::row_major_update_dots(&at(i, l), ldt, count, n - i, factors.data(), x.data(),
                                     y.data(), next_dots, copy);
    } else {
      for (int c = 1; c <= n - i; ++c) dots[static_cast<std::size_t>(c)] = 0.0f;
      if (next_sums) {
        finish_column(i, std::false_type{}, std::true_type{}, g);
        kernels::row_major_update_dots(&at(i, l), ldt, count, n - i, nullptr, nullptr, y.data(),
                                       next_dots, copy);
      } else {
        finish_column(i, std::false_type{}, std::false_type{}, g);
      }
    }
  }
  kernels::from_row_major(t, ldt, m, n, a.data.data(), a.ld);
}

// Phase 3 (where the 8-lane forms run, or on a caller's matrix): the
// accumulation of the column reflections into U, in place.
// The update by reflection i is done in the same walk as the sums of
// reflection i-1, which read exactly the values that update leaves: one
// walk down the columns l..n per reflection, 16 or 32 columns side by side
// (column_update_dots). Every element sees the operations of the
// plain loops in the same order, and every sum adds its terms in the same
// order, so the result is bit for bit the same.
void accumulate_left_columns(const MatView& a, int m, int n, const Vec1& w) {
  // dots[c]: the sum of reflection i for column i+1+c; factors[c] its
  // update factor.
  std::array<float, kSvdcmpMaxCols + 1> dots;
  std::array<float, kSvdcmpMaxCols> factors;

  const int top = m < n ? m : n;
  // The sums of the first reflection, over rows top+1..m of columns
  // top+1..n.
  if (w(top) != 0.0f) {
    for (int c = 0; c < n - top; ++c) dots[static_cast<std::size_t>(c)] = 0.0f;
    if (m > top)
      kernels::column_update_dots(element(a, top + 1, top + 1), a.ld, m - top, n - top, nullptr,
                                  nullptr, element(a, top + 1, top), dots.data());
  }
  for (int i = top; i >= 1; --i) {
    const int l = i + 1;
    float g = w(i);
    for (int j = l; j <= n; ++j) a(i, j) = 0.0f;
    // The next reflection's sums run over rows i..m of column i-1 (which
    // this reflection leaves alone) against the rows this one updates;
    // they are needed unless its w is zero.
    const bool next_sums = i > 1 && w(i - 1) != 0.0f;
    const int count = m - i + 1;
    const float* const next_column = next_sums ? element(a, i, i - 1) : nullptr;
    float* const next_dots = next_sums ? dots.data() + 1 : nullptr;
    if (g != 0.0f) {
      g = 1.0f / g;
      for (int c = 0; c < n - i; ++c)
        factors[static_cast<std::size_t>(c)] = (dots[static_cast<std::size_t>(c)] / a(i, i)) * g;
      if (next_sums)
        for (int c = 1; c <= n - i; ++c) dots[static_cast<std::size_t>(c)] = 0.0f;
      // Column i is the reflection; it is scaled only after the update.
      kernels::column_update_dots(element(a, i, l), a.ld, count, n - i, factors.data(),
                                  element(a, i, i), next_column, next_dots);
      for (int k = i; k <= m; ++k) a(k, i) = a(k, i) * g;
    } else {
      for (int k = i; k <= m; ++k) a(k, i) = 0.0f;
      for (int c = 1; c <= n - i; ++c) dots[static_cast<std::size_t>(c)] = 0.0f;
      if (next_sums)
        kernels::column_update_dots(element(a, i, l), a.ld, count, n - i, nullptr, nullptr,
                                    next_column, next_dots);
    }
    a(i, i) = a(i, i) + 1.0f;
    if (next_sums) {
      // Column i itself, now final, is the first column of the next sums.
      float s = 0.0f;
      for (int k = i; k <= m; ++k) s = s + a(k, i - 1) * a(k, i);
      dots[0] = s;
    }
  }
}

// A reflection of phase 1 as formed from its vector (a column below the
// diagonal, or a row right of it): the scale the vector was divided by (0
// when the vector is zero and left as it is), g, the new diagonal entry,
// and h = f*g - s, the normalising denominator.
struct Reflection {
  float scale = 0.0f;
  float g = 0.0f;
  float h = 0.0f;
};

// Forms the reflection of x[0], x[step], ..., x[(count-1)*step]: the
// vector is divided by its scale, the sum of its magnitudes, and its first
// entry f becomes f - g.
Reflection form_reflection(float* x, std::ptrdiff_t step, int count) {
  Reflection r;
  for (int k = 0; k < count; ++k) r.scale = r.scale + std::abs(x[k * step]);
  if (r.scale == 0.0f) return r;
  float s = 0.0f;
  for (int k = 0; k < count; ++k) {
    x[k * step] = x[k * step] / r.scale;
    s = s + x[k * step] * x[k * step];
  }
  const float f = x[0];
  r.g = -sign(std::sqrt(s), f);
  r.h = f * r.g - s;
  x[0] = f - r.g;
  return r;
}

// The end of step i: column i scaled back (where its reflection scaled
// it), and the norm every negligibility test of phase 4 is taken against
// brought up to row i. A NaN is kept once it appears, so that no such test
// can succeed against a meaningless norm.
void end_step(const MatView& a, int i, int m, float column_scale, float wi, float ei,
              float& bidiag_norm) {
  if (column_scale != 0.0f)
    for (int k = i; k <= m; ++k) a(k, i) = column_scale * a(k, i);
  const float row_norm = std::abs(wi) + std::abs(ei);
  if (std::isnan(row_norm) || row_norm > bidiag_norm) bidiag_norm = row_norm;
}

}  // namespace

// Phase 1 in two single-pass walks a step: Householder reduction to upper
// bidiagonal form. Column reflections zero a column below the diagonal, row
// reflections zero a row right of the superdiagonal; the row step's vector
// is parked in e(l..n) until the next column's e(i) overwrites it.
//
// Each step walks the trailing matrix twice, and each walk reads and
// writes every element once:
//   walk A (update_row_dots), along the rows: the column update of step i
//     and the sums of its row reflection;
//   walk B (column_update_dots), down the columns, in step i+1: the row
//     update of step i and the sums of step i+1's column reflection.
// Walk B needs column i+1 complete, since its reflection is scaled by a
// sum over the whole column: that column receives its row update first, on
// its own. Walk A of the next step needs every factor of walk B. So two
// walks a step is the least this order of operations allows; every element
// still sees its operations in the plain loops' order.
Bidiagonal bidiagonalise_fast(const MatView& a, int m, int n, const Vec1& w, const Vec1& e) {
  // Row i of a from column l, made contiguous for walk A.
  std::array<float, kSvdcmpMaxCols> row_copy;
  // Column factors of the column step, and row factors (e(l..n)) of the
  // row step whose update is still pending, both indexed by column.
  std::array<float, kSvdcmpMaxCols> factors;
  std::array<float, kSvdcmpMaxCols> row_factors;
  const auto factor = [&](int j) -> float& { return factors[static_cast<std::size_t>(j - 1)]; };
  const auto row_factor = [&](int j) -> float& {
    return row_factors[static_cast<std::size_t>(j - 1)];
  };
  // The row reflection's sums, indexed by row; on the stack for svdfit's
  // matrices.
  std::array<float, kSvdfitRowDim> local_sums;
  std::vector<float> more_sums;
  if (m > kSvdfitRowDim) more_sums.resize(static_cast<std::size_t>(m));
  float* const sums = m > kSvdfitRowDim ? more_sums.data() : local_sums.data();
  const auto row_sum = [&](int r) -> float& { return sums[r - 1]; };

  // The last row step's reflection: e(i) and phase 2 start from its g.
  Reflection row;
  float bidiag_norm = 0.0f;
  // Whether rows i..m, columns i..n still wait for the previous step's row
  // update a(r, k) + row_sum(r) * row_factor(k).
  bool row_pending = false;
  for (int i = 1; i <= n; ++i) {
    const int l = i + 1;
    if (row_pending)
      for (int r = i; r <= m; ++r) a(r, i) = a(r, i) + row_sum(r) * row_factor(i);
    // Whether rows l..m still wait for this step's column update.
    bool update_pending = false;
    e(i) = row.scale * row.g;
    Reflection column;
    if (i <= m) {
      column = form_reflection(element(a, i, i), 1, m - i + 1);
      // Column j gains f_j a(i..m, i) with f_j = (a(i..m, i) . a(i..m, j)) / h.
      // Row i is updated at once, since the row step starts from it; rows
      // l..m are updated in walk A when there is a row step. Column i is
      // scaled back after that walk.
      if (column.scale != 0.0f && l <= n) {
        for (int j = l; j <= n; ++j) factor(j) = 0.0f;
        kernels::column_update_dots(element(a, i, l), a.ld, m - i + 1, n - l + 1,
                                    row_pending ? &row_factor(l) : nullptr, &row_sum(i),
                                    element(a, i, i), &factor(l));
        row_pending = false;
        for (int j = l; j <= n; ++j) factor(j) = factor(j) / column.h;
        for (int j = l; j <= n; ++j) a(i, j) = a(i, j) + factor(j) * a(i, i);
        update_pending = l <= m;
      }
    }
    if (row_pending && l <= n)
      kernels::column_updates(element(a, i, l), a.ld, m - i + 1, &row_sum(i), n - l + 1,
                              &row_factor(l));
    row_pending = false;
    w(i) = column.scale * column.g;
    row = Reflection{};
    if (i <= m && i != n) {
      row = form_reflection(element(a, i, l), a.ld, n - l + 1);
      if (row.scale != 0.0f) {
        for (int k = l; k <= n; ++k) e(k) = a(i, k) / row.h;
        // Row j gains s_j e(l..n) with s_j = a(j, l..n) . a(i, l..n); the
        // sums are formed here, the update waits for walk B.
        if (l <= m) {
          for (int k = l; k <= n; ++k) {
            row_copy[static_cast<std::size_t>(k - l)] = a(i, k);
            row_factor(k) = e(k);
          }
          kernels::update_row_dots(element(a, l, l), a.ld, m - l + 1, n - l + 1, element(a, l, i),
                                   update_pending ? &factor(l) : nullptr, row_copy.data(),
                                   &row_sum(l));
          update_pending = false;
          row_pending = true;
        }
        for (int k = l; k <= n; ++k) a(i, k) = row.scale * a(i, k);
      }
    }
    if (update_pending)
      kernels::column_updates(element(a, l, l), a.ld, m - l + 1, element(a, l, i), n - l + 1,
                              &factor(l));
    end_step(a, i, m, column.scale, w(i), e(i), bidiag_norm);
  }

  return {bidiag_norm, row.g};
}

namespace {

// Which arrangement of phase 3 runs. Its column-major walk needs
// in-register transposes, a quarter of a shuffle per element with 16
// lanes: there the row-major copy, walked on whole lines, is faster; with
// 8 lanes the column-major walk is (measured side by side with both forms
// of one processor; docs/benchmarks.md).
bool wide_vectors_run() { return kernels::vector_lanes() == 16; }

}  // namespace

void accumulate_left_fast(const MatView& a, int m, int n, const Vec1& w,
                          std::span<float> row_major) {
  if (!row_major.empty() && wide_vectors_run())
    accumulate_left_row_major(a, m, n, w, row_major);
  else
    accumulate_left_columns(a, m, n, w);
}

}  // namespace svd_phases
}  // namespace phasefit::numerics
