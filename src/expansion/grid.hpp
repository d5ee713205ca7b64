#pragma once
// The fixed 1000-point angular grid every table is resampled, integrated and
// fitted on: a 100-point Gauss-Legendre rule for the cone within 5 degrees
// of the forward direction, a 400-point rule for the rest of the forward
// hemisphere, both mirrored into the backward hemisphere.

#include <array>
#include <bit>
#include <cstdint>

#include "expansion/limits.hpp"

namespace phasefit::expansion {

// Single-precision value nearest cos 5 degrees: the seam between the two
// rules.
inline constexpr float forward_cone_cosine = std::bit_cast<float>(std::uint32_t{0x3F7F069E});
inline constexpr int kConePoints = 100;
inline constexpr int kSidePoints = 400;

// Index p of the grid (1-based in the algorithms) is element p - 1 here.
struct QuadratureGrid {
  std::array<float, kGridPoints> mu_grid;      // cosines, strictly ascending
  std::array<float, kGridPoints> weight_grid;  // symmetric, sum 2
  std::array<float, kGridPoints> theta_grid;   // degrees, descending
};

// Fills every entry of `grid`. The result depends on constants only, so
// every call gives the same bits; mirrored cosines are exact negatives and
// mirrored weights identical. No allocation.
void build_quadrature_grid(QuadratureGrid& grid);

// Angle in degrees of a cosine: acos(cosine) * 180 / 3.1415925, each step
// rounded to single precision, multiplying before dividing. The arc cosine
// is the C library's scalar acosf: it is kept out of line so that no caller
// loop can be turned into a vector arc cosine, which rounds differently in
// the last bit.
[[gnu::noinline]] float degrees_from_cosine(float cosine);

}  // namespace phasefit::expansion
