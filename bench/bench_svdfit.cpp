// Time of one svdfit on the largest delta-fit system: 1000 Gauss-Legendre
// points, expansion order 300, so 298 columns (degrees 3..299 and the
// truncation column), for a smooth forward-peaked phase function. The
// vectorised routines and the element-wise reference run on the same
// system in the same process; a last pass checks that their solutions
// agree bit for bit and reports the speed-up.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>
#include <vector>

#include "numerics/legendre.hpp"
#include "numerics/matview.hpp"
#include "numerics/svd.hpp"
#include "numerics/svd_reference.hpp"

namespace {

using phasefit::numerics::MatView;

constexpr int kPoints = 1000;
constexpr int kOrder = 300;
constexpr int kFitCount = kOrder - 2;
constexpr float kAsymmetry = 0.85f;

struct DeltaFitSystem {
  std::vector<float> u =
      std::vector<float>(std::size_t{kPoints} * phasefit::numerics::kSvdfitMaxCols);
  std::vector<float> rhs = std::vector<float>(kPoints);
};

// Henyey-Greenstein phase function with asymmetry g, normalised so that its
// Legendre coefficients are (2l + 1) g^l; column j of the design matrix is
// (2l + 1) P_l(mu_i) / p_i, the last column minus their sum over l < N.
DeltaFitSystem build_system() {
  std::vector<float> mu(kPoints), weight(kPoints), poly(kOrder + 1);
  phasefit::numerics::gauleg(-1.0f, 1.0f, mu, weight, kPoints);
  DeltaFitSystem system;
  const MatView u{system.u, kPoints, phasefit::numerics::kSvdfitMaxCols, kPoints};
  const float g = kAsymmetry;
  for (int i = 1; i <= kPoints; ++i) {
    const float x = mu[static_cast<std::size_t>(i - 1)];
    const float p = (1.0f - g * g) / std::pow(1.0f + g * g - 2.0f * g * x, 1.5f);
    phasefit::numerics::fleg(x, poly, kOrder + 1);
    const auto pl = [&](int l) { return poly[static_cast<std::size_t>(l)]; };
    float truncation = 0.0f;
    for (int l = 0; l <= kOrder - 1; ++l)
      truncation = truncation - (pl(l) * static_cast<float>(2 * l + 1)) / p;
    u(i, kFitCount) = truncation;
    for (int l = 3; l <= kOrder - 1; ++l) u(i, l - 2) = (pl(l) * static_cast<float>(2 * l + 1)) / p;
    system.rhs[static_cast<std::size_t>(i - 1)] =
        1.0f - (1.0f + 3.0f * g * pl(1) + 5.0f * g * g * pl(2)) / p;
  }
  return system;
}

using SvdfitRoutine = void (*)(int, std::span<float>, int, MatView, std::span<const float>,
                               phasefit::numerics::SvdWorkspace&,
                               const phasefit::numerics::PauseHandler&);

// One svdfit of `system` (a fresh copy of its matrix), returning the
// solution; pauses are counted and resumed.
std::vector<float> solve(SvdfitRoutine routine, const DeltaFitSystem& system,
                         std::vector<float>& matrix, phasefit::numerics::SvdWorkspace& workspace,
                         int& pauses) {
  std::vector<float> solution(kFitCount);
  const phasefit::numerics::PauseHandler resume = [&](std::string_view) { ++pauses; };
  matrix = system.u;
  routine(kPoints, solution, kFitCount,
          MatView{matrix, kPoints, phasefit::numerics::kSvdfitMaxCols, kPoints}, system.rhs,
          workspace, resume);
  return solution;
}

void run_svdfit(benchmark::State& state, SvdfitRoutine routine) {
  const DeltaFitSystem original = build_system();
  std::vector<float> matrix = original.u;
  phasefit::numerics::SvdWorkspace workspace;
  std::vector<float> solution(kFitCount);
  int pauses = 0;
  // The operator always resumes; the count is reported.
  const phasefit::numerics::PauseHandler resume = [&](std::string_view) { ++pauses; };
  for (auto _ : state) {
    state.PauseTiming();
    matrix = original.u;  // svdfit leaves U in the matrix
    state.ResumeTiming();
    routine(kPoints, solution, kFitCount,
            MatView{matrix, kPoints, phasefit::numerics::kSvdfitMaxCols, kPoints}, original.rhs,
            workspace, resume);
    benchmark::DoNotOptimize(solution.data());
    benchmark::ClobberMemory();
  }
  state.counters["pauses_per_call"] =
      benchmark::Counter(pauses, benchmark::Counter::kAvgIterations);
}

void BM_Svdfit1000x298(benchmark::State& state) { run_svdfit(state, &phasefit::numerics::svdfit); }
BENCHMARK(BM_Svdfit1000x298)->Unit(benchmark::kMillisecond);

void BM_ReferenceSvdfit1000x298(benchmark::State& state) {
  run_svdfit(state, &phasefit::numerics::reference::svdfit);
}
BENCHMARK(BM_ReferenceSvdfit1000x298)->Unit(benchmark::kMillisecond);

// Best of a few timed calls of each routine, alternating, the speed-up, and
// whether the two solutions (and U) agree bit for bit.
void compare_fast_and_reference() {
  using Clock = std::chrono::steady_clock;
  const DeltaFitSystem system = build_system();
  phasefit::numerics::SvdWorkspace workspace;
  std::vector<float> fast_u, reference_u;
  std::vector<float> fast_x, reference_x;
  int pauses = 0;
  double best_fast = 1e30, best_reference = 1e30;
  for (int round = 0; round < 5; ++round) {
    auto start = Clock::now();
    fast_x = solve(&phasefit::numerics::svdfit, system, fast_u, workspace, pauses);
    best_fast = std::min(best_fast,
                         std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    start = Clock::now();
    reference_x =
        solve(&phasefit::numerics::reference::svdfit, system, reference_u, workspace, pauses);
    best_reference = std::min(
        best_reference, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  bool same = fast_x.size() == reference_x.size() && fast_u.size() == reference_u.size();
  for (std::size_t i = 0; same && i < fast_x.size(); ++i)
    same = std::bit_cast<std::uint32_t>(fast_x[i]) == std::bit_cast<std::uint32_t>(reference_x[i]);
  for (std::size_t i = 0; same && i < fast_u.size(); ++i)
    same = std::bit_cast<std::uint32_t>(fast_u[i]) == std::bit_cast<std::uint32_t>(reference_u[i]);
  std::printf(
      "svdfit 1000 x 298, best of 5: fast %.2f ms, reference %.2f ms, speed-up %.1fx; "
      "solutions and U bit-identical: %s\n",
      best_fast, best_reference, best_reference / best_fast, same ? "yes" : "NO");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  compare_fast_and_reference();
  return 0;
}
