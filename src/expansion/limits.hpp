#pragma once
// Fixed sizes of the expansion: the range of the expansion order (the
// library's own), the rows of a phase-function table and the points of the
// quadrature grid.

#include <phasefit/fit.hpp>

namespace phasefit::expansion {

inline constexpr int kMinOrder = phasefit::kMinOrder;
inline constexpr int kMaxOrder = phasefit::kMaxOrder;
inline constexpr int kTableRows = 498;
inline constexpr int kGridPoints = 1000;

}  // namespace phasefit::expansion
