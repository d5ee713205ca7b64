#include "expansion/delta_fit.hpp"

#include <array>
#include <cstddef>

#include "expansion/moments.hpp"
#include "numerics/svd.hpp"
#include "numerics/svd_reference.hpp"

namespace phasefit::expansion {
namespace {

// 2l + 1 as a Real; exact for every degree used.
float odd_factor(int l) { return 1.0f + static_cast<float>(l + l); }

}  // namespace

numerics::MatView design_matrix(FitWorkspace& workspace) {
  return numerics::MatView{workspace.u, kGridPoints, kMaxOrder + 1, kGridPoints};
}

void build_fit_system(std::span<const float, kGridPoints> phase_grid, int n,
                      std::span<const float> moments, std::span<const float> apl,
                      numerics::MatView u, std::span<float, kGridPoints> rhs) {
  const int fit_count = n - kFixedOrder;
  for (int i = 1; i <= kGridPoints; ++i) {
    const auto p = static_cast<std::size_t>(i - 1);
    const float phase = phase_grid[p];
    const float* column = &apl[apl_index(0, i)];

    float b = 1.0f;
    for (int k = 0; k <= kFixedOrder; ++k)
      b = b - (column[k] * (odd_factor(k) * moments[static_cast<std::size_t>(k)])) / phase;
    rhs[p] = b;

    // The truncation column sums the very quotients the coefficient
    // columns hold, so each is formed once; the sum still runs over
    // l = 0..n-1 in order.
    float truncation = 0.0f;
    for (int l = 0; l <= n - 1; ++l) {
      const float term = (column[l] * odd_factor(l)) / phase;
      truncation = truncation - term;
      if (l > kFixedOrder) u(i, l - kFixedOrder) = term;
    }
    u(i, fit_count) = truncation;
  }
}

void calfit(std::span<const float, kGridPoints> phase_grid, int n, std::span<const float> moments,
            std::span<float> fitted_coefficients, std::span<const float> apl,
            FitWorkspace& workspace, Kernels kernels, const numerics::PauseHandler& pause) {
  constexpr int point_count = kGridPoints;
  const int fit_count = n - kFixedOrder;
  std::array<float, kGridPoints> rhs;
  std::array<float, kMaxOrder + 1> fit_params;

  const numerics::MatView u = design_matrix(workspace);
  build_fit_system(phase_grid, n, moments, apl, u, rhs);
  const std::span<float> solution =
      std::span<float>(fit_params).first(static_cast<std::size_t>(fit_count));
  if (kernels == Kernels::reference) {
    numerics::reference::svdfit(point_count, solution, fit_count, u, rhs, workspace.svd, pause);
  } else {
    numerics::svdfit(point_count, solution, fit_count, u, rhs, workspace.svd, pause);
  }

  for (std::size_t l = 0; l <= kFixedOrder; ++l) fitted_coefficients[l] = moments[l];
  fitted_coefficients[static_cast<std::size_t>(n)] =
      fit_params[static_cast<std::size_t>(fit_count - 1)];
  for (int l = kFixedOrder + 1; l <= n - 1; ++l)
    fitted_coefficients[static_cast<std::size_t>(l)] =
        fit_params[static_cast<std::size_t>(l - kFixedOrder - 1)];
}

float rescale(std::span<const float> fitted_coefficients, int n, std::span<float> coefficients) {
  const float ft = fitted_coefficients[static_cast<std::size_t>(n)];
  for (std::size_t l = 0; l <= static_cast<std::size_t>(n); ++l)
    coefficients[l] = (fitted_coefficients[l] - ft) / (1.0f - ft);
  return ft;
}

}  // namespace phasefit::expansion
