#include "numerics/spline.hpp"

#include <array>
#include <cstddef>

#include "contract.hpp"

namespace phasefit::numerics {

// Glossary, in the 1-based positions of the algorithm:
//   x, y  knot abscissae and ordinates;
//   y2    second derivatives (during the elimination, the subdiagonal
//         factors of the decomposed tridiagonal system);
//   u     elimination_work, the decomposed right-hand side;
//   sig   relative position of knot i between its neighbours;
//   p     pivot of elimination row i;
//   qn, un  coefficients of the last row (zero for a natural end).
void spline(std::span<const float> knot_x, std::span<const float> knot_y, int count,
            float slope_first, float slope_last, std::span<float> second_deriv,
            std::span<float> elimination_work) {
  PHASEFIT_CHECK(count >= 2);
  PHASEFIT_CHECK(knot_x.size() >= static_cast<std::size_t>(count));
  PHASEFIT_CHECK(knot_y.size() >= static_cast<std::size_t>(count));
  PHASEFIT_CHECK(second_deriv.size() >= static_cast<std::size_t>(count));
  PHASEFIT_CHECK(elimination_work.size() >= static_cast<std::size_t>(count));

  auto at = [](int position) { return static_cast<std::size_t>(position - 1); };
  auto x = [&](int i) { return knot_x[at(i)]; };
  auto y = [&](int i) { return knot_y[at(i)]; };
  auto y2 = [&](int i) -> float& { return second_deriv[at(i)]; };
  auto u = [&](int i) -> float& { return elimination_work[at(i)]; };
  const int n = count;

  // A NaN slope fails the comparison and is taken as a clamped slope.
  if (slope_first > natural_end_threshold) {
    y2(1) = 0.0f;
    u(1) = 0.0f;
  } else {
    y2(1) = -0.5f;
    const float h1 = x(2) - x(1);
    u(1) = ((y(2) - y(1)) / h1 - slope_first) * (3.0f / h1);
  }

  for (int i = 2; i <= n - 1; ++i) {
    const float sig = (x(i) - x(i - 1)) / (x(i + 1) - x(i - 1));
    const float p = 2.0f + y2(i - 1) * sig;
    y2(i) = (sig - 1.0f) / p;
    u(i) =
        ((6.0f * ((y(i + 1) - y(i)) / (x(i + 1) - x(i)) - (y(i) - y(i - 1)) / (x(i) - x(i - 1)))) /
             (x(i + 1) - x(i - 1)) -
         u(i - 1) * sig) /
        p;
  }

  float qn = 0.0f;
  float un = 0.0f;
  if (!(slope_last > natural_end_threshold)) {
    qn = 0.5f;
    const float hn = x(n) - x(n - 1);
    un = (slope_last - (y(n) - y(n - 1)) / hn) * (3.0f / hn);
  }
  y2(n) = (un - u(n - 1) * qn) / (1.0f + y2(n - 1) * qn);

  for (int k = n - 1; k >= 1; --k) y2(k) = y2(k) * y2(k + 1) + u(k);
}

void spline(std::span<const float> knot_x, std::span<const float> knot_y, int count,
            float slope_first, float slope_last, std::span<float> second_deriv) {
  PHASEFIT_CHECK(count <= kMaxSplineKnots);
  std::array<float, kMaxSplineKnots> elimination_work;
  spline(knot_x, knot_y, count, slope_first, slope_last, second_deriv, elimination_work);
}

// Glossary: lo, hi bracket the abscissa; h is the bracket's width; a and b
// are the weights of its two ends in the linear part.
float splint(std::span<const float> knot_x, std::span<const float> knot_y,
             std::span<const float> second_deriv, int count, float at, const PauseHandler& pause) {
  PHASEFIT_CHECK(count >= 1);
  PHASEFIT_CHECK(knot_x.size() >= static_cast<std::size_t>(count));
  PHASEFIT_CHECK(knot_y.size() >= static_cast<std::size_t>(count));
  PHASEFIT_CHECK(second_deriv.size() >= static_cast<std::size_t>(count));

  auto position = [](int i) { return static_cast<std::size_t>(i - 1); };
  auto x = [&](int i) { return knot_x[position(i)]; };

  // Bisection over the whole table each time: results must not depend on
  // the order of earlier calls.
  int lo = 1;
  int hi = count;
  while (hi - lo > 1) {
    const int k = (hi + lo) / 2;
    if (x(k) > at) {
      hi = k;
    } else {
      lo = k;
    }
  }

  const float h = x(hi) - x(lo);
  // Resumed, the evaluation carries on with h = 0 and yields NaN.
  if (h == 0.0f) pause("bad xa input in splint");
  const float a = (x(hi) - at) / h;
  const float b = (at - x(lo)) / h;
  const float y_lo = knot_y[position(lo)];
  const float y_hi = knot_y[position(hi)];
  const float y2_lo = second_deriv[position(lo)];
  const float y2_hi = second_deriv[position(hi)];
  return (y_lo * a + y_hi * b) +
         ((h * h) * ((a * a * a - a) * y2_lo + (b * b * b - b) * y2_hi)) / 6.0f;
}

}  // namespace phasefit::numerics
