// Time of one whole expansion job (bfit on a realistic forward-peaked table
// read from a file) at several orders, and of each of its stages on their
// own: the resampling, the moments, building the design matrix, svdcmp and
// svbksb. The shares follow from comparing each stage with the whole job at
// the same order. A worker builds the quadrature grid and the Legendre
// table once and keeps them from job to job; they are timed apart. The job
// and svdcmp are also timed on the reference kernels at N = 300.

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expansion/bfit.hpp"
#include "expansion/delta_fit.hpp"
#include "expansion/grid.hpp"
#include "expansion/moments.hpp"
#include "expansion/resample.hpp"
#include "expansion/table.hpp"
#include "numerics/svd.hpp"
#include "numerics/svd_reference.hpp"

namespace {

namespace ex = phasefit::expansion;
namespace nm = phasefit::numerics;

// High orders of a smooth table may not converge in svdcmp once; a
// benchmark has no operator, so it carries on.
void resume(std::string_view) {}

double henyey_greenstein(double g, double mu) {
  return (1.0 - g * g) / std::pow(1.0 + g * g - 2.0 * g * mu, 1.5);
}

// 95 % HG(0.85) with a 5 % backscatter lobe, 498 rows dense near 0 degrees,
// written once to a temporary file.
const std::string& table_path() {
  static const std::string path = [] {
    const std::string name = (std::filesystem::temp_directory_path() /
                              ("phasefit-bench-" + std::to_string(::getpid()) + ".dat"))
                                 .string();
    std::ofstream out(name);
    out << "0.55 10 2 556.0 0.88 0.79\n";
    const double pi = std::acos(-1.0);
    for (int k = 0; k < ex::kTableRows; ++k) {
      const double t = static_cast<double>(k) / (ex::kTableRows - 1);
      const double angle = 180.0 * t * t;
      const double mu = std::cos(angle * pi / 180.0);
      char row[80];
      std::snprintf(row, sizeof row, "%.9g %.9g\n", angle,
                    0.95 * henyey_greenstein(0.85, mu) + 0.05 * henyey_greenstein(-0.4, mu));
      out << row;
    }
    std::atexit([] { std::filesystem::remove(table_path()); });
    return name;
  }();
  return path;
}

void BM_WholeJob(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto workspace = std::make_unique<ex::FitWorkspace>();
  ex::JobResult result;
  for (auto _ : state) {
    ex::bfit(table_path(), n, result, *workspace, resume);
    benchmark::DoNotOptimize(result.coefficients.data());
  }
}
BENCHMARK(BM_WholeJob)->Arg(16)->Arg(64)->Arg(128)->Arg(300)->Unit(benchmark::kMillisecond);

// The same job on the reference SVD kernels (--kernels=reference).
void BM_WholeJobReference(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto workspace = std::make_unique<ex::FitWorkspace>();
  ex::JobResult result;
  for (auto _ : state) {
    ex::bfit(table_path(), n, result, *workspace, resume, nullptr, phasefit::Kernels::reference);
    benchmark::DoNotOptimize(result.coefficients.data());
  }
}
BENCHMARK(BM_WholeJobReference)->Arg(300)->Unit(benchmark::kMillisecond);

void BM_ReadTable(benchmark::State& state) {
  ex::PhaseTable table;
  for (auto _ : state) {
    ex::read_phase_table(table_path(), table);
    benchmark::DoNotOptimize(table.phase.data());
  }
}
BENCHMARK(BM_ReadTable)->Unit(benchmark::kMillisecond);

void BM_Grid(benchmark::State& state) {
  ex::QuadratureGrid grid;
  for (auto _ : state) {
    ex::build_quadrature_grid(grid);
    benchmark::DoNotOptimize(grid.theta_grid.data());
  }
}
BENCHMARK(BM_Grid)->Unit(benchmark::kMillisecond);

// The stages after the grid, prepared the way bfit runs them.
struct Prepared {
  ex::QuadratureGrid grid;
  ex::PhaseTable table;
  std::array<float, ex::kGridPoints> phase;
  std::array<float, ex::kMaxOrder + 1> moments{};
  std::unique_ptr<ex::FitWorkspace> workspace = std::make_unique<ex::FitWorkspace>();
  std::vector<float> apl = std::vector<float>(ex::kLegendreRows * ex::kGridPoints);
  explicit Prepared(int n) {
    ex::build_quadrature_grid(grid);
    ex::read_phase_table(table_path(), table);
    ex::myspline(ex::kTableRows, table.angle, table.phase, ex::kGridPoints, grid.theta_grid, phase,
                 resume);
    ex::calmom(grid.mu_grid, phase, grid.weight_grid, n,
               std::span<float>(moments).first(static_cast<std::size_t>(n) + 1), apl);
  }
};

void BM_Resample(benchmark::State& state) {
  Prepared prepared(16);
  for (auto _ : state) {
    ex::PhaseTable table = prepared.table;  // myspline sorts in place
    ex::myspline(ex::kTableRows, table.angle, table.phase, ex::kGridPoints,
                 prepared.grid.theta_grid, prepared.phase, resume);
    benchmark::DoNotOptimize(prepared.phase.data());
  }
}
BENCHMARK(BM_Resample)->Unit(benchmark::kMillisecond);

void BM_Moments(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Prepared prepared(n);
  for (auto _ : state) {
    std::array<float, ex::kGridPoints> phase = prepared.phase;
    ex::calmom(prepared.grid.mu_grid, phase, prepared.grid.weight_grid, n,
               std::span<float>(prepared.moments).first(static_cast<std::size_t>(n) + 1),
               prepared.apl);
    benchmark::DoNotOptimize(prepared.moments.data());
  }
}
BENCHMARK(BM_Moments)->Arg(16)->Arg(64)->Arg(128)->Arg(300)->Unit(benchmark::kMillisecond);

// The moments as a job forms them, on the Legendre table its worker keeps.
void BM_MomentsOnTable(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Prepared prepared(n);
  for (auto _ : state) {
    std::array<float, ex::kGridPoints> phase = prepared.phase;
    ex::calmom_on_table(phase, prepared.grid.weight_grid, n,
                        std::span<float>(prepared.moments).first(static_cast<std::size_t>(n) + 1),
                        prepared.apl);
    benchmark::DoNotOptimize(prepared.moments.data());
  }
}
BENCHMARK(BM_MomentsOnTable)->Arg(16)->Arg(64)->Arg(128)->Arg(300)->Unit(benchmark::kMillisecond);

void BM_DesignMatrix(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Prepared prepared(n);
  std::array<float, ex::kGridPoints> rhs;
  for (auto _ : state) {
    ex::build_fit_system(prepared.phase, n, prepared.moments, prepared.apl,
                         ex::design_matrix(*prepared.workspace), rhs);
    benchmark::DoNotOptimize(prepared.workspace->u.data());
  }
}
BENCHMARK(BM_DesignMatrix)->Arg(16)->Arg(64)->Arg(128)->Arg(300)->Unit(benchmark::kMillisecond);

// svdcmp on the job's design matrix, as svdfit calls it: the vectorised
// form with a workspace made once, or the reference form.
template <bool kReference>
void BM_SvdcmpOn(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int cols = n - ex::kFixedOrder;
  Prepared prepared(n);
  std::array<float, ex::kGridPoints> rhs;
  ex::build_fit_system(prepared.phase, n, prepared.moments, prepared.apl,
                       ex::design_matrix(*prepared.workspace), rhs);
  const std::vector<float> system = prepared.workspace->u;
  std::vector<float> u = system;
  std::vector<float> v(nm::kSvdfitMaxCols * nm::kSvdfitMaxCols);
  std::vector<float> w(nm::kSvdfitMaxCols);
  nm::SvdWorkspace workspace;
  for (auto _ : state) {
    state.PauseTiming();
    u = system;
    state.ResumeTiming();
    const nm::MatView a{u, ex::kGridPoints, nm::kSvdfitMaxCols, ex::kGridPoints};
    const nm::MatView right{v, nm::kSvdfitMaxCols, nm::kSvdfitMaxCols, nm::kSvdfitMaxCols};
    if constexpr (kReference) {
      nm::reference::svdcmp(a, ex::kGridPoints, cols, w, right, resume);
    } else {
      nm::svdcmp(a, ex::kGridPoints, cols, w, right, resume, workspace);
    }
    benchmark::DoNotOptimize(w.data());
  }
}
void BM_Svdcmp(benchmark::State& state) { BM_SvdcmpOn<false>(state); }
void BM_SvdcmpReference(benchmark::State& state) { BM_SvdcmpOn<true>(state); }
BENCHMARK(BM_Svdcmp)->Arg(16)->Arg(64)->Arg(128)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SvdcmpReference)->Arg(300)->Unit(benchmark::kMillisecond);

void BM_Svbksb(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int cols = n - ex::kFixedOrder;
  Prepared prepared(n);
  std::array<float, ex::kGridPoints> rhs;
  const nm::MatView u = ex::design_matrix(*prepared.workspace);
  ex::build_fit_system(prepared.phase, n, prepared.moments, prepared.apl, u, rhs);
  std::vector<float> v(nm::kSvdfitMaxCols * nm::kSvdfitMaxCols);
  std::vector<float> w(nm::kSvdfitMaxCols);
  const nm::MatView v_view{v, nm::kSvdfitMaxCols, nm::kSvdfitMaxCols, nm::kSvdfitMaxCols};
  nm::svdcmp(u, ex::kGridPoints, cols, w, v_view, resume);
  std::vector<float> solution(static_cast<std::size_t>(cols));
  for (auto _ : state) {
    nm::svbksb(u, w, v_view, ex::kGridPoints, cols, rhs, solution);
    benchmark::DoNotOptimize(solution.data());
  }
}
BENCHMARK(BM_Svbksb)->Arg(16)->Arg(64)->Arg(128)->Arg(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
