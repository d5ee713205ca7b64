#include "numerics/sort.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "contract.hpp"

namespace phasefit::numerics {

namespace {

constexpr int NSTACK = 50;
constexpr int insertion_cutoff = 7;

// Keys and companions with the 1-based positions of the algorithm; every
// move acts on both arrays at once.
class Pairs {
 public:
  Pairs(std::span<float> keys, std::span<float> companion) : keys_(keys), companion_(companion) {}

  float& key(int position) const { return keys_[index(position)]; }
  float& partner(int position) const { return companion_[index(position)]; }

  void swap(int first, int second) const {
    std::swap(key(first), key(second));
    std::swap(partner(first), partner(second));
  }
  void move(int from, int to) const {
    key(to) = key(from);
    partner(to) = partner(from);
  }

 private:
  static std::size_t index(int position) { return static_cast<std::size_t>(position - 1); }

  std::span<float> keys_;
  std::span<float> companion_;
};

// Straight insertion of positions lower .. upper. The backward scan is
// bounded by the first position of the whole array rather than by lower:
// everything before a range already holds keys no larger than the range's,
// so the scan stops at lower - 1 anyway, and the equal-key order stays the
// one stored results were made with.
void insertion_sort(const Pairs& pairs, int lower, int upper) {
  for (int j = lower + 1; j <= upper; ++j) {
    const float a = pairs.key(j);
    const float b = pairs.partner(j);
    int i = j - 1;
    while (i >= 1) {
      if (pairs.key(i) <= a) break;
      pairs.move(i, i + 1);
      --i;
    }
    pairs.key(i + 1) = a;
    pairs.partner(i + 1) = b;
  }
}

}  // namespace

namespace detail {

int sort2_with_stack(int count, std::span<float> keys, std::span<float> companion,
                     const PauseHandler& pause, std::span<int> range_stack) {
  PHASEFIT_CHECK(count <= 0 || keys.size() >= static_cast<std::size_t>(count));
  PHASEFIT_CHECK(count <= 0 || companion.size() >= static_cast<std::size_t>(count));
  const Pairs pairs(keys, companion);
  const int capacity = static_cast<int>(range_stack.size());
  // range_stack(top - 1) and range_stack(top) are the lower and upper bound
  // of the last pending range, in the 1-based numbering of the positions.
  auto stack = [&](int position) -> int& {
    return range_stack[static_cast<std::size_t>(position - 1)];
  };

  int lower = 1;
  int upper = count;
  int top = 0;
  int most_pending = 0;

  for (;;) {
    if (upper - lower < insertion_cutoff) {
      insertion_sort(pairs, lower, upper);
      if (top == 0) return most_pending;
      upper = stack(top);
      lower = stack(top - 1);
      top -= 2;
      continue;
    }

    // Median of three: keys(lower + 1) <= keys(lower) <= keys(upper)
    // afterwards, and keys(lower) becomes the pivot.
    const int mid = (lower + upper) / 2;
    pairs.swap(mid, lower + 1);
    if (pairs.key(lower + 1) > pairs.key(upper)) pairs.swap(lower + 1, upper);
    if (pairs.key(lower) > pairs.key(upper)) pairs.swap(lower, upper);
    if (pairs.key(lower + 1) > pairs.key(lower)) pairs.swap(lower + 1, lower);

    const float a = pairs.key(lower);
    const float b = pairs.partner(lower);
    int i = lower + 1;
    int j = upper;
    // keys(upper) stops the upward scan and keys(lower + 1) the downward
    // one, so neither leaves the range. Both stop on keys equal to the
    // pivot, which keeps the parts balanced on runs of equal keys.
    for (;;) {
      do {
        ++i;
      } while (pairs.key(i) < a);
      do {
        --j;
      } while (pairs.key(j) > a);
      if (j < i) break;
      pairs.swap(i, j);
    }
    pairs.move(j, lower);
    pairs.key(j) = a;
    pairs.partner(j) = b;

    // Push the larger part and go on with the smaller one, so at most
    // log2(count) ranges are ever pending.
    const bool push_right = upper - i + 1 >= j - lower;
    const int push_lower = push_right ? i : lower;
    const int push_upper = push_right ? upper : j - 1;
    if (push_right) {
      upper = j - 1;
    } else {
      lower = i;
    }

    top += 2;
    if (top > capacity) {
      pause("NSTACK too small in sort2");
      // Resumed: there is no room for the range, so finish it here by
      // straight insertion (slow on a large range, but sorted and within
      // bounds) and carry on with the other part.
      top -= 2;
      insertion_sort(pairs, push_lower, push_upper);
      continue;
    }
    stack(top - 1) = push_lower;
    stack(top) = push_upper;
    most_pending = std::max(most_pending, top / 2);
  }
}

}  // namespace detail

void sort2(int count, std::span<float> keys, std::span<float> companion,
           const PauseHandler& pause) {
  std::array<int, NSTACK> range_stack{};
  detail::sort2_with_stack(count, keys, companion, pause, range_stack);
}

}  // namespace phasefit::numerics
