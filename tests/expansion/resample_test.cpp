#include "expansion/resample.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "expansion/fault.hpp"
#include "expansion/grid.hpp"
#include "expansion/table.hpp"
#include "expansion_test_util.hpp"
#include "numerics/test_util.hpp"

namespace phasefit::expansion {
namespace {

using phasefit::testing::bits;
using phasefit::testing::failing_pause;
using phasefit::testing::forward_peaked;
using phasefit::testing::table_angles;

using Column = std::array<float, kTableRows>;
using OnGrid = std::array<float, kGridPoints>;

using phasefit::testing::grid;

OnGrid resample(Column x, Column y) {
  OnGrid out;
  out.fill(-1.0f);
  myspline(kTableRows, x, y, kGridPoints, grid().theta_grid, out, failing_pause());
  return out;
}

// The forward-peaked test function tabulated in degrees (ascending angle)
// and, for the same rows, as cosines.
void tabulate(Column& degrees, Column& cosines, Column& phase) {
  const auto angles = table_angles();
  const double pi = std::acos(-1.0);
  for (std::size_t i = 0; i < angles.size(); ++i) {
    const double mu = std::cos(angles[i] * pi / 180.0);
    degrees[i] = static_cast<float>(angles[i]);
    cosines[i] = static_cast<float>(mu);
    phase[i] = static_cast<float>(forward_peaked(mu));
  }
}

void expect_same_bits(const OnGrid& a, const OnGrid& b, const char* what) {
  for (std::size_t i = 0; i < a.size(); ++i)
    ASSERT_EQ(bits(a[i]), bits(b[i])) << what << ", grid point " << i + 1;
}

TEST(Myspline, RowOrderOfTheTableDoesNotMatter) {
  Column degrees, cosines, phase;
  tabulate(degrees, cosines, phase);
  Column reversed_degrees = degrees, reversed_phase = phase;
  std::reverse(reversed_degrees.begin(), reversed_degrees.end());
  std::reverse(reversed_phase.begin(), reversed_phase.end());
  Column shuffled_degrees = degrees, shuffled_phase = phase;
  for (std::size_t i = 0; i + 7 < kTableRows; i += 7) {
    std::swap(shuffled_degrees[i], shuffled_degrees[i + 5]);
    std::swap(shuffled_phase[i], shuffled_phase[i + 5]);
  }
  const OnGrid ascending = resample(degrees, phase);
  expect_same_bits(ascending, resample(reversed_degrees, reversed_phase), "descending degrees");
  expect_same_bits(ascending, resample(shuffled_degrees, shuffled_phase), "shuffled degrees");

  // A cosine table converts to other angles than the degree table, so the
  // cosine form is compared with itself reversed. Its cosines are spaced
  // evenly: the degree table's first angles would all round to cosine 1.
  const auto even = phasefit::testing::table_cosines();
  for (std::size_t i = 0; i < kTableRows; ++i) {
    cosines[i] = static_cast<float>(even[i]);
    phase[i] = static_cast<float>(forward_peaked(even[i]));
  }
  reversed_phase = phase;
  std::reverse(reversed_phase.begin(), reversed_phase.end());
  Column reversed_cosines = cosines;
  std::reverse(reversed_cosines.begin(), reversed_cosines.end());
  convert_cosines_to_degrees(cosines);
  convert_cosines_to_degrees(reversed_cosines);
  const OnGrid from_cosines = resample(cosines, phase);
  expect_same_bits(from_cosines, resample(reversed_cosines, reversed_phase), "cosines reversed");
  // ... and it describes the same function, away from the forward peak
  // that evenly spaced cosines sample coarsely.
  for (std::size_t i = 0; i < 700; ++i)
    EXPECT_NEAR(from_cosines[i], ascending[i], 1e-2f * std::abs(ascending[i])) << "i = " << i + 1;
}

TEST(Myspline, SortsTheTableInPlaceKeepingThePairs) {
  Column x, y;
  for (std::size_t i = 0; i < kTableRows; ++i) {
    x[i] = static_cast<float>((i * 211) % kTableRows);  // a permutation of 0..497
    y[i] = 3.0f * x[i] + 1.0f;
  }
  OnGrid out;
  myspline(kTableRows, x, y, kGridPoints, grid().theta_grid, out, failing_pause());
  for (std::size_t i = 0; i < kTableRows; ++i) {
    EXPECT_EQ(x[i], static_cast<float>(i));
    EXPECT_EQ(y[i], 3.0f * x[i] + 1.0f) << "pair split at " << i;
  }
}

TEST(Myspline, LinearFunctionStaysOnItsLineBeyondTheTable) {
  // Angles 1..179 only: the grid's ends lie outside and take the end
  // intervals' cubics continued, which for a line are the line.
  Column x, y;
  for (std::size_t i = 0; i < kTableRows; ++i) {
    x[i] = 1.0f + 178.0f * static_cast<float>(i) / static_cast<float>(kTableRows - 1);
    y[i] = 2.0f - 0.01f * x[i];
  }
  const OnGrid out = resample(x, y);
  for (std::size_t i = 0; i < kGridPoints; ++i) {
    const float want = 2.0f - 0.01f * grid().theta_grid[i];
    EXPECT_NEAR(out[i], want, 2e-5f) << "theta = " << grid().theta_grid[i];
  }
}

TEST(Myspline, ZeroTargetsStillSort) {
  std::array<float, 4> x{3.0f, 1.0f, 2.0f, 0.0f};
  std::array<float, 4> y{30.0f, 10.0f, 20.0f, 0.0f};
  std::array<float, 1> out{-5.0f};
  myspline(4, x, y, 0, std::span<const float>(), out, failing_pause());
  EXPECT_EQ(x, (std::array<float, 4>{0.0f, 1.0f, 2.0f, 3.0f}));
  EXPECT_EQ(y, (std::array<float, 4>{0.0f, 10.0f, 20.0f, 30.0f}));
  EXPECT_EQ(out[0], -5.0f);
}

TEST(Myspline, EqualAnglesAreATableFault) {
  for (std::size_t duplicate : {std::size_t{1}, std::size_t{250}, std::size_t{kTableRows - 1}}) {
    Column x, y;
    for (std::size_t i = 0; i < kTableRows; ++i) {
      x[i] = static_cast<float>(i) * 0.25f;
      y[i] = 1.0f;
    }
    x[duplicate] = x[duplicate - 1];
    try {
      resample(x, y);
      ADD_FAILURE() << "no fault for duplicate at " << duplicate;
    } catch (const TableFault& fault) {
      const std::string want = "equal angles (" + format_value(x[duplicate]) + " degrees)";
      EXPECT_NE(std::string(fault.what()).find(want), std::string::npos) << fault.what();
    }
  }
}

}  // namespace
}  // namespace phasefit::expansion
