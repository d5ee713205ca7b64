#pragma once
// Inner loops of the vectorised svdcmp and svbksb. Each keeps the rounding
// of the one-element-at-a-time loops exactly: a sum runs from +0 over its
// terms in increasing index order, every product is rounded before it is
// added, and nothing is fused. Vector lanes only ever hold different sums
// (or different elements of an update), never parts of one sum.
//
// Pointers address column-major storage with leading dimension ld; the
// caller guarantees the extents.

#include <cstddef>
#include <span>

#include "numerics/plane_rotation.hpp"

namespace phasefit::numerics::kernels {

// dots[c] = sum over t = 0 .. count-1 of u[t] * a[t + c*ld], for
// c = 0 .. cols-1: the dot products of u with `cols` consecutive columns.
void column_dots(const float* a, std::ptrdiff_t ld, int count, const float* u, int cols,
                 float* dots);

// For c = 0 .. cols-1 and t = 0 .. count-1:
// a[t + c*ld] = a[t + c*ld] + factors[c] * x[t].
void column_updates(float* a, std::ptrdiff_t ld, int count, const float* x, int cols,
                    const float* factors);

// dots[r] = sum over k = 0 .. cols-1 of a[r + k*ld] * x[k], for
// r = 0 .. rows-1: the dot products of `rows` consecutive rows with x.
void row_dots(const float* a, std::ptrdiff_t ld, int rows, int cols, const float* x, float* dots);

// For each column c = 0 .. cols-1 and, within it, each row t = 0 .. count-1
// in increasing order: if factors is not null,
// a[t + c*ld] = a[t + c*ld] + factors[c] * x[t]; then, if dots is not null,
// dots[c] = dots[c] + y[t] * a[t + c*ld] with the value just stored,
// continuing the sums the caller started in dots. In one walk down the
// columns: the update of one reflection with the column sums of the next
// (the accumulation of U), or the row update of a row reflection with the
// column sums of the next column reflection (the bidiagonalisation).
void column_update_dots(float* a, std::ptrdiff_t ld, int count, int cols, const float* factors,
                        const float* x, const float* y, float* dots);

// For each row r = 0 .. rows-1: if factors is not null, first
// a[r + k*ld] = a[r + k*ld] + factors[k] * u[r] for k = 0 .. cols-1; then
// sums[r] = the sum over k = 0 .. cols-1 of a[r + k*ld] * x[k], from +0, with
// the values just stored. In one walk along the rows: the column update of
// a column reflection with the row sums of the row reflection that follows.
void update_row_dots(float* a, std::ptrdiff_t ld, int rows, int cols, const float* u,
                     const float* factors, const float* x, float* sums);

// One pass of the accumulation of U over a row-major block t (row stride
// ldt, `cols` columns, `count` rows). For each row k in increasing order:
// if factors is not null, t[k][c] = t[k][c] + factors[c] * x[k] for every
// c; then, if dots is not null, dots[c] = dots[c] + y[k] * t[k][c] with the
// value just stored, continuing the sums the caller started in dots (with
// +0, or with the terms of earlier rows). This is the column update of one
// reflection fused with the column sums of the next one: each sum still
// runs over its rows in increasing order. storage is the whole array t
// points into: where the 64-byte lines holding the block lie inside it,
// the 16-lane form walks them whole, rewriting the elements around the
// block with their own bits.
void row_major_update_dots(float* t, std::ptrdiff_t ldt, int count, int cols, const float* factors,
                           const float* x, const float* y, float* dots,
                           std::span<const float> storage);

// Copies the leading rows x cols block of the column-major a into the
// row-major t (t[i*ldt + j] = a[i + j*lda]) or back.
void to_row_major(const float* a, std::ptrdiff_t lda, int rows, int cols, float* t,
                  std::ptrdiff_t ldt);
void from_row_major(const float* t, std::ptrdiff_t ldt, int rows, int cols, float* a,
                    std::ptrdiff_t lda);

// Applies rotations[0 .. count-1] in order to rows 0 .. rows-1 of the matrix
// whose column 1 starts at a.
void apply_rotations(float* a, std::ptrdiff_t ld, int rows, const PlaneRotation* rotations,
                     int count);

// Which builds of the kernels this processor can run: the baseline one
// always, the 8-lane AVX2 one where it has AVX2, the 16-lane AVX-512F one
// where it has AVX-512F (whatever use_narrow_vectors and
// use_baseline_vectors say).
struct ProcessorForms {
  bool avx2 = false;
  bool avx512f = false;
};
ProcessorForms processor_forms();

// Lanes of the vectors the kernels run with now: 16 where the 16-lane
// forms run, 8 otherwise.
int vector_lanes();

// With true, the 8-lane forms run even on a machine where the 16-lane
// forms would (for tests of both on one machine). Returns the previous
// setting.
bool use_narrow_vectors(bool narrow);

// With true, only the baseline build of the 8-lane forms runs, whatever the
// processor has (for tests of that build on any machine). Returns the
// previous setting.
bool use_baseline_vectors(bool baseline);

}  // namespace phasefit::numerics::kernels
