#pragma once

#include <span>

#include "numerics/pause.hpp"

namespace phasefit::numerics {

// Sorts keys[0 .. count-1] ascending in place and applies the same
// permutation to companion (quicksort, median of three, explicit stack of
// 50 entries, straight insertion for ranges of at most 7 entries). The order
// of equal keys is the one this method produces. A full range stack raises
// the pause "NSTACK too small in sort2". No allocation.
void sort2(int count, std::span<float> keys, std::span<float> companion,
           const PauseHandler& pause);

}  // namespace phasefit::numerics
