#pragma once
// The phase-function expansion of one table: read it, resample it onto the
// quadrature grid, compute its Legendre moments, fit the delta-fit expansion
// and rescale it by the truncation factor.

#include <array>
#include <string>
#include <vector>

#include "expansion/grid.hpp"
#include "expansion/limits.hpp"
#include "numerics/pause.hpp"
#include "numerics/svd.hpp"

namespace phasefit::expansion {

// What one job returns to the driver; indices 0..N of the arrays are set.
struct JobResult {
  std::array<float, kMaxOrder + 1> moments{};
  std::array<float, kMaxOrder + 1> fitted_coefficients{};
  std::array<float, kMaxOrder + 1> coefficients{};
  float ft = 0.0f;
  float ce = 0.0f;
  float omega0 = 0.0f;
  float g = 0.0f;
  float f_delta = 0.0f;
};

// Large work arrays of one job, owned by the caller and reused job after job
// (one per worker thread): nothing is allocated per job.
struct FitWorkspace {
  // The quadrature grid and the Legendre table on it depend on constants
  // and the order only, so a workspace builds them once and keeps them:
  // every job would build the same bits again. bfit builds the grid on
  // first use and extends the table to a higher order when a job needs it
  // (the recurrence gives the same values for the degrees already there).
  QuadratureGrid grid{};
  bool grid_built = false;
  // Legendre table, entry (l, i) = P_l(mu_grid(i)) at l + (i - 1) * 301;
  // bfit keeps rows 0..legendre_order filled for `grid` (-1: none yet).
  std::vector<float> apl = std::vector<float>((kMaxOrder + 1) * kGridPoints);
  int legendre_order = -1;
  // Design matrix, 1000 rows (leading dimension 1000) by 301 columns.
  std::vector<float> u = std::vector<float>(kGridPoints * (kMaxOrder + 1));
  numerics::SvdWorkspace svd;
  // Solve with the one-element-at-a-time reference kernels
  // (numerics::reference::svdfit), which give the same bits more slowly:
  // lets a whole run be checked and timed against them.
  bool reference_kernels = false;
};

struct FitDiagnostics;  // expansion/diagnostics.hpp

// Expands the table at `path` to order n (kMinOrder <= n <= kMaxOrder).
// Throws textio::RunError on channel kTableChannel when the table is
// missing, unreadable or unusable; a pause handler that throws ends the job
// the same way. When `diagnostics` is given it is filled as well (see
// assess_fit); that only reads the job's results, so `result` gets the same
// bits either way, and it allocates nothing.
void bfit(const std::string& path, int n, JobResult& result, FitWorkspace& workspace,
          const numerics::PauseHandler& pause, FitDiagnostics* diagnostics = nullptr);

}  // namespace phasefit::expansion
