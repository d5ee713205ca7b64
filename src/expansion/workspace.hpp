#pragma once
// The data of the expansion: what every job shares and only reads (the
// quadrature grid and its Legendre table), and the work arrays each thread
// owns and reuses job after job.

#include <vector>

#include "expansion/grid.hpp"
#include "expansion/limits.hpp"
#include "numerics/svd.hpp"

namespace phasefit::expansion {

// Depends on constants only: built once per process and then only read, by
// any number of threads at once.
struct FitPlan {
  QuadratureGrid grid{};
  // Legendre table of the grid, entry (l, i) = P_l(mu_grid(i)) at
  // apl_index(l, i), for every degree 0..kMaxOrder. The recurrence gives
  // each degree the same bits whatever the highest degree computed, so one
  // table serves every order.
  std::vector<float> apl;
};

// The plan, built on the first call (thread-safe) and kept for the
// process.
const FitPlan& fit_plan();

// Large work arrays of one job, owned by the caller and reused job after
// job (one per worker thread): once they have grown to the largest table
// seen, nothing is allocated per job.
struct FitWorkspace {
  // Design matrix, 1000 rows (leading dimension 1000) by 301 columns.
  std::vector<float> u = std::vector<float>(kGridPoints * (kMaxOrder + 1));
  numerics::SvdWorkspace svd;
  // The table's angles (degrees) and values, sorted together, and the
  // spline's work (two entries per row); grown to the largest table seen.
  std::vector<float> table_x;
  std::vector<float> table_y;
  std::vector<float> spline_work;
};

}  // namespace phasefit::expansion
