#pragma once
// A plane rotation of svdcmp's diagonalisation, as it is recorded for later
// application to U or V.

namespace phasefit::numerics {

// Columns first and second (1-based) become x_first*c + x_second*s and
// x_second*c - x_first*s. An entry with second = 0 negates column first
// instead.
struct PlaneRotation {
  int first = 0;
  int second = 0;
  float c = 0.0f;
  float s = 0.0f;
};

}  // namespace phasefit::numerics
