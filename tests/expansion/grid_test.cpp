#include "expansion/grid.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "numerics/test_util.hpp"

namespace phasefit::expansion {
namespace {

using phasefit::testing::bits;

QuadratureGrid built_grid() {
  QuadratureGrid grid;
  build_quadrature_grid(grid);
  return grid;
}

TEST(QuadratureGrid, CosinesAscendStrictlyAcrossBothSeams) {
  const QuadratureGrid grid = built_grid();
  for (std::size_t p = 1; p < kGridPoints; ++p)
    EXPECT_LT(grid.mu_grid[p - 1], grid.mu_grid[p]) << "p = " << p + 1;
  EXPECT_LT(grid.mu_grid[99], -forward_cone_cosine);
  EXPECT_GT(grid.mu_grid[100], -forward_cone_cosine);
  EXPECT_LT(grid.mu_grid[499], 0.0f);
  EXPECT_GT(grid.mu_grid[500], 0.0f);
  EXPECT_LT(grid.mu_grid[899], forward_cone_cosine);
  EXPECT_GT(grid.mu_grid[900], forward_cone_cosine);
  EXPECT_GT(grid.mu_grid.front(), -1.0f);
  EXPECT_LT(grid.mu_grid.back(), 1.0f);
}

TEST(QuadratureGrid, HalvesAreExactMirrors) {
  const QuadratureGrid grid = built_grid();
  for (std::size_t p = 0; p < kGridPoints; ++p) {
    const std::size_t mirror = kGridPoints - 1 - p;
    EXPECT_EQ(bits(grid.mu_grid[mirror]), bits(-grid.mu_grid[p])) << "p = " << p + 1;
    EXPECT_EQ(bits(grid.weight_grid[mirror]), bits(grid.weight_grid[p])) << "p = " << p + 1;
  }
}

TEST(QuadratureGrid, WeightsArePositiveAndIntegrateOverTheCosine) {
  const QuadratureGrid grid = built_grid();
  double total = 0.0;
  double cone = 0.0;
  double second_moment = 0.0;
  for (std::size_t p = 0; p < kGridPoints; ++p) {
    EXPECT_GT(grid.weight_grid[p], 0.0f) << "p = " << p + 1;
    const double weight = grid.weight_grid[p];
    const double mu = grid.mu_grid[p];
    total += weight;
    if (p < 100 || p >= 900) cone += weight;
    // A weight attached to the wrong node would spoil this integral of mu^2.
    second_moment += weight * mu * mu;
  }
  EXPECT_NEAR(total, 2.0, 2.0 * 1000 * 6e-8);
  EXPECT_NEAR(cone, 2.0 * (1.0 - static_cast<double>(forward_cone_cosine)), 1e-6);
  EXPECT_NEAR(second_moment, 2.0 / 3.0, 1e-5);
}

TEST(QuadratureGrid, AnglesDescendWithinTheirCones) {
  const QuadratureGrid grid = built_grid();
  EXPECT_NEAR(grid.theta_grid.front(), 179.94f, 0.005f);
  EXPECT_NEAR(grid.theta_grid.back(), 0.059f, 0.001f);
  for (std::size_t p = 1; p < kGridPoints; ++p)
    EXPECT_GT(grid.theta_grid[p - 1], grid.theta_grid[p]) << "p = " << p + 1;
  for (std::size_t p = 0; p < 100; ++p) EXPECT_GT(grid.theta_grid[p], 175.0f) << "p = " << p + 1;
  for (std::size_t p = 900; p < kGridPoints; ++p)
    EXPECT_LT(grid.theta_grid[p], 5.0f) << "p = " << p + 1;
  // Next to the seams the points lie just inside 175 and 5 degrees.
  EXPECT_NEAR(grid.theta_grid[99], 175.0f, 0.002f);
  EXPECT_NEAR(grid.theta_grid[900], 5.0f, 0.002f);
}

// The angles must be the scalar single-precision arc cosine of the C
// library, multiplied by 180 and then divided by 3.1415925: a vector arc
// cosine or another divisor differs in the last bit.
TEST(QuadratureGrid, AnglesAreScalarArcCosinesBitForBit) {
  const QuadratureGrid grid = built_grid();
  const float divisor = std::bit_cast<float>(std::uint32_t{0x40490FDA});
  for (std::size_t p = 0; p < kGridPoints; ++p) {
    volatile float cosine = grid.mu_grid[p];
    volatile float radians = std::acos(static_cast<float>(cosine));
    volatile float scaled = radians * 180.0f;
    const float want = scaled / divisor;
    EXPECT_EQ(bits(grid.theta_grid[p]), bits(want)) << "p = " << p + 1;
  }
}

// FNV-1a over the bit patterns of `values`, in order.
std::uint64_t fingerprint(const std::array<float, kGridPoints>& values) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (float value : values) {
    const std::uint32_t word = bits(value);
    for (int byte = 0; byte < 4; ++byte) {
      hash ^= (word >> (8 * byte)) & 0xFFu;
      hash *= 0x100000001B3u;
    }
  }
  return hash;
}

// Every coefficient file depends on every bit of the nodes and weights: a
// change to the rule's iteration, its stopping test or its rounding to
// single precision rewrites all of them, though the grid would still pass
// every test above. The values are those of the build whose files are the
// stored reference. The grid starts filled with a value no entry has, so
// that an entry the build leaves alone fails too.
TEST(QuadratureGrid, NodesAndWeightsKeepTheirPinnedBits) {
  QuadratureGrid grid;
  grid.mu_grid.fill(-7.0f);
  grid.weight_grid.fill(-7.0f);
  build_quadrature_grid(grid);
  // The first point and both sides of the seams at -cos 5 degrees and 0.
  EXPECT_EQ(bits(grid.mu_grid[0]), 0xBF7FFFF7u);
  EXPECT_EQ(bits(grid.mu_grid[99]), 0xBF7F06A7u);
  EXPECT_EQ(bits(grid.mu_grid[100]), 0xBF7F0607u);
  EXPECT_EQ(bits(grid.mu_grid[499]), 0xB716A602u);
  EXPECT_EQ(bits(grid.weight_grid[0]), 0x35BB9A26u);
  EXPECT_EQ(bits(grid.weight_grid[100]), 0x37C14E44u);
  EXPECT_EQ(fingerprint(grid.mu_grid), 0x79EB4378EEFAD549u);
  EXPECT_EQ(fingerprint(grid.weight_grid), 0xB5682443E36AAEA5u);
}

TEST(DegreesFromCosine, EndsAndMiddle) {
  EXPECT_EQ(bits(degrees_from_cosine(1.0f)), bits(0.0f));
  EXPECT_NEAR(degrees_from_cosine(0.0f), 90.0f, 2e-5f);
  // acosf(-1) is the nearest float to pi, one unit above the divisor.
  EXPECT_GT(degrees_from_cosine(-1.0f), 180.0f);
  EXPECT_LT(degrees_from_cosine(-1.0f), 180.0001f);
}

}  // namespace
}  // namespace phasefit::expansion
