#include "expansion/bfit.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <stdexcept>

#include "expansion/delta_fit.hpp"
#include "expansion/diagnostics.hpp"
#include "expansion/fault.hpp"
#include "expansion/grid.hpp"
#include "expansion/moments.hpp"
#include "expansion/resample.hpp"
#include "expansion/table.hpp"
#include "textio/run_error.hpp"

namespace phasefit::expansion {
namespace {

// A grid point with a zero phase value has every entry of its row of the
// design matrix divided by zero.
void require_nonzero_phase(const QuadratureGrid& grid,
                           std::span<const float, kGridPoints> phase_grid) {
  for (std::size_t i = 0; i < phase_grid.size(); ++i) {
    if (phase_grid[i] == 0.0f)
      throw TableFault("phase function is 0 at grid angle " + format_value(grid.theta_grid[i]) +
                       " degrees: the fit divides by it");
  }
}

void require_finite_result(const JobResult& result, int n) {
  if (!std::isfinite(result.ft))
    throw TableFault("the truncation factor ft is not finite (" + format_value(result.ft) + ")");
  for (int l = 0; l <= n; ++l) {
    const float value = result.coefficients[static_cast<std::size_t>(l)];
    if (!std::isfinite(value))
      throw TableFault("coefficient " + std::to_string(l) + " is not finite (" +
                       format_value(value) + ")");
  }
}

}  // namespace

void bfit(const std::string& path, int n, JobResult& result, FitWorkspace& workspace,
          const numerics::PauseHandler& pause, FitDiagnostics* diagnostics) {
  if (n < kMinOrder || n > kMaxOrder)
    throw std::invalid_argument("bfit: expansion order " + std::to_string(n) + " outside " +
                                std::to_string(kMinOrder) + ".." + std::to_string(kMaxOrder));

  PhaseTable table;
  read_phase_table(path, table);
  result.ce = table.ce;
  result.omega0 = table.omega0;
  result.g = table.g;
  result.f_delta = 0.0f;

  const auto orders = static_cast<std::size_t>(n) + 1;
  const std::span<float> moments = std::span<float>(result.moments).first(orders);
  const std::span<float> fitted = std::span<float>(result.fitted_coefficients).first(orders);
  const std::span<float> coefficients = std::span<float>(result.coefficients).first(orders);

  try {
    if (holds_cosines(table.angle)) convert_cosines_to_degrees(table.angle);

    if (!workspace.grid_built) {
      build_quadrature_grid(workspace.grid);
      workspace.grid_built = true;
    }
    const QuadratureGrid& grid = workspace.grid;
    if (workspace.legendre_order < n) {
      fill_legendre_table(grid.mu_grid, n, workspace.apl);
      workspace.legendre_order = n;
    }

    std::array<float, kGridPoints> phase_grid;
    myspline(kTableRows, table.angle, table.phase, kGridPoints, grid.theta_grid, phase_grid, pause);
    if (diagnostics)
      diagnostics->extrapolated_points = count_extrapolated_points(table.angle, grid.theta_grid);

    const float chi0 = calmom_on_table(phase_grid, grid.weight_grid, n, moments, workspace.apl);
    if (diagnostics) {
      diagnostics->chi0_sum = chi0;
      diagnostics->renormalised = renormalisation_fires(chi0);
    }
    require_nonzero_phase(grid, phase_grid);

    calfit(phase_grid, n, moments, fitted, workspace, pause);

    if (fitted[static_cast<std::size_t>(n)] == 1.0f)
      throw TableFault("the truncation factor ft is 1: the rescaling divides by 1 - ft = 0");
    result.ft = rescale(fitted, n, coefficients);
    require_finite_result(result, n);
    if (diagnostics)
      assess_fit(phase_grid, workspace.apl, n, coefficients, result.ft, *diagnostics);
  } catch (const TableFault& fault) {
    throw textio::RunError(textio::kTableChannel, path, fault.what());
  }
}

}  // namespace phasefit::expansion
