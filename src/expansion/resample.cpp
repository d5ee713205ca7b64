#include "expansion/resample.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "contract.hpp"
#include "expansion/fault.hpp"
#include "numerics/sort.hpp"
#include "numerics/spline.hpp"

namespace phasefit::expansion {

static_assert(std::bit_cast<std::uint32_t>(natural_end_slope) == 0x72FC6F7Cu);
static_assert(natural_end_slope > numerics::natural_end_threshold);

std::size_t first_repeated_abscissa(std::span<const float> table_x) {
  for (std::size_t i = 1; i < table_x.size(); ++i)
    if (table_x[i] == table_x[i - 1]) return i;
  return 0;
}

void resample_sorted(std::span<const float> table_x, std::span<const float> table_y,
                     std::span<const float> target_x, std::span<float> target_y,
                     std::span<float> work, const numerics::PauseHandler& pause) {
  const std::size_t rows = table_x.size();
  PHASEFIT_CHECK(table_y.size() == rows && work.size() >= 2 * rows);
  PHASEFIT_CHECK(target_y.size() >= target_x.size());
  const int count = static_cast<int>(rows);
  const std::span<float> second_deriv = work.first(rows);
  numerics::spline(table_x, table_y, count, natural_end_slope, natural_end_slope, second_deriv,
                   work.subspan(rows, rows));
  for (std::size_t i = 0; i < target_x.size(); ++i)
    target_y[i] = numerics::splint(table_x, table_y, second_deriv, count, target_x[i], pause);
}

void myspline(int table_count, std::span<float> table_x, std::span<float> table_y, int target_count,
              std::span<const float> target_x, std::span<float> target_y,
              const numerics::PauseHandler& pause) {
  PHASEFIT_CHECK(table_count >= 2 && table_count <= numerics::kMaxSplineKnots);
  const auto rows = static_cast<std::size_t>(table_count);
  std::array<float, 2 * numerics::kMaxSplineKnots> work;

  numerics::sort2(table_count, table_x.first(rows), table_y.first(rows), pause);

  // Two rows at one angle make an interval of zero width: the spline
  // divides by it and spreads infinities over the whole grid.
  if (const std::size_t i = first_repeated_abscissa(table_x.first(rows)); i != 0)
    throw TableFault("rows with equal angles (" + format_value(table_x[i]) +
                     " degrees): the spline is undefined");

  const auto targets = static_cast<std::size_t>(target_count);
  resample_sorted(table_x.first(rows), table_y.first(rows), target_x.first(targets),
                  target_y.first(targets), work, pause);
}

}  // namespace phasefit::expansion
