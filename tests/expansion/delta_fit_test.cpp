#include "expansion/delta_fit.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "expansion/grid.hpp"
#include "expansion/moments.hpp"
#include "expansion_test_util.hpp"
#include "numerics/test_util.hpp"

namespace phasefit::expansion {
namespace {

using phasefit::testing::bits;
using OnGrid = std::array<float, kGridPoints>;
using Orders = std::array<float, kMaxOrder + 1>;

using phasefit::testing::grid;

// P_0..P_(n-1) at x in double, by the three-term recurrence.
std::vector<double> legendre(double x, int count) {
  std::vector<double> p(static_cast<std::size_t>(std::max(count, 2)));
  p[0] = 1.0;
  p[1] = x;
  for (int l = 2; l < count; ++l)
    p[static_cast<std::size_t>(l)] = ((2 * l - 1) * x * p[static_cast<std::size_t>(l - 1)] -
                                      (l - 1) * p[static_cast<std::size_t>(l - 2)]) /
                                     l;
  return p;
}

struct Fitted {
  OnGrid phase;
  Orders moments{};
  Orders fitted{};
  Orders coefficients{};
  float ft = 0.0f;
};

// A Legendre table of the grid that calmom fills.
std::vector<float>& apl() {
  static std::vector<float> table(kLegendreRows * kGridPoints);
  return table;
}

// The forward-peaked function on the grid, its moments and the fit.
Fitted fit(int n, FitWorkspace& workspace) {
  Fitted out;
  for (std::size_t i = 0; i < kGridPoints; ++i)
    out.phase[i] = static_cast<float>(phasefit::testing::forward_peaked(grid().mu_grid[i]));
  const auto orders = static_cast<std::size_t>(n) + 1;
  calmom(grid().mu_grid, out.phase, grid().weight_grid, n,
         std::span<float>(out.moments).first(orders), apl());
  calfit(out.phase, n, out.moments, out.fitted, apl(), workspace, Kernels::fast,
         [](std::string_view) {});
  out.ft = rescale(out.fitted, n, out.coefficients);
  return out;
}

TEST(BuildFitSystem, ColumnsHoldTheCoefficientAndTruncationTerms) {
  auto workspace = std::make_unique<FitWorkspace>();
  OnGrid phase;
  for (std::size_t i = 0; i < kGridPoints; ++i)
    phase[i] = static_cast<float>(phasefit::testing::forward_peaked(grid().mu_grid[i]));
  const int n = 6;
  std::array<float, 7> moments{1.0f, 0.5f, 0.25f, 99.0f, 99.0f, 99.0f, 99.0f};
  const numerics::MatView u = design_matrix(*workspace);
  for (int i = 1; i <= kGridPoints; ++i) u(i, n - 1) = -7.0f;
  OnGrid rhs;
  build_fit_system(phase, n, moments, fit_plan().apl, u, rhs);
  for (int i : {1, 333, 900, 1000}) {
    const double mu = grid().mu_grid[static_cast<std::size_t>(i - 1)];
    const double p = phase[static_cast<std::size_t>(i - 1)];
    const auto pl = legendre(mu, n);
    double truncation = 0.0;
    for (int l = 0; l < n; ++l) truncation -= (2 * l + 1) * pl[static_cast<std::size_t>(l)] / p;
    const double b = 1.0 - (1.0 + 3.0 * 0.5 * pl[1] + 5.0 * 0.25 * pl[2]) / p;
    const double scale = 1.0 / std::abs(p);
    EXPECT_NEAR(rhs[static_cast<std::size_t>(i - 1)], b, 1e-5 * (1.0 + 10 * scale)) << "i = " << i;
    EXPECT_NEAR(u(i, 1), 7.0 * pl[3] / p, 1e-5 * 7 * scale) << "degree 3, i = " << i;
    EXPECT_NEAR(u(i, 2), 9.0 * pl[4] / p, 1e-5 * 9 * scale) << "degree 4, i = " << i;
    EXPECT_NEAR(u(i, 3), 11.0 * pl[5] / p, 1e-5 * 11 * scale) << "degree 5, i = " << i;
    EXPECT_NEAR(u(i, 4), truncation, 1e-5 * 36 * scale) << "truncation, i = " << i;
    EXPECT_EQ(u(i, 5), -7.0f) << "column beyond fit_count written";
  }
}

TEST(Calfit, OrderThreeFitsOnlyTheTruncationFactor) {
  auto workspace = std::make_unique<FitWorkspace>();
  const Fitted r = fit(3, *workspace);
  EXPECT_EQ(bits(r.fitted[0]), bits(r.moments[0]));
  EXPECT_EQ(bits(r.fitted[1]), bits(r.moments[1]));
  EXPECT_EQ(bits(r.fitted[2]), bits(r.moments[2]));
  EXPECT_EQ(bits(r.fitted[3]), bits(r.ft));
  // One column t_i = -sum (2l+1) P_l / P_i: ft = (t . b) / (t . t).
  double tb = 0.0, tt = 0.0;
  for (std::size_t i = 0; i < kGridPoints; ++i) {
    const auto pl = legendre(grid().mu_grid[i], 3);
    const double p = r.phase[i];
    const double t = -(pl[0] + 3 * pl[1] + 5 * pl[2]) / p;
    const double m0 = r.moments[0], m1 = r.moments[1], m2 = r.moments[2];
    const double b = 1.0 - (m0 * pl[0] + 3.0 * m1 * pl[1] + 5.0 * m2 * pl[2]) / p;
    tb += t * b;
    tt += t * t;
  }
  EXPECT_NEAR(r.ft, tb / tt, 1e-4 * std::abs(tb / tt));
  EXPECT_EQ(bits(r.coefficients[3]), bits(0.0f));
}

TEST(Calfit, RescaledEndsAreExactAndSeriesReproducesTheFit) {
  auto workspace = std::make_unique<FitWorkspace>();
  for (int n : {3, 4, 16, 64, kMaxOrder}) {
    const Fitted r = fit(n, *workspace);
    const auto last = static_cast<std::size_t>(n);
    EXPECT_EQ(bits(r.coefficients[0]), bits(1.0f)) << "n = " << n;
    EXPECT_EQ(bits(r.coefficients[last]), bits(0.0f)) << "n = " << n;
    EXPECT_EQ(bits(r.ft), bits(r.fitted[last])) << "n = " << n;
    EXPECT_LT(std::abs(r.ft), 1.0f) << "n = " << n;
    for (std::size_t l = 0; l <= last; ++l) ASSERT_TRUE(std::isfinite(r.coefficients[l])) << n;
    // (1 - ft) sum (2l+1) coefficient_l P_l equals Pfit = sum (2l+1)(c_l - ft) P_l.
    for (std::size_t i = 0; i < kGridPoints; i += 37) {
      const auto pl = legendre(grid().mu_grid[i], n);
      double rescaled = 0.0, pfit = 0.0, size = 0.0;
      for (int l = 0; l < n; ++l) {
        const auto k = static_cast<std::size_t>(l);
        rescaled += (2 * l + 1) * static_cast<double>(r.coefficients[k]) * pl[k];
        pfit +=
            (2 * l + 1) * (static_cast<double>(r.fitted[k]) - static_cast<double>(r.ft)) * pl[k];
        size += (2 * l + 1) * std::abs(static_cast<double>(r.fitted[k]) * pl[k]);
      }
      rescaled *= 1.0 - static_cast<double>(r.ft);
      EXPECT_NEAR(rescaled, pfit, 1e-5 * size) << "n = " << n << ", i = " << i + 1;
    }
  }
}

TEST(Calfit, HigherMomentsPlayNoPart) {
  auto workspace = std::make_unique<FitWorkspace>();
  const int n = 24;
  Fitted r = fit(n, *workspace);
  Orders changed = r.moments;
  for (int l = 3; l <= n; ++l)
    changed[static_cast<std::size_t>(l)] = 123.0f + static_cast<float>(l);
  Orders fitted{};
  calfit(r.phase, n, changed, fitted, fit_plan().apl, *workspace, Kernels::fast,
         [](std::string_view) {});
  for (int l = 0; l <= n; ++l)
    EXPECT_EQ(bits(fitted[static_cast<std::size_t>(l)]),
              bits(r.fitted[static_cast<std::size_t>(l)]))
        << "l = " << l;
}

}  // namespace
}  // namespace phasefit::expansion
