#pragma once
// The delta-fit: the phase function on the grid approximated by
//   Pfit(mu) = sum over l = 0..N-1 of (2l + 1) (c_l - ft) P_l(mu),
// with c0, c1, c2 the moments and c3..c(N-1) and the truncation factor ft
// fitted by least squares on the relative deviation (P_i - Pfit(mu_i)) / P_i
// at the 1000 grid points; then the rescaling that removes the forward peak.

#include <phasefit/fit.hpp>
#include <span>

#include "expansion/workspace.hpp"
#include "numerics/matview.hpp"
#include "numerics/pause.hpp"

namespace phasefit::expansion {

// Moments of degrees 0..kFixedOrder are taken over, not fitted.
inline constexpr int kFixedOrder = 2;

// The design matrix of the workspace: 1000 rows (leading dimension 1000)
// by 301 columns.
numerics::MatView design_matrix(FitWorkspace& workspace);

// Writes the least-squares system of order n (3 <= n <= 300):
//   rhs(i) = 1 - sum over k = 0..2 of (P_k(mu_i) (2k + 1) chi_k) / P_i,
//   u(i, l - 2) = (P_l(mu_i) (2l + 1)) / P_i for l = 3..n-1,
//   u(i, n - 2) = -sum over l = 0..n-1 of (P_l(mu_i) (2l + 1)) / P_i,
// each sum formed term by term in the order of l. apl holds the Legendre
// table of the grid (fill_legendre_table) for degrees 0..n. Only
// moments(0..2) are read. Columns n-1 and above of u are not touched.
void build_fit_system(std::span<const float, kGridPoints> phase_grid, int n,
                      std::span<const float> moments, std::span<const float> apl,
                      numerics::MatView u, std::span<float, kGridPoints> rhs);

// Fits the delta-fit of order n (3 <= n <= 300) to phase_grid. Reads the
// Legendre table apl of the grid (degrees 0..n, as fill_legendre_table
// writes it) and moments(0..2); overwrites workspace.u and workspace.svd.
// `kernels` picks the SVD kernels (same bits either way).
// fitted_coefficients(0..2) = moments(0..2), (3..n-1) the fitted
// coefficients, (n) the truncation factor ft. The pause goes to svdfit
// ("no convergence in svdcmp"); resumed, the fit uses what the
// decomposition has. No allocation.
void calfit(std::span<const float, kGridPoints> phase_grid, int n, std::span<const float> moments,
            std::span<float> fitted_coefficients, std::span<const float> apl,
            FitWorkspace& workspace, Kernels kernels, const numerics::PauseHandler& pause);

// ft = fitted(n); coefficients(l) = (fitted(l) - ft) / (1 - ft) for
// l = 0..n, so coefficients(0) is 1 and coefficients(n) is 0 exactly.
// Returns ft. The caller guards against ft == 1.
float rescale(std::span<const float> fitted_coefficients, int n, std::span<float> coefficients);

}  // namespace phasefit::expansion
