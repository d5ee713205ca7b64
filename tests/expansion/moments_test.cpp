#include "expansion/moments.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "expansion/fault.hpp"
#include "expansion/grid.hpp"
#include "expansion_test_util.hpp"
#include "numerics/legendre.hpp"
#include "numerics/test_util.hpp"

namespace phasefit::expansion {
namespace {

using phasefit::testing::bits;
using OnGrid = std::array<float, kGridPoints>;

using phasefit::testing::grid;

OnGrid henyey_greenstein_on_grid(double g, double scale = 1.0) {
  OnGrid phase;
  for (std::size_t i = 0; i < kGridPoints; ++i)
    phase[i] =
        static_cast<float>(scale * phasefit::testing::henyey_greenstein(g, grid().mu_grid[i]));
  return phase;
}

std::vector<float> fresh_apl() { return std::vector<float>(kLegendreRows * kGridPoints, -9.0f); }

TEST(RenormalisationFires, BoundariesAreTakenInSinglePrecision) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    float chi0;
    bool fires;
  };
  const Case cases[] = {
      {"1.0", 1.0f, false},
      {"1.04", 1.04f, false},
      {"nearest float to 1.05 (difference 0.04999995)", 1.05f, false},
      {"next float above 1.05", std::nextafter(1.05f, 2.0f), true},
      {"nearest float to 0.95 (difference 0.050000012)", 0.95f, true},
      {"next float above 0.95", std::nextafter(0.95f, 2.0f), false},
      {"1.06", 1.06f, true},
      {"0.94", 0.94f, true},
      {"2.0", 2.0f, true},
      {"NaN", nan, false},
  };
  for (const Case& c : cases) EXPECT_EQ(renormalisation_fires(c.chi0), c.fires) << c.name;
}

TEST(Calmom, HenyeyGreensteinMomentsArePowersOfG) {
  OnGrid phase = henyey_greenstein_on_grid(0.5);
  const OnGrid before = phase;
  std::array<float, 31> moments;
  auto apl = fresh_apl();
  calmom(grid().mu_grid, phase, grid().weight_grid, 30, moments, apl);
  EXPECT_EQ(bits(moments[0]), bits(1.0f));
  for (int l = 1; l <= 30; ++l)
    EXPECT_NEAR(moments[static_cast<std::size_t>(l)], std::pow(0.5, l), 2e-6) << "l = " << l;
  // Normalised to within 0.05: the phase function is left as it came.
  for (std::size_t i = 0; i < kGridPoints; ++i) EXPECT_EQ(bits(phase[i]), bits(before[i]));
}

TEST(Calmom, PhaseIsDividedInPlaceOnlyWhenTheTestFires) {
  for (double scale : {0.94, 0.96, 1.04, 1.06, 2.0}) {
    const OnGrid unit = henyey_greenstein_on_grid(0.7);
    OnGrid phase = henyey_greenstein_on_grid(0.7, scale);
    const OnGrid before = phase;
    std::array<float, 11> unit_moments, moments;
    auto apl = fresh_apl();
    OnGrid unit_copy = unit;
    calmom(grid().mu_grid, unit_copy, grid().weight_grid, 10, unit_moments, apl);
    calmom(grid().mu_grid, phase, grid().weight_grid, 10, moments, apl);
    const bool fires = std::abs(scale - 1.0) > 0.05;
    for (std::size_t i = 0; i < kGridPoints; ++i) {
      if (fires)
        EXPECT_NEAR(phase[i], unit[i], 1e-5f * unit[i]) << "scale " << scale << ", i = " << i + 1;
      else
        EXPECT_EQ(bits(phase[i]), bits(before[i])) << "scale " << scale << ", i = " << i + 1;
    }
    // The normalised moments do not depend on the scale.
    EXPECT_EQ(bits(moments[0]), bits(1.0f));
    for (std::size_t l = 1; l < moments.size(); ++l)
      EXPECT_NEAR(moments[l], unit_moments[l], 1e-6f) << "scale " << scale << ", l = " << l;
  }
}

TEST(Calmom, SummedNormalisationAtTheBoundaries) {
  // One non-zero grid point p with value c sums to chi0 = 0.5 * (w_p * c);
  // look for a point and a c that land exactly on the float nearest 1.05
  // (and 0.95), to see the test on the summed value at its edge.
  for (const float target : {1.05f, 0.95f}) {
    OnGrid phase;
    bool found = false;
    for (std::size_t p = 0; p < kGridPoints && !found; ++p) {
      const float w = grid().weight_grid[p];
      float c = static_cast<float>(2.0 * static_cast<double>(target) / static_cast<double>(w));
      for (int step = -4; step <= 4 && !found; ++step) {
        float candidate = c;
        for (int k = 0; k < std::abs(step); ++k)
          candidate = std::nextafter(candidate, step < 0 ? 0.0f : 1e30f);
        if (0.5f * ((w * candidate) * 1.0f) + 0.0f == target) {
          phase.fill(0.0f);
          phase[p] = candidate;
          found = true;
        }
      }
    }
    ASSERT_TRUE(found) << "no grid point sums to " << target;
    OnGrid work = phase;
    std::array<float, 4> moments;
    auto apl = fresh_apl();
    calmom(grid().mu_grid, work, grid().weight_grid, 3, moments, apl);
    const bool fires = target < 1.0f;
    for (std::size_t i = 0; i < kGridPoints; ++i)
      EXPECT_EQ(bits(work[i]), bits(fires ? phase[i] / target : phase[i])) << "chi0 = " << target;
  }
}

TEST(Calmom, LegendreTableFillsRowsZeroToNOnly) {
  auto apl = fresh_apl();
  OnGrid phase = henyey_greenstein_on_grid(0.3);
  std::array<float, kLegendreRows> moments;
  calmom(grid().mu_grid, phase, grid().weight_grid, 12, std::span<float>(moments).first(13), apl);
  std::array<float, kLegendreRows> poly;
  for (int i : {1, 500, 1000}) {
    numerics::fleg(grid().mu_grid[static_cast<std::size_t>(i - 1)], poly, kLegendreRows);
    for (int l = 0; l <= 12; ++l)
      EXPECT_EQ(bits(apl[apl_index(l, i)]), bits(poly[static_cast<std::size_t>(l)]));
    EXPECT_EQ(apl[apl_index(13, i)], -9.0f);
  }
  // N = 300 uses every row.
  phase = henyey_greenstein_on_grid(0.3);
  calmom(grid().mu_grid, phase, grid().weight_grid, kMaxOrder, moments, apl);
  for (int i : {1, 1000}) {
    numerics::fleg(grid().mu_grid[static_cast<std::size_t>(i - 1)], poly, kLegendreRows);
    EXPECT_EQ(bits(apl[apl_index(kMaxOrder, i)]), bits(poly[kMaxOrder]));
  }
  for (float m : moments) EXPECT_TRUE(std::isfinite(m));
}

TEST(Calmom, ZeroOrNonFiniteNormalisationIsATableFault) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    float value;  // put at every grid point, or at one
    bool everywhere;
    const char* message;
  };
  const Case cases[] = {
      {"all zero", 0.0f, true, "is 0"},
      {"one NaN", nan, false, "not finite"},
      {"one infinity", inf, false, "not finite"},
  };
  for (const Case& c : cases) {
    OnGrid phase = henyey_greenstein_on_grid(0.5);
    if (c.everywhere)
      phase.fill(c.value);
    else
      phase[400] = c.value;
    std::array<float, 4> moments;
    auto apl = fresh_apl();
    try {
      calmom(grid().mu_grid, phase, grid().weight_grid, 3, moments, apl);
      ADD_FAILURE() << "no fault: " << c.name;
    } catch (const TableFault& fault) {
      EXPECT_NE(std::string(fault.what()).find(c.message), std::string::npos) << fault.what();
    }
  }
}

}  // namespace
}  // namespace phasefit::expansion
