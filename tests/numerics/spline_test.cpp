#include "numerics/spline.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "numerics/test_util.hpp"

namespace phasefit::numerics {
namespace {

using testing::bits;
using testing::expect_same_floats;
using testing::kNoPause;

constexpr float kNatural = 1e30f;
constexpr float kEps = std::numeric_limits<float>::epsilon();

struct Probe {
  float at;
  float value;
};

struct SplineCase {
  std::string name;
  std::vector<float> x;
  std::vector<float> y;
  float slope_first;
  float slope_last;
  std::vector<float> want_second_deriv;
  std::vector<Probe> probes;
};

TEST(Spline, KnownCurvesGiveExactSecondDerivativesAndValues) {
  const std::vector<SplineCase> cases = {
      {"straight line, also outside the knots",
       {0.0f, 1.0f, 2.5f, 4.0f},
       {1.0f, 3.0f, 6.0f, 9.0f},
       kNatural,
       kNatural,
       {0.0f, 0.0f, 0.0f, 0.0f},
       {{0.5f, 2.0f}, {3.0f, 7.0f}, {-1.0f, -1.0f}, {5.0f, 11.0f}}},
      {"natural arch, extrapolated with the last interval's cubic",
       {0.0f, 1.0f, 2.0f},
       {0.0f, 1.0f, 0.0f},
       kNatural,
       kNatural,
       {0.0f, -3.0f, 0.0f},
       {{0.5f, 0.6875f}, {1.0f, 1.0f}, {3.0f, -1.0f}}},
      {"clamped arch",
       {0.0f, 1.0f, 2.0f},
       {0.0f, 1.0f, 0.0f},
       1.0f,
       -1.0f,
       {2.0f, -4.0f, 2.0f},
       {}},
      {"two knots are linear",
       {0.0f, 2.0f},
       {1.0f, 5.0f},
       kNatural,
       kNatural,
       {0.0f, 0.0f},
       {{0.5f, 2.0f}, {2.0f, 5.0f}, {0.0f, 1.0f}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int count = static_cast<int>(c.x.size());
    std::vector<float> second_deriv(c.x.size(), -99.0f);
    spline(c.x, c.y, count, c.slope_first, c.slope_last, second_deriv);
    expect_same_floats(second_deriv, c.want_second_deriv);
    for (const Probe& probe : c.probes) {
      EXPECT_EQ(bits(splint(c.x, c.y, second_deriv, count, probe.at, kNoPause)), bits(probe.value))
          << "at = " << probe.at;
    }
  }
}

TEST(Splint, ReturnsTheOrdinateAtEveryKnot) {
  const std::vector<float> x = {-3.0f, -1.25f, 0.0f, 0.5f, 2.0f, 7.0f, 7.5f, 11.0f};
  const std::vector<float> y = {4.0f, -2.0f, 0.125f, 3.0f, 3.5f, -8.0f, 1.0f, 0.25f};
  std::vector<float> second_deriv(x.size());
  spline(x, y, static_cast<int>(x.size()), 0.75f, kNatural, second_deriv);
  for (std::size_t k = 0; k < x.size(); ++k) {
    EXPECT_EQ(bits(splint(x, y, second_deriv, static_cast<int>(x.size()), x[k], kNoPause)),
              bits(y[k]))
        << "k = " << k;
  }
}

TEST(Spline, EndSlopesAboveTheThresholdAreNaturalAndTheThresholdItselfIsClamped) {
  const std::vector<float> x = {0.0f, 1.0f, 3.0f, 4.0f};
  const std::vector<float> y = {0.0f, 2.0f, 1.0f, 5.0f};
  std::vector<float> natural(4);
  std::vector<float> huge(4);
  std::vector<float> at_threshold(4);
  spline(x, y, 4, kNatural, kNatural, natural);
  spline(x, y, 4, 1e31f, std::numeric_limits<float>::infinity(), huge);
  expect_same_floats(huge, natural);

  spline(x, y, 4, natural_end_threshold, natural_end_threshold, at_threshold);
  EXPECT_EQ(bits(natural_end_threshold), 0x7147EDCDu);
  for (std::size_t i = 0; i < at_threshold.size(); ++i) {
    EXPECT_TRUE(std::isfinite(at_threshold[i])) << "i = " << i;
    EXPECT_NE(bits(at_threshold[i]), bits(natural[i])) << "i = " << i;
  }
}

TEST(Spline, ExactEndSlopesReproduceACubic) {
  auto f = [](double t) { return ((t - 2.0) * t + 0.5) * t + 1.0; };
  auto slope = [](double t) { return (3.0 * t - 4.0) * t + 0.5; };
  const std::vector<float> x = {-1.0f, -0.5f, 0.25f, 1.0f, 1.5f, 2.0f, 3.0f};
  std::vector<float> y;
  for (float t : x) y.push_back(static_cast<float>(f(t)));
  std::vector<float> second_deriv(x.size());
  const int count = static_cast<int>(x.size());
  spline(x, y, count, static_cast<float>(slope(-1.0)), static_cast<float>(slope(3.0)),
         second_deriv);
  for (std::size_t k = 0; k < x.size(); ++k) {
    EXPECT_NEAR(second_deriv[k], 6.0 * static_cast<double>(x[k]) - 4.0, 64 * kEps)
        << "x = " << x[k];
  }
  for (int step = 0; step <= 80; ++step) {
    const float t = -1.0f + 0.05f * static_cast<float>(step);
    EXPECT_NEAR(splint(x, y, second_deriv, count, t, kNoPause), f(t), 32 * kEps) << "at = " << t;
  }
}

// Irregular knots with clamped ends, where every rounding step shows: a
// reordered sum, a reciprocal in place of a division or a fused
// multiply-add changes some of these bit patterns.
TEST(Spline, IrregularKnotsGiveTheRecordedBitPatterns) {
  const std::vector<float> x = {0.0f, 0.3f, 1.1f, 1.7f, 2.9f, 3.3f};
  const std::vector<float> y = {1.0f, 0.7f, -0.2f, 0.45f, 2.1f, 1.9f};
  std::vector<float> second_deriv(6);
  spline(x, y, 6, 0.3f, -1.7f, second_deriv);
  testing::expect_bits(second_deriv,
                       std::vector<std::uint32_t>{0xc14db101, 0xbe93bfbc, 0x4095a9b5, 0x3f246a7c,
                                                  0xc033a43f, 0xc0f316f8});
  struct Recorded {
    int step;
    std::uint32_t value;
  };
  for (const Recorded& r :
       {Recorded{0, 0xbfd0996b}, Recorded{2, 0xbe8898c8}, Recorded{5, 0x3f496c5e},
        Recorded{14, 0x3ecd096b}, Recorded{24, 0xbe373444}}) {
    const float at = -0.5f + 0.07f * static_cast<float>(r.step);
    EXPECT_EQ(bits(splint(x, y, second_deriv, 6, at, kNoPause)), r.value) << "at = " << at;
  }
}

struct ZeroWidthCase {
  std::string name;
  std::vector<float> x;
  std::vector<float> y;
  float at;
};

TEST(Splint, ZeroWidthBracketPausesOnceAndResumesWithNan) {
  const std::vector<ZeroWidthCase> cases = {
      {"one knot, away from it", {2.0f}, {3.0f}, 5.0f},
      {"one knot, on it", {2.0f}, {3.0f}, 2.0f},
      {"one knot of zero ordinate", {2.0f}, {0.0f}, -1.0f},
      {"repeated last abscissa, beyond it", {0.0f, 1.0f, 1.0f}, {0.0f, 1.0f, 2.0f}, 4.0f},
      {"repeated first abscissa, before it", {0.0f, 0.0f, 1.0f}, {0.0f, 1.0f, 2.0f}, -4.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> second_deriv(c.x.size(), 0.0f);
    std::vector<std::string> messages;
    const PauseHandler resume = [&messages](std::string_view message) {
      messages.emplace_back(message);
    };
    const float value = splint(c.x, c.y, second_deriv, static_cast<int>(c.x.size()), c.at, resume);
    EXPECT_TRUE(std::isnan(value)) << value;
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "bad xa input in splint");
  }
}

TEST(Splint, ZeroWidthBracketEndsTheRunWhenThePauseThrows) {
  const std::vector<float> x = {2.0f};
  const std::vector<float> y = {3.0f};
  const std::vector<float> second_deriv = {0.0f};
  const PauseHandler stop = [](std::string_view message) {
    throw std::runtime_error(std::string(message));
  };
  EXPECT_THROW(splint(x, y, second_deriv, 1, 2.0f, stop), std::runtime_error);
}

}  // namespace
}  // namespace phasefit::numerics
