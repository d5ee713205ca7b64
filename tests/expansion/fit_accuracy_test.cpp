// An independent check of the whole delta-fit: the same weighted
// least-squares problem solved in double precision by LAPACK must not leave
// a clearly smaller residual than phasefit's single-precision fit.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "expansion/bfit.hpp"
#include "expansion/grid.hpp"
#include "expansion/moments.hpp"
#include "expansion/resample.hpp"
#include "expansion/table.hpp"
#include "expansion_test_util.hpp"
#include "numerics/test_util.hpp"

extern "C" void dgelss_(const int* m, const int* n, const int* nrhs, double* a, const int* lda,
                        double* b, const int* ldb, double* s, const double* rcond, int* rank,
                        double* work, const int* lwork, int* info);

namespace phasefit::expansion {
namespace {

using phasefit::testing::bits;
using phasefit::testing::ScratchDir;

// Relative deviation RMS over the grid of the model
// sum over l < n of (2l + 1)(c_l - ft) P_l, with c_l = chi_l for l <= 2 and
// params = (c_3 .. c_(n-1), ft), all in double.
struct Problem {
  int n = 0;
  std::vector<double> a;  // 1000 x (n - 2), column-major
  std::vector<double> b;  // 1000
  double rms(const std::vector<double>& params) const {
    const int cols = n - 2;
    double sum = 0.0;
    for (int i = 0; i < kGridPoints; ++i) {
      double r = b[static_cast<std::size_t>(i)];
      for (int j = 0; j < cols; ++j)
        r -= a[static_cast<std::size_t>(i + j * kGridPoints)] * params[static_cast<std::size_t>(j)];
      sum += r * r;
    }
    return std::sqrt(sum / kGridPoints);
  }
};

Problem make_problem(const QuadratureGrid& grid, const std::array<float, kGridPoints>& phase,
                     const std::array<float, kMaxOrder + 1>& moments, int n) {
  Problem problem;
  problem.n = n;
  const int cols = n - 2;
  problem.a.assign(static_cast<std::size_t>(kGridPoints * cols), 0.0);
  problem.b.assign(kGridPoints, 0.0);
  std::vector<double> p(static_cast<std::size_t>(n) + 1);
  for (int i = 0; i < kGridPoints; ++i) {
    const double mu = grid.mu_grid[static_cast<std::size_t>(i)];
    const double value = phase[static_cast<std::size_t>(i)];
    p[0] = 1.0;
    p[1] = mu;
    for (int l = 2; l <= n; ++l) {
      const auto k = static_cast<std::size_t>(l);
      p[k] = ((2 * l - 1) * mu * p[k - 1] - (l - 1) * p[k - 2]) / l;
    }
    double b = 1.0;
    for (std::size_t k = 0; k <= 2; ++k)
      b -= (2.0 * static_cast<double>(k) + 1.0) * static_cast<double>(moments[k]) * p[k] / value;
    problem.b[static_cast<std::size_t>(i)] = b;
    double truncation = 0.0;
    for (int l = 0; l < n; ++l) {
      const double term = (2 * l + 1) * p[static_cast<std::size_t>(l)] / value;
      truncation -= term;
      if (l >= 3) problem.a[static_cast<std::size_t>(i + (l - 3) * kGridPoints)] = term;
    }
    problem.a[static_cast<std::size_t>(i + (cols - 1) * kGridPoints)] = truncation;
  }
  return problem;
}

std::vector<double> lapack_solution(const Problem& problem) {
  const int m = kGridPoints;
  const int cols = problem.n - 2;
  const int nrhs = 1;
  std::vector<double> a = problem.a;
  std::vector<double> b = problem.b;
  std::vector<double> s(static_cast<std::size_t>(cols));
  const double rcond = 1e-13;
  int rank = 0;
  int info = 0;
  const int lwork = 64 * (m + cols);
  std::vector<double> work(static_cast<std::size_t>(lwork));
  dgelss_(&m, &cols, &nrhs, a.data(), &m, b.data(), &m, s.data(), &rcond, &rank, work.data(),
          &lwork, &info);
  EXPECT_EQ(info, 0);
  b.resize(static_cast<std::size_t>(cols));
  return b;
}

TEST(DeltaFit, ResidualIsCloseToTheDoublePrecisionOptimum) {
  ScratchDir dir;
  const std::string path = dir.file("table.dat");
  phasefit::testing::write_text(
      path, phasefit::testing::make_table(phasefit::testing::forward_peaked).text());
  auto workspace = std::make_unique<FitWorkspace>();
  std::vector<float> apl(kLegendreRows * kGridPoints);

  for (int n : {8, 32, 64}) {
    JobResult result;
    bfit(path, n, result, *workspace, phasefit::testing::failing_pause());

    // The grid values and moments the fit saw, from the stages bfit runs.
    PhaseTable table;
    read_phase_table(path, table);
    QuadratureGrid grid;
    build_quadrature_grid(grid);
    std::array<float, kGridPoints> phase;
    myspline(kTableRows, table.angle, table.phase, kGridPoints, grid.theta_grid, phase,
             phasefit::testing::failing_pause());
    std::array<float, kMaxOrder + 1> moments{};
    calmom(grid.mu_grid, phase, grid.weight_grid, n,
           std::span<float>(moments).first(static_cast<std::size_t>(n) + 1), apl);
    for (int l = 0; l <= n; ++l)
      ASSERT_EQ(bits(moments[static_cast<std::size_t>(l)]),
                bits(result.moments[static_cast<std::size_t>(l)]));

    const Problem problem = make_problem(grid, phase, moments, n);
    std::vector<double> ours;
    for (int l = 3; l <= n - 1; ++l)
      ours.push_back(result.fitted_coefficients[static_cast<std::size_t>(l)]);
    ours.push_back(result.ft);
    const double optimum = problem.rms(lapack_solution(problem));
    const double achieved = problem.rms(ours);
    // Leaving the fit out altogether (all parameters 0) is far worse, so
    // the comparison has room to catch a wrong column, sign or weight.
    const double unfitted = problem.rms(std::vector<double>(ours.size(), 0.0));
    EXPECT_GT(unfitted, 3.0 * optimum) << "n = " << n;
    // Rounding the design matrix and the decomposition to single precision
    // perturbs the solution by about float epsilon times the condition
    // number; the residual of a least-squares solution is flat near the
    // optimum, so it grows only to second order. 1.5 leaves ample room for
    // that and none for a systematically different problem.
    EXPECT_LE(achieved, 1.5 * optimum) << "n = " << n << ": residual " << achieved << ", optimum "
                                       << optimum << ", unfitted " << unfitted;
    std::printf("n = %d: residual %.6g, double optimum %.6g (ratio %.6f), unfitted %.6g\n", n,
                achieved, optimum, achieved / optimum, unfitted);
  }
}

}  // namespace
}  // namespace phasefit::expansion
