#pragma once
// How well one job's expansion represents its table: the quantities of the
// fit-quality report. They are computed from the job's own results after the
// fit and never feed back into it, so asking for them changes no bit of the
// coefficients.

#include <cstdint>
#include <span>

#include "expansion/bfit.hpp"

namespace phasefit::expansion {

// Coefficients beyond this magnitude are flagged: a well-behaved truncated
// expansion of a normalised phase function stays far below it.
inline constexpr float kLargeCoefficient = 10.0f;

struct FitDiagnostics {
  // chi0 summed over the grid before the moments were normalised: half the
  // integral of the resampled table over the cosine (1 for a normalised
  // table).
  float chi0_sum = 0.0f;
  // phase_grid was divided by chi0_sum because it was off by more than 0.05.
  bool renormalised = false;
  // Relative deviations (P_i - Pfit(mu_i)) / P_i of the fitted expansion
  //   Pfit(mu) = (1 - ft) * sum over l = 0..N-1 of (2l + 1) c_l P_l(mu)
  // (c_l the rescaled coefficients written to the file) from phase_grid as
  // the fit saw it, over the 1000 grid points, in double: their root mean
  // square and the one of largest magnitude (signed).
  double rms_deviation = 0.0;
  double max_deviation = 0.0;
  // Grid points where phase_grid < 0.
  std::int32_t negative_phase_points = 0;
  // The rescaled expansion sum over l = 0..N-1 of (2l + 1) c_l P_l(mu) is
  // below 0 at some grid point.
  bool negative_reconstruction = false;
  // Some |c_l|, l = 0..N, exceeds kLargeCoefficient.
  bool large_coefficient = false;
  // ft lies outside [0, 1).
  bool ft_outside_0_1 = false;
};

// Fills every field of `diagnostics` but chi0_sum and renormalised from the
// job's results: phase_grid as fitted, the Legendre table `apl` of the grid
// (degrees 0..n, laid out as apl_index gives), the rescaled coefficients
// c_0..c_n and ft. No allocation.
void assess_fit(std::span<const float, kGridPoints> phase_grid, std::span<const float> apl, int n,
                std::span<const float> coefficients, float ft, FitDiagnostics& diagnostics);

}  // namespace phasefit::expansion
