#include "expansion/diagnostics.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#include "expansion/moments.hpp"

namespace phasefit::expansion {

void assess_fit(std::span<const float, kGridPoints> phase_grid, std::span<const float> apl, int n,
                std::span<const float> coefficients, float ft, FitDiagnostics& diagnostics) {
  // The assessment is a check on the single-precision result, so it runs
  // in double: its own rounding stays far below the deviations it reports.
  using Wide = double;
  const Wide scale = 1.0 - static_cast<Wide>(ft);
  Wide sum_of_squares = 0.0;
  Wide largest = 0.0;
  std::int32_t negatives = 0;
  bool negative_reconstruction = false;
  for (int i = 1; i <= kGridPoints; ++i) {
    const float* column = &apl[apl_index(0, i)];
    Wide series = 0.0;
    for (int l = 0; l <= n - 1; ++l)
      series += static_cast<Wide>(2 * l + 1) *
                static_cast<Wide>(coefficients[static_cast<std::size_t>(l)]) *
                static_cast<Wide>(column[l]);
    if (series < 0.0) negative_reconstruction = true;
    const Wide phase = static_cast<Wide>(phase_grid[static_cast<std::size_t>(i - 1)]);
    if (phase < 0.0) ++negatives;
    const Wide deviation = (phase - scale * series) / phase;
    sum_of_squares += deviation * deviation;
    if (!(std::abs(deviation) <= std::abs(largest))) largest = deviation;
  }
  diagnostics.rms_deviation = std::sqrt(sum_of_squares / static_cast<Wide>(kGridPoints));
  diagnostics.max_deviation = largest;
  diagnostics.negative_points = negatives;
  diagnostics.negative_reconstruction = negative_reconstruction;
  bool large = false;
  for (int l = 0; l <= n; ++l)
    if (std::abs(coefficients[static_cast<std::size_t>(l)]) > kLargeCoefficient) large = true;
  diagnostics.large_coefficient = large;
  diagnostics.ft_outside_0_1 = !(static_cast<double>(ft) >= -kFtRoundingNoise && ft < 1.0f);
}

std::int32_t count_extrapolated_points(std::span<const float> table_angle,
                                       std::span<const float> theta_grid) {
  float smallest = std::numeric_limits<float>::infinity();
  float largest = -std::numeric_limits<float>::infinity();
  for (const float angle : table_angle) {
    if (angle < smallest) smallest = angle;
    if (angle > largest) largest = angle;
  }
  std::int32_t outside = 0;
  for (const float theta : theta_grid)
    if (!(theta >= smallest && theta <= largest)) ++outside;
  return outside;
}

}  // namespace phasefit::expansion
