#pragma once

#include <span>

#include "numerics/pause.hpp"

namespace phasefit::numerics {

// An end slope strictly above this selects a natural end (zero second
// derivative).
inline constexpr float natural_end_threshold = 9.9e29f;
// Largest knot count the form of spline without a work array accepts (it
// keeps its elimination work on the stack).
inline constexpr int kMaxSplineKnots = 5000;

// Second derivatives of the interpolating cubic spline through
// (knot_x[i], knot_y[i]), i < count, knot_x strictly ascending, count >= 2.
// Writes second_deriv[0 .. count-1]; elimination_work[0 .. count-1] is
// overwritten. No allocation. The form without elimination_work takes
// count <= kMaxSplineKnots and gives the same bits.
void spline(std::span<const float> knot_x, std::span<const float> knot_y, int count,
            float slope_first, float slope_last, std::span<float> second_deriv,
            std::span<float> elimination_work);
void spline(std::span<const float> knot_x, std::span<const float> knot_y, int count,
            float slope_first, float slope_last, std::span<float> second_deriv);

// Value at `at` of the spline described by the knots and second_deriv
// (bisection over the whole table; the end intervals' cubics are continued
// outside the knots). A bracket of zero width raises the pause
// "bad xa input in splint"; resumed, the result is NaN.
float splint(std::span<const float> knot_x, std::span<const float> knot_y,
             std::span<const float> second_deriv, int count, float at, const PauseHandler& pause);

}  // namespace phasefit::numerics
