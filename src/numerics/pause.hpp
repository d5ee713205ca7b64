#pragma once
// The operator pause. A numerical routine that meets a condition only the
// operator can judge (no convergence, a degenerate spline interval, a full
// sort stack) calls the handler it was given with its message. The handler
// either returns, and the routine carries on where it stopped, or throws
// the exception that ends the run. The numerics never print or read.

#include <functional>
#include <string_view>

namespace phasefit::numerics {

using PauseHandler = std::function<void(std::string_view message)>;

}  // namespace phasefit::numerics
