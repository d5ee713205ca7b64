#pragma once
// The phase-function expansion of one table: read it, resample it onto the
// quadrature grid, compute its Legendre moments, fit the delta-fit expansion
// and rescale it by the truncation factor.

#include <string>

#include "expansion/job_result.hpp"
#include "expansion/limits.hpp"
#include "expansion/workspace.hpp"
#include "numerics/pause.hpp"

namespace phasefit::expansion {

struct FitDiagnostics;  // expansion/diagnostics.hpp

// Expands the table at `path` to order n (kMinOrder <= n <= kMaxOrder).
// Throws textio::RunError on channel textio::kTableChannel when the table is
// missing, unreadable or unusable; a pause handler that throws ends the job
// the same way. When `diagnostics` is given it is filled as well (see
// assess_fit); that only reads the job's results, so `result` gets the same
// bits either way, and it allocates nothing.
void bfit(const std::string& path, int n, JobResult& result, FitWorkspace& workspace,
          const numerics::PauseHandler& pause, FitDiagnostics* diagnostics = nullptr);

}  // namespace phasefit::expansion
