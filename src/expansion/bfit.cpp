#include "expansion/bfit.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "expansion/fit_core.hpp"
#include "expansion/table.hpp"

namespace phasefit::expansion {

void bfit(const std::string& path, int n, JobResult& result, FitWorkspace& workspace,
          const numerics::PauseHandler& pause, FitDiagnostics* diagnostics, Kernels kernels) {
  if (n < kMinOrder || n > kMaxOrder)
    throw std::invalid_argument("bfit: expansion order " + std::to_string(n) + " outside " +
                                std::to_string(kMinOrder) + ".." + std::to_string(kMaxOrder));

  PhaseTable table;
  read_phase_table(path, table);
  result.ce = table.ce;
  result.omega0 = table.omega0;
  result.g = table.g;
  result.f_delta = 0.0f;

  FitOptions options;
  options.angle_unit = holds_cosines(table.angle) ? AngleUnit::cosines : AngleUnit::degrees;
  options.diagnostics = diagnostics != nullptr;
  options.kernels = kernels;
  FitResult fitted;
  fit_values(table.angle, table.phase, n, workspace, fitted, options, pause);

  const auto orders = static_cast<std::size_t>(n) + 1;
  std::copy_n(fitted.moments.begin(), orders, result.moments.begin());
  std::copy_n(fitted.fitted_coefficients.begin(), orders, result.fitted_coefficients.begin());
  std::copy_n(fitted.coefficients.begin(), orders, result.coefficients.begin());
  result.ft = fitted.ft;
  if (diagnostics) *diagnostics = fitted.diagnostics;
}

}  // namespace phasefit::expansion
