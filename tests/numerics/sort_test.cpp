#include "numerics/sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "numerics/test_util.hpp"

namespace phasefit::numerics {
namespace {

using testing::expect_same_floats;
using testing::kNoPause;
using testing::PauseLog;

std::vector<float> one_to(int count) {
  std::vector<float> values(static_cast<std::size_t>(count));
  std::iota(values.begin(), values.end(), 1.0f);
  return values;
}

// The (key, companion) pairs in a canonical order, to check that sorting
// permuted whole pairs.
std::vector<std::pair<float, float>> pairs_of(const std::vector<float>& keys,
                                              const std::vector<float>& companion) {
  std::vector<std::pair<float, float>> pairs;
  for (std::size_t i = 0; i < keys.size(); ++i) pairs.emplace_back(keys[i], companion[i]);
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

void expect_sorted_with_pairs_kept(const std::vector<float>& keys,
                                   const std::vector<float>& companion,
                                   const std::vector<float>& original_keys,
                                   const std::vector<float>& original_companion) {
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(pairs_of(keys, companion), pairs_of(original_keys, original_companion));
}

TEST(Sort2, CountZeroOrOneChangesNothing) {
  for (int count : {0, 1}) {
    std::vector<float> keys = {5.0f, 3.0f};
    std::vector<float> companion = {7.0f, 8.0f};
    sort2(count, keys, companion, kNoPause);
    expect_same_floats(keys, std::array{5.0f, 3.0f});
    expect_same_floats(companion, std::array{7.0f, 8.0f});
  }
}

struct ExactCase {
  std::string name;
  std::vector<float> keys;
  std::vector<float> companion;
  std::vector<float> want_keys;
  std::vector<float> want_companion;
};

TEST(Sort2, EqualKeysComeOutInTheOrderOfTheMethod) {
  std::vector<float> fifteen_keys(10, 3.0f);
  fifteen_keys.insert(fifteen_keys.end(), 5, 1.0f);
  std::vector<float> fifteen_sorted(5, 1.0f);
  fifteen_sorted.insert(fifteen_sorted.end(), 10, 3.0f);

  const std::vector<ExactCase> cases = {
      {"four entries, straight insertion keeps input order",
       {2.0f, 1.0f, 2.0f, 1.0f},
       {101.0f, 102.0f, 103.0f, 104.0f},
       {1.0f, 1.0f, 2.0f, 2.0f},
       {102.0f, 104.0f, 101.0f, 103.0f}},
      {"fifteen entries, partitioned",
       fifteen_keys,
       one_to(15),
       fifteen_sorted,
       {15, 14, 13, 12, 11, 9, 10, 1, 2, 7, 6, 5, 4, 3, 8}},
      {"already ascending", one_to(40), one_to(40), one_to(40), one_to(40)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> keys = c.keys;
    std::vector<float> companion = c.companion;
    sort2(static_cast<int>(keys.size()), keys, companion, kNoPause);
    expect_same_floats(keys, c.want_keys);
    expect_same_floats(companion, c.want_companion);
  }
}

TEST(Sort2, DescendingTableRowsComeOutAscendingWithAFewPendingRanges) {
  std::vector<float> keys(498);
  std::vector<float> companion(498);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    keys[i] = 180.0f - static_cast<float>(i) * 0.25f;
    companion[i] = static_cast<float>(i) * 3.0f + 1.0f;
  }
  const auto original_keys = keys;
  const auto original_companion = companion;
  std::array<int, 50> range_stack{};
  const int most_pending = detail::sort2_with_stack(498, keys, companion, kNoPause, range_stack);
  expect_sorted_with_pairs_kept(keys, companion, original_keys, original_companion);
  EXPECT_LE(most_pending, 4);
  EXPECT_GE(most_pending, 1);
}

TEST(Sort2, RandomKeysWithRepeatsKeepTheirPairs) {
  std::mt19937 generator(12345);
  for (int count : {2, 7, 8, 9, 50, 498, 5000}) {
    for (int distinct : {1, 3, 1000000}) {
      SCOPED_TRACE("count = " + std::to_string(count) + ", distinct = " + std::to_string(distinct));
      std::uniform_int_distribution<int> draw(0, distinct - 1);
      std::vector<float> keys(static_cast<std::size_t>(count));
      for (float& key : keys) key = static_cast<float>(draw(generator)) * 0.5f - 100.0f;
      std::vector<float> companion = one_to(count);
      const auto original_keys = keys;
      const auto original_companion = companion;
      std::array<int, 50> range_stack{};
      const int most_pending =
          detail::sort2_with_stack(count, keys, companion, kNoPause, range_stack);
      expect_sorted_with_pairs_kept(keys, companion, original_keys, original_companion);
      // The smaller part is always taken first.
      EXPECT_LE(most_pending, std::max(1, static_cast<int>(std::log2(count / 8.0)) + 1));
    }
  }
}

TEST(Sort2, NanKeysNeitherHangNorLeaveTheArray) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> keys = {3, nan, 1, 8, nan, 2, 9, 4, nan, 7, 5, 6, nan, 0, 11, 10};
  std::vector<float> companion = one_to(static_cast<int>(keys.size()));
  sort2(static_cast<int>(keys.size()), keys, companion, kNoPause);
  // Comparisons with a NaN are false, so NaNs stop the partition scans and
  // the insertion scans run on past them; the order that results is fixed.
  expect_same_floats(companion,
                     std::array<float, 16>{13, 14, 3, 6, 1, 9, 8, 11, 12, 10, 2, 4, 7, 16, 15, 5});
}

TEST(Sort2, ResumedFullStackStillSortsAndStaysInsideTheStack) {
  constexpr int kGuard = -777;
  std::mt19937 generator(7);
  std::uniform_real_distribution<float> draw(-1.0f, 1.0f);
  for (std::size_t capacity : {0u, 2u, 4u}) {
    SCOPED_TRACE("capacity = " + std::to_string(capacity));
    std::vector<float> keys(2000);
    for (float& key : keys) key = draw(generator);
    std::vector<float> companion = one_to(2000);
    const auto original_keys = keys;
    const auto original_companion = companion;
    // Guard entries after the usable part of the stack catch any overrun.
    std::array<int, 8> storage;
    storage.fill(kGuard);
    PauseLog log;
    const int most_pending = detail::sort2_with_stack(2000, keys, companion, log.handler(),
                                                      std::span<int>(storage).first(capacity));
    expect_sorted_with_pairs_kept(keys, companion, original_keys, original_companion);
    ASSERT_FALSE(log.messages.empty());
    for (const auto& message : log.messages) EXPECT_EQ(message, "NSTACK too small in sort2");
    EXPECT_LE(most_pending, static_cast<int>(capacity) / 2);
    for (std::size_t k = capacity; k < storage.size(); ++k) EXPECT_EQ(storage[k], kGuard) << k;
  }
}

TEST(Sort2, FullStackEndsTheSortWhenThePauseThrows) {
  std::vector<float> keys(100);
  for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = static_cast<float>(100 - i);
  std::vector<float> companion = one_to(100);
  int pauses = 0;
  const PauseHandler stop = [&pauses](std::string_view message) {
    ++pauses;
    throw std::runtime_error(std::string(message));
  };
  EXPECT_THROW(detail::sort2_with_stack(100, keys, companion, stop, std::span<int>()),
               std::runtime_error);
  EXPECT_EQ(pauses, 1);
}

}  // namespace
}  // namespace phasefit::numerics
