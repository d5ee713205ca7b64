#pragma once
// Resampling of a tabulated function onto other abscissae by a natural
// cubic spline; carries the phase function of a table (angle in degrees,
// phase value as tabulated) onto the grid angles.

#include <cstddef>
#include <span>

#include "numerics/pause.hpp"

namespace phasefit::expansion {

// End slope that selects a natural end (zero second derivative) at both
// ends of the spline; bit pattern 0x72FC6F7C.
inline constexpr float natural_end_slope = 1e31f;

// The first position i (1 <= i < table_x.size()) of an ascending table_x
// with table_x[i] == table_x[i - 1], or 0 when all are distinct.
std::size_t first_repeated_abscissa(std::span<const float> table_x);

// Fits the natural cubic spline through (table_x, table_y), table_x
// strictly ascending (2 or more knots), and evaluates it at every
// target_x(i) into target_y(i); targets outside the table use the end
// interval's cubic continued. `work` holds 2 * table_x.size() entries
// (second derivatives and the spline's elimination work). The pause goes
// to splint. No allocation.
void resample_sorted(std::span<const float> table_x, std::span<const float> table_y,
                     std::span<const float> target_x, std::span<float> target_y,
                     std::span<float> work, const numerics::PauseHandler& pause);

// Sorts (table_x, table_y) ascending by table_x in place (the pairs stay
// together and the caller's arrays remain sorted), then resample_sorted.
// 2 <= table_count <= 5000; target_count >= 0 (0 still sorts). Throws
// TableFault when two rows share an angle, where the spline is undefined.
// The pause goes to sort2 and splint. No allocation.
void myspline(int table_count, std::span<float> table_x, std::span<float> table_y, int target_count,
              std::span<const float> target_x, std::span<float> target_y,
              const numerics::PauseHandler& pause);

}  // namespace phasefit::expansion
