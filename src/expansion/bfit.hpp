#pragma once
// The tool's job on one table: read it, then the expansion every caller of
// the library gets (fit_values), with the tool's pause handler.

#include <phasefit/fit.hpp>
#include <string>

#include "expansion/diagnostics.hpp"
#include "expansion/job_result.hpp"
#include "expansion/limits.hpp"
#include "expansion/workspace.hpp"
#include "numerics/pause.hpp"

namespace phasefit::expansion {

// Expands the table at `path` to order n (kMinOrder <= n <= kMaxOrder),
// its angle column taken as cosines when holds_cosines says so, on the SVD
// kernels `kernels`. Throws textio::ReadError when the table is missing,
// unreadable or malformed, and TableFault when its values are unusable; a
// pause handler that throws ends the job with its exception. When
// `diagnostics` is given it is filled as well (see assess_fit); that only
// reads the job's results, so `result` gets the same bits either way.
// Allocates only while `workspace` grows.
void bfit(const std::string& path, int n, JobResult& result, FitWorkspace& workspace,
          const numerics::PauseHandler& pause, FitDiagnostics* diagnostics = nullptr,
          Kernels kernels = Kernels::fast);

}  // namespace phasefit::expansion
