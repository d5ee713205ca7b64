#pragma once
// Legendre moments of the phase function on the grid, by Gauss-Legendre
// quadrature over the cosine, and the correction of a table whose
// normalisation is off.

#include <cstddef>
#include <span>

#include "expansion/limits.hpp"

namespace phasefit::expansion {

// Rows of the Legendre table: degrees 0..kMaxOrder.
inline constexpr int kLegendreRows = kMaxOrder + 1;

// Entry (l, i) of the Legendre table, l = 0..300, grid point i = 1..1000:
// the degrees of one grid point lie next to each other.
inline std::size_t apl_index(int l, int i) {
  return static_cast<std::size_t>(l) +
         static_cast<std::size_t>(i - 1) * static_cast<std::size_t>(kLegendreRows);
}

// Writes apl(l, i) = P_l(mu_grid(i)) for l = 0..n and every grid point
// (fleg with n + 1 terms per point); rows above n are left as they are.
// apl holds kLegendreRows * kGridPoints entries. No allocation.
void fill_legendre_table(std::span<const float, kGridPoints> mu_grid, int n, std::span<float> apl);

// The renormalisation test on the summed chi0: |chi0 - 1| > 0.05 in single
// precision, strictly greater (a NaN does not fire it).
bool renormalisation_fires(float chi0);

// Moments chi0..chin of phase_grid, chi_l = sum over i of
// 0.5 * ((w_i * p_i) * P_l(mu_i)), then divided by the summed chi0 with
// chi0 := 1. When the test above fires, phase_grid is divided by chi0 in
// place (the moments are not summed again). Fills `apl` as
// fill_legendre_table does; calfit reads it from there. Throws TableFault
// when the summed chi0 is 0 or not finite. moments holds n + 1 entries.
// Returns the summed chi0, before the division.
float calmom(std::span<const float, kGridPoints> mu_grid, std::span<float, kGridPoints> phase_grid,
             std::span<const float, kGridPoints> weight_grid, int n, std::span<float> moments,
             std::span<float> apl);

// calmom on a Legendre table that already holds rows 0..n for the grid
// (bfit keeps one filled in its workspace); apl is only read.
float calmom_on_table(std::span<float, kGridPoints> phase_grid,
                      std::span<const float, kGridPoints> weight_grid, int n,
                      std::span<float> moments, std::span<const float> apl);

}  // namespace phasefit::expansion
