// Fits a Henyey-Greenstein phase function tabulated at 181 angles (every
// degree) to order 32 and prints its delta-fit: the truncation factor, the
// first rescaled coefficients and the fit quality. Exits with 1 when the
// result is not what the function's known moments (g^l) say.

#include <cmath>
#include <cstdio>
#include <numbers>
#include <phasefit/fit.hpp>
#include <vector>

int main() {
  const double g = 0.8;
  std::vector<float> angles;
  std::vector<float> values;
  for (int degrees = 0; degrees <= 180; ++degrees) {
    const double mu = std::cos(degrees * std::numbers::pi / 180.0);
    angles.push_back(static_cast<float>(degrees));
    values.push_back(static_cast<float>((1 - g * g) / std::pow(1 + g * g - 2 * g * mu, 1.5)));
  }

  phasefit::FitScratch scratch;  // one per thread, reused call after call
  phasefit::FitResult result;
  phasefit::FitOptions options;
  options.diagnostics = true;
  try {
    phasefit::fit(angles, values, 32, scratch, result, options);
  } catch (const phasefit::FitError& error) {
    std::fprintf(stderr, "fit_hg: %s (index %td)\n", error.what(), error.index());
    return 1;
  }

  std::printf("ft = %.6f\n", static_cast<double>(result.ft));
  for (std::size_t l = 0; l <= 4; ++l)
    std::printf("l = %zu  chi = %.7f  c = %.7f\n", l, static_cast<double>(result.moments[l]),
                static_cast<double>(result.coefficients[l]));
  std::printf("rms deviation %.3e, flags:", result.diagnostics.rms_deviation);
  for (std::size_t i = 0; i < phasefit::flag_names().size(); ++i)
    if (result.flags & (1u << i)) std::printf(" %s", phasefit::flag_names()[i].data());
  std::printf("\n");

  const bool moments_ok = std::abs(result.moments[1] - g) < 1e-3;
  const bool ends_ok = result.coefficients[0] == 1.0f && result.coefficients[32] == 0.0f;
  return moments_ok && ends_ok && result.ft < 1.0f ? 0 : 1;
}
