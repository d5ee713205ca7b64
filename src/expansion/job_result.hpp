#pragma once
// What the expansion of one table returns to the driver.

#include <array>

#include "expansion/limits.hpp"

namespace phasefit::expansion {

// What one job returns to the driver; indices 0..N of the arrays are set.
struct JobResult {
  std::array<float, kMaxOrder + 1> moments{};
  std::array<float, kMaxOrder + 1> fitted_coefficients{};
  std::array<float, kMaxOrder + 1> coefficients{};
  float ft = 0.0f;
  float ce = 0.0f;
  float omega0 = 0.0f;
  float g = 0.0f;
  float f_delta = 0.0f;
};

}  // namespace phasefit::expansion
