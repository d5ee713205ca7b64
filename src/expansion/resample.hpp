#pragma once
// Resampling of a tabulated function onto other abscissae by a natural
// cubic spline; carries the phase function of a table (angle in degrees,
// phase value as tabulated) onto the grid angles.

#include <span>

#include "numerics/pause.hpp"

namespace phasefit::expansion {

// End slope that selects a natural end (zero second derivative) at both
// ends of the spline; bit pattern 0x72FC6F7C.
inline constexpr float natural_end_slope = 1e31f;

// Sorts (table_x, table_y) ascending by table_x in place (the pairs stay
// together and the caller's arrays remain sorted), fits the natural cubic
// spline and evaluates it at every target_x(i) into target_y(i); targets
// outside the table use the end interval's cubic continued.
// 2 <= table_count <= 5000; target_count >= 0 (0 still sorts). Throws
// TableFault when two rows share an angle, where the spline is undefined.
// The pause goes to sort2 and splint. No allocation.
void myspline(int table_count, std::span<float> table_x, std::span<float> table_y, int target_count,
              std::span<const float> target_x, std::span<float> target_y,
              const numerics::PauseHandler& pause);

}  // namespace phasefit::expansion
