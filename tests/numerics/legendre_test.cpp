#include "numerics/legendre.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "numerics/test_util.hpp"

namespace phasefit::numerics {
namespace {

using testing::bits;
using testing::expect_same_floats;

constexpr float kEps = std::numeric_limits<float>::epsilon();
// A value no routine here would produce, to show which entries were written.
constexpr float kUntouched = -12345.0f;

TEST(Fleg, HalfGivesExactValuesUpToDegreeFive) {
  std::array<float, 6> poly{};
  fleg(0.5f, poly, 6);
  expect_same_floats(poly, std::array{1.0f, 0.5f, -0.125f, -0.4375f, -0.2890625f, 0.08984375f});
}

TEST(Fleg, WritesTheFirstTwoEntriesWhateverTheTermCount) {
  for (int term_count : {-3, 0, 1, 2}) {
    std::array<float, 4> poly;
    poly.fill(kUntouched);
    fleg(0.3f, poly, term_count);
    expect_same_floats(poly, std::array{1.0f, 0.3f, kUntouched, kUntouched});
  }
}

TEST(Fleg, EndpointsGiveOneAndAlternatingSigns) {
  std::vector<float> poly(301);
  fleg(1.0f, poly, 301);
  for (std::size_t k = 0; k < poly.size(); ++k) EXPECT_EQ(bits(poly[k]), bits(1.0f)) << "k = " << k;
  fleg(-1.0f, poly, 301);
  for (std::size_t k = 0; k < poly.size(); ++k)
    EXPECT_EQ(bits(poly[k]), bits(k % 2 == 0 ? 1.0f : -1.0f)) << "k = " << k;
}

TEST(Fleg, AgreesWithTheDoubleRecurrence) {
  for (float x : {-0.99f, -0.7f, -0.1f, 0.0f, 0.25f, 0.6f, 0.9961947f}) {
    std::vector<float> poly(301);
    fleg(x, poly, 301);
    const double xd = x;
    double older = 1.0;
    double old = xd;
    for (int n = 2; n <= 300; ++n) {
      const double next = ((2.0 * n - 1.0) * xd * old - (n - 1.0) * older) / n;
      older = old;
      old = next;
      // Rounding errors grow about linearly with the degree inside the
      // interval, and like the slope of P_n (n^2 / 2) next to its ends.
      const double eps = kEps;
      const double tolerance = std::abs(xd) < 0.95 ? 4.0 * n * eps : 0.25 * n * n * eps;
      EXPECT_NEAR(poly[static_cast<std::size_t>(n)], next, tolerance)
          << "x = " << x << ", n = " << n;
    }
  }
}

struct RuleCase {
  std::string name;
  float lower;
  float upper;
  std::vector<float> nodes;
  std::vector<float> weights;
};

TEST(Gauleg, SmallRulesGiveTheirKnownNodesAndWeights) {
  const std::vector<RuleCase> cases = {
      {"one point", -1.0f, 1.0f, {0.0f}, {2.0f}},
      {"two points", -1.0f, 1.0f, {-0.57735026f, 0.57735026f}, {1.0f, 1.0f}},
      {"three points",
       -1.0f,
       1.0f,
       {-0.7745967f, 0.0f, 0.7745967f},
       {0.5555556f, 0.8888889f, 0.5555556f}},
      {"two points on [0, 1]", 0.0f, 1.0f, {0.21132487f, 0.7886751f}, {0.5f, 0.5f}},
      {"reversed interval", 1.0f, -1.0f, {0.57735026f, -0.57735026f}, {-1.0f, -1.0f}},
      {"equal bounds", 0.5f, 0.5f, {0.5f, 0.5f, 0.5f}, {0.0f, 0.0f, 0.0f}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> nodes(c.nodes.size(), kUntouched);
    std::vector<float> weights(c.weights.size(), kUntouched);
    gauleg(c.lower, c.upper, nodes, weights, static_cast<int>(nodes.size()));
    expect_same_floats(nodes, c.nodes);
    expect_same_floats(weights, c.weights);
  }
}

TEST(Gauleg, CountZeroOrNegativeLeavesTheArraysUntouched) {
  for (int count : {0, -1}) {
    std::array<float, 2> nodes{kUntouched, kUntouched};
    std::array<float, 2> weights{kUntouched, kUntouched};
    gauleg(-1.0f, 1.0f, nodes, weights, count);
    expect_same_floats(nodes, std::array{kUntouched, kUntouched});
    expect_same_floats(weights, std::array{kUntouched, kUntouched});
  }
}

TEST(Gauleg, FivePointsMatchTheDoubleRuleToTheLastBit) {
  // Reference nodes and weights of the five-point rule, rounded to float.
  const std::array<double, 5> want_nodes = {-0.9061798459386640, -0.5384693101056831, 0.0,
                                            0.5384693101056831, 0.9061798459386640};
  const std::array<double, 5> want_weights = {0.2369268850561891, 0.4786286704993665,
                                              0.5688888888888889, 0.4786286704993665,
                                              0.2369268850561891};
  std::array<float, 5> nodes{};
  std::array<float, 5> weights{};
  gauleg(-1.0f, 1.0f, nodes, weights, 5);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(bits(nodes[i]), bits(static_cast<float>(want_nodes[i]))) << "i = " << i;
    EXPECT_EQ(bits(weights[i]), bits(static_cast<float>(want_weights[i]))) << "i = " << i;
  }
}

// 0.1 + 0.7 is not exact in float; the rule is built on the rounded sum,
// so the nodes differ in the last bit from those of the exact midpoint.
TEST(Gauleg, MidpointComesFromTheFloatSumOfTheBounds) {
  std::array<float, 7> nodes{};
  std::array<float, 7> weights{};
  gauleg(0.1f, 0.7f, nodes, weights, 7);
  testing::expect_bits(nodes,
                       std::array<std::uint32_t, 7>{0x3dec1172, 0x3e35cd38, 0x3e8e7652, 0x3ecccccd,
                                                    0x3f0591a4, 0x3f1f597f, 0x3f2f4a9f});
  testing::expect_bits(weights,
                       std::array<std::uint32_t, 7>{0x3d1f1c72, 0x3dabd9da, 0x3dea98ac, 0x3e0065a5,
                                                    0x3dea98ac, 0x3dabd9da, 0x3d1f1c72});
}

TEST(Gauleg, WeightsAreMirroredBitForBitAndNodesAscendSymmetrically) {
  for (int count = 1; count <= 400; ++count) {
    SCOPED_TRACE("count = " + std::to_string(count));
    std::vector<float> nodes(static_cast<std::size_t>(count));
    std::vector<float> weights(static_cast<std::size_t>(count));
    gauleg(-1.0f, 1.0f, nodes, weights, count);
    for (int i = 0; i < count; ++i) {
      const auto at = static_cast<std::size_t>(i);
      const auto mirror = static_cast<std::size_t>(count - 1 - i);
      ASSERT_EQ(bits(weights[at]), bits(weights[mirror])) << "i = " << i;
      ASSERT_GT(weights[at], 0.0f) << "i = " << i;
      if (mirror != at) {
        ASSERT_EQ(bits(nodes[at]), bits(-nodes[mirror])) << "i = " << i;
      }
      if (i > 0) {
        ASSERT_LT(nodes[at - 1], nodes[at]) << "i = " << i;
      }
    }
  }
}

TEST(Gauleg, IntegratesPolynomialsUpToDegreeTwoCountMinusOne) {
  for (int count : {1, 2, 3, 4, 7, 10, 20, 40}) {
    std::vector<float> nodes(static_cast<std::size_t>(count));
    std::vector<float> weights(static_cast<std::size_t>(count));
    gauleg(0.0f, 1.0f, nodes, weights, count);
    for (int k = 0; k <= 2 * count - 1; ++k) {
      double integral = 0.0;
      for (std::size_t i = 0; i < nodes.size(); ++i)
        integral += static_cast<double>(weights[i]) * std::pow(static_cast<double>(nodes[i]), k);
      const double exact = 1.0 / (k + 1);
      // Each float node carries a relative error of eps/2, which x^k
      // magnifies k times.
      const double eps = kEps;
      EXPECT_NEAR(integral, exact, (k + 2) * exact * eps + count * eps)
          << "count = " << count << ", k = " << k;
    }
  }
}

TEST(Gauleg, WeightsOfTheGridRulesSumToTheIntervalLength) {
  const float cone = 0.9961947f;
  struct Rule {
    float lower;
    float upper;
    int count;
  };
  for (const Rule& rule : {Rule{cone, 1.0f, 100}, Rule{0.0f, cone, 400}}) {
    std::vector<float> nodes(static_cast<std::size_t>(rule.count));
    std::vector<float> weights(static_cast<std::size_t>(rule.count));
    gauleg(rule.lower, rule.upper, nodes, weights, rule.count);
    double total = 0.0;
    for (float w : weights) total += static_cast<double>(w);
    const double length = static_cast<double>(rule.upper) - static_cast<double>(rule.lower);
    const double eps = kEps;
    EXPECT_NEAR(total, length, length * rule.count * eps) << "count = " << rule.count;
    EXPECT_GT(nodes.front(), rule.lower);
    EXPECT_LT(nodes.back(), rule.upper);
  }
}

}  // namespace
}  // namespace phasefit::numerics
