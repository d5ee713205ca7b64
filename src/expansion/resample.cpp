#include "expansion/resample.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "expansion/fault.hpp"
#include "numerics/sort.hpp"
#include "numerics/spline.hpp"

namespace phasefit::expansion {

static_assert(std::bit_cast<std::uint32_t>(natural_end_slope) == 0x72FC6F7Cu);
static_assert(natural_end_slope > numerics::natural_end_threshold);

void myspline(int table_count, std::span<float> table_x, std::span<float> table_y, int target_count,
              std::span<const float> target_x, std::span<float> target_y,
              const numerics::PauseHandler& pause) {
  const auto rows = static_cast<std::size_t>(table_count);
  std::array<float, numerics::kMaxSplineKnots> second_deriv;

  numerics::sort2(table_count, table_x.first(rows), table_y.first(rows), pause);

  // Two rows at one angle make an interval of zero width: the spline
  // divides by it and spreads infinities over the whole grid.
  for (std::size_t i = 1; i < rows; ++i) {
    if (table_x[i] == table_x[i - 1])
      throw TableFault("rows with equal angles (" + format_value(table_x[i]) +
                       " degrees): the spline is undefined");
  }

  numerics::spline(table_x.first(rows), table_y.first(rows), table_count, natural_end_slope,
                   natural_end_slope, std::span<float>(second_deriv).first(rows));
  for (std::size_t i = 0; i < static_cast<std::size_t>(target_count); ++i) {
    const float at = target_x[i];
    target_y[i] =
        numerics::splint(table_x.first(rows), table_y.first(rows),
                         std::span<const float>(second_deriv).first(rows), table_count, at, pause);
  }
}

}  // namespace phasefit::expansion
