// Time of one svdfit on the largest delta-fit system: 1000 Gauss-Legendre
// points, expansion order 300, so 298 columns (degrees 3..299 and the
// truncation column), for a smooth forward-peaked phase function.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <string_view>
#include <vector>

#include "numerics/legendre.hpp"
#include "numerics/matview.hpp"
#include "numerics/svd.hpp"

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

void BM_Svdfit1000x298(benchmark::State& state) {
  const DeltaFitSystem original = build_system();
  DeltaFitSystem system = original;
  phasefit::numerics::SvdWorkspace workspace;
  std::vector<float> solution(kFitCount);
  int pauses = 0;
  // The operator always resumes; the count is reported.
  const phasefit::numerics::PauseHandler resume = [&](std::string_view) { ++pauses; };
  for (auto _ : state) {
    state.PauseTiming();
    system.u = original.u;  // svdfit leaves U in the matrix
    state.ResumeTiming();
    phasefit::numerics::svdfit(
        kPoints, solution, kFitCount,
        MatView{system.u, kPoints, phasefit::numerics::kSvdfitMaxCols, kPoints}, system.rhs,
        workspace, resume);
    benchmark::DoNotOptimize(solution.data());
    benchmark::ClobberMemory();
  }
  state.counters["pauses_per_call"] =
      benchmark::Counter(pauses, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Svdfit1000x298)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
