#include "expansion/moments.hpp"

#include <array>
#include <cmath>

#include "expansion/fault.hpp"
#include "numerics/legendre.hpp"

namespace phasefit::expansion {

void fill_legendre_table(std::span<const float, kGridPoints> mu_grid, int n, std::span<float> apl) {
  std::array<float, kLegendreRows> poly;
  for (int i = 1; i <= kGridPoints; ++i) {
    numerics::fleg(mu_grid[static_cast<std::size_t>(i - 1)], poly, n + 1);
    for (int l = 0; l <= n; ++l) apl[apl_index(l, i)] = poly[static_cast<std::size_t>(l)];
  }
}

bool renormalisation_fires(float chi0) {
  // 0.05f is 0x3D4CCCCD; the nearest float to 1.05 stays inside
  // (difference 0.04999995), the nearest to 0.95 does not.
  return std::abs(chi0 - 1.0f) > 0.05f;
}

float calmom(std::span<const float, kGridPoints> mu_grid, std::span<float, kGridPoints> phase_grid,
             std::span<const float, kGridPoints> weight_grid, int n, std::span<float> moments,
             std::span<float> apl) {
  fill_legendre_table(mu_grid, n, apl);
  return calmom_on_table(phase_grid, weight_grid, n, moments, apl);
}

float calmom_on_table(std::span<float, kGridPoints> phase_grid,
                      std::span<const float, kGridPoints> weight_grid, int n,
                      std::span<float> moments, std::span<const float> apl) {
  // Each chi_l is summed over the grid points in ascending order, as the
  // quadrature is defined; running the grid points in the outer loop keeps
  // that order for every l while reading apl column by column.
  for (int l = 0; l <= n; ++l) moments[static_cast<std::size_t>(l)] = 0.0f;
  for (int i = 1; i <= kGridPoints; ++i) {
    const auto p = static_cast<std::size_t>(i - 1);
    const float weighted = weight_grid[p] * phase_grid[p];
    const float* column = &apl[apl_index(0, i)];
    for (int l = 0; l <= n; ++l) {
      float& chi = moments[static_cast<std::size_t>(l)];
      chi = 0.5f * (weighted * column[l]) + chi;
    }
  }

  const float chi0 = moments[0];
  // Every moment is divided by chi0 below; a table of zeros or one holding
  // NaN or Infinity would turn them all into NaN or Infinity.
  if (chi0 == 0.0f) throw TableFault("the phase function's normalisation (summed chi0) is 0");
  if (!std::isfinite(chi0))
    throw TableFault("the phase function's normalisation (summed chi0) is not finite (" +
                     format_value(chi0) + ")");

  if (renormalisation_fires(chi0)) {
    for (float& value : phase_grid) value = value / chi0;
  }
  for (int l = 1; l <= n; ++l) {
    float& chi = moments[static_cast<std::size_t>(l)];
    chi = chi / chi0;
  }
  moments[0] = 1.0f;
  return chi0;
}

}  // namespace phasefit::expansion
