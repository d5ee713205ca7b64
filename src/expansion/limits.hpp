#pragma once
// Fixed sizes of the expansion: the range of the expansion order, the rows
// of a phase-function table and the points of the quadrature grid.

namespace phasefit::expansion {

inline constexpr int kMinOrder = 3;
inline constexpr int kMaxOrder = 300;
inline constexpr int kTableRows = 498;
inline constexpr int kGridPoints = 1000;

}  // namespace phasefit::expansion
