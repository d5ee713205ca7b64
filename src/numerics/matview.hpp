#pragma once
// Column-major view with 1-based subscripts, so that loop bodies keep the
// algorithms' indices: a(i, j) with 1 <= i <= rows, 1 <= j <= cols lies at
// (i - 1) + (j - 1) * ld. rows and cols are the declared extents; routines
// receive the logical sizes they work on separately.

#include <cfloat>
#include <cstddef>
#include <span>

// Every Real operation must be rounded to 32 bits as it happens: a target
// that evaluates float expressions in a wider format (x87) would change
// results in the last bit, so such a build must not compile.
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must be evaluated in single precision");

namespace phasefit::numerics {

struct MatView {
  std::span<float> data;
  int rows = 0;
  int cols = 0;
  int ld = 0;  // leading dimension, ld >= rows

  float& operator()(int i, int j) const {
    return data[static_cast<std::size_t>(i - 1) +
                static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(ld)];
  }
  // Column j as a contiguous span of the first `count` rows.
  std::span<float> column(int j, int count) const {
    return data.subspan(static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(ld),
                        static_cast<std::size_t>(count));
  }
};

}  // namespace phasefit::numerics
