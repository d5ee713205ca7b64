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

#include "numerics/svd.hpp"

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

// The row reflection: for each row r = 0 .. rows-1, s = the dot product of
// the row with x (as row_dots), then a[r + k*ld] = a[r + k*ld] + s * y[k]
// for k = 0 .. cols-1.
void row_reflect(float* a, std::ptrdiff_t ld, int rows, int cols, const float* x, const float* y);

// Applies rotations[0 .. count-1] in order to rows 0 .. rows-1 of the matrix
// whose column 1 starts at a.
void apply_rotations(float* a, std::ptrdiff_t ld, int rows, const PlaneRotation* rotations,
                     int count);

}  // namespace phasefit::numerics::kernels
