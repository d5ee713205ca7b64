#include "numerics/legendre.hpp"

#include <cmath>
#include <cstddef>

#include "contract.hpp"

namespace phasefit::numerics {

// fleg glossary:
//   f2  the running factor (2n - 1) x, grown by twox each step;
//   f1  the running factor n - 1;
//   d   the running divisor n.
// The factors are running float sums rather than products so that their
// rounding accumulates step by step exactly as in stored results.
void fleg(float x, std::span<float> poly, int term_count) {
  PHASEFIT_CHECK(poly.size() >= 2);
  PHASEFIT_CHECK(term_count <= 2 || poly.size() >= static_cast<std::size_t>(term_count));

  poly[0] = 1.0f;
  poly[1] = x;
  if (term_count <= 2) return;

  const float twox = x + x;
  float f2 = x;
  float d = 1.0f;
  for (int k = 3; k <= term_count; ++k) {
    const float f1 = d;
    f2 = f2 + twox;
    d = d + 1.0f;
    const auto at = static_cast<std::size_t>(k - 1);
    // Subtract before dividing, and divide by d itself (not multiply by its
    // reciprocal): both choices show in the last bit.
    poly[at] = (f2 * poly[at - 1] - f1 * poly[at - 2]) / d;
  }
}

// gauleg glossary (all Wide):
//   xm, xl  midpoint and half-length of the interval;
//   z, z1   current and previous Newton iterate of a root of P_count;
//   p1..p3  P_j, P_(j-1), P_(j-2) while the recurrence climbs to count;
//   pp      derivative of P_count at the iterate before the last update.
void gauleg(float lower, float upper, std::span<float> nodes, std::span<float> weights, int count) {
  using Wide = double;
  // The first guess uses this decimal value of pi, not the correctly rounded
  // one; the Newton iteration removes the difference, except in the last
  // bit of roots that converge at the tolerance.
  constexpr Wide pi_guess = 3.141592654;
  constexpr Wide newton_tolerance = 3e-14;

  if (count <= 0) return;
  PHASEFIT_CHECK(nodes.size() >= static_cast<std::size_t>(count));
  PHASEFIT_CHECK(weights.size() >= static_cast<std::size_t>(count));

  const int half = (count + 1) / 2;
  // The sum and difference are rounded to float first; the halving in
  // double is then exact.
  const float sum = lower + upper;
  const float diff = upper - lower;
  const Wide xm = 0.5 * static_cast<Wide>(sum);
  const Wide xl = 0.5 * static_cast<Wide>(diff);
  const Wide count_wide = static_cast<Wide>(count);

  for (int i = 1; i <= half; ++i) {
    Wide z = std::cos(pi_guess * (static_cast<Wide>(i) - 0.25) / (count_wide + 0.5));
    Wide z1 = 0.0;
    Wide pp = 0.0;
    // A NaN change also ends the iteration: the comparison is then false.
    do {
      Wide p1 = 1.0;
      Wide p2 = 0.0;
      for (int j = 1; j <= count; ++j) {
        const Wide p3 = p2;
        p2 = p1;
        p1 = (static_cast<Wide>(j + j - 1) * z * p2 - static_cast<Wide>(j - 1) * p3) /
             static_cast<Wide>(j);
      }
      pp = count_wide * (z * p1 - p2) / (z * z - 1.0);
      z1 = z;
      z = z1 - p1 / pp;
    } while (std::abs(z - z1) > newton_tolerance);

    const auto first = static_cast<std::size_t>(i - 1);
    const auto mirror = static_cast<std::size_t>(count - i);
    nodes[first] = static_cast<float>(xm - xl * z);
    nodes[mirror] = static_cast<float>(xm + xl * z);
    weights[first] = static_cast<float>(2.0 * xl / ((1.0 - z * z) * pp * pp));
    // Copy the stored float so the two weights agree bit for bit.
    weights[mirror] = weights[first];
  }
}

}  // namespace phasefit::numerics
