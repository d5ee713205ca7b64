#pragma once
// How well one job's expansion represents its table: the quantities of the
// fit-quality report. They are computed from the job's own results after the
// fit and never feed back into it, so asking for them changes no bit of the
// coefficients.

#include <cstdint>
#include <phasefit/fit.hpp>
#include <span>

#include "expansion/limits.hpp"

namespace phasefit::expansion {

// Coefficients beyond this magnitude are flagged: a well-behaved truncated
// expansion of a normalised phase function stays far below it.
inline constexpr float kLargeCoefficient = 10.0f;

// How far below 0 a truncation factor may lie and still count as 0. Where
// the table has no forward peak to truncate, the fit returns a zero ft with
// the rounding noise of its single-precision solve, a few units in the last
// place of the fitted coefficients, which are of order 1: values such as
// -1.3e-8 or -4.1e-7. The bound is half a unit in the sixth decimal, about
// four float epsilons, so it also parts exactly what record 9 shows (F9.6):
// below it ft reads -0.000001 or less, from it up to 0 it reads -0.000000.
// Such an ft moves each rescaled coefficient c by ft (c - 1) / (1 - ft),
// at most a unit in the sixth decimal for |c| <= 1. There is no margin at 1: an ft at
// or above 1 leaves the rescaling a divisor 1 - ft that is 0 or negative.
inline constexpr double kFtRoundingNoise = 5e-7;

// The report's quantities of one job (phasefit/fit.hpp describes each):
// the library hands the same structure to its callers.
using FitDiagnostics = phasefit::FitDiagnostics;

// Fills every field of `diagnostics` but chi0_sum, renormalised,
// extrapolated_points and field_overflow (the fit sets those where it
// knows them) from the
// job's results: phase_grid as fitted, the Legendre table `apl` of the grid
// (degrees 0..n, laid out as apl_index gives), the rescaled coefficients
// c_0..c_n and ft. No allocation.
void assess_fit(std::span<const float, kGridPoints> phase_grid, std::span<const float> apl, int n,
                std::span<const float> coefficients, float ft, FitDiagnostics& diagnostics);

// The grid angles (degrees) outside [smallest, largest] of the table's
// angles (degrees, any order); a NaN angle of the table is passed over, and
// a NaN grid angle counts as outside. No allocation.
std::int32_t count_extrapolated_points(std::span<const float> table_angle,
                                       std::span<const float> theta_grid);

}  // namespace phasefit::expansion
