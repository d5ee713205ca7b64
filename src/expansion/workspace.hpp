#pragma once
// The work arrays of the expansion, owned by the caller and reused job
// after job.

#include <vector>

#include "expansion/grid.hpp"
#include "expansion/limits.hpp"
#include "numerics/svd.hpp"

namespace phasefit::expansion {

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

}  // namespace phasefit::expansion
