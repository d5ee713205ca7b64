#pragma once
// The one computation behind phasefit::fit and the tool's job: a table of
// values at angles, expanded to order N. The library wraps it with its
// pause policy and error type; the tool's job (bfit) hands it a table file's
// rows and its own pause handler, which may ask the operator.

#include <phasefit/fit.hpp>
#include <span>

#include "expansion/workspace.hpp"
#include "numerics/pause.hpp"

namespace phasefit::expansion {

// phasefit::fit with the pause handled by `pause` (options.on_pause is not
// read): the handler returns to resume, or throws to end the fit. Throws
// TableFault, with the offending value's index where there is one, for
// everything phasefit::fit refuses but the pause. The scratch of
// `workspace` grows to the table's row count; nothing else is allocated.
void fit_values(std::span<const float> angles, std::span<const float> values, int order,
                FitWorkspace& workspace, FitResult& result, const FitOptions& options,
                const numerics::PauseHandler& pause);

}  // namespace phasefit::expansion
