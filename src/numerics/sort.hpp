#pragma once

#include <span>

#include "numerics/pause.hpp"

namespace phasefit::numerics {

// Sorts keys[0 .. count-1] ascending in place and applies the same
// permutation to companion (quicksort, median of three, explicit stack of
// 50 entries, straight insertion for ranges of at most 7 entries). The order
// of equal keys is the one this method produces. A full range stack raises
// the pause "NSTACK too small in sort2"; when the handler returns, the range
// that found no room is finished by straight insertion, so the result is
// still sorted and the stack is never overrun. No allocation.
void sort2(int count, std::span<float> keys, std::span<float> companion, const PauseHandler& pause);

namespace detail {

// sort2 with a caller-supplied range stack, whose size is the stack's
// capacity in entries (two per pending range). Returns the largest number
// of ranges that were pending at once. sort2 calls it with 50 entries;
// tests use it to observe the stack and to reach the full-stack path.
int sort2_with_stack(int count, std::span<float> keys, std::span<float> companion,
                     const PauseHandler& pause, std::span<int> range_stack);

}  // namespace detail

}  // namespace phasefit::numerics
