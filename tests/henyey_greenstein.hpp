#pragma once
// Henyey-Greenstein phase functions and the tables written from them, for
// the tests of every subsystem.

#include <cmath>
#include <functional>
#include <numbers>
#include <sstream>
#include <string>

namespace phasefit::testing {

// The Henyey-Greenstein phase function at the cosine `mu`, normalised so
// that half its integral over the cosine is 1, times `scale`.
inline double henyey_greenstein(double g, double mu, double scale = 1.0) {
  return scale * (1.0 - g * g) / std::pow(1.0 + g * g - 2.0 * g * mu, 1.5);
}

// A table file: its two header records, then `rows` rows of the angle of
// row i (`angle(i)`, in degrees, or its cosine when `cosines`) and the
// phase value at that angle (`phase(angle)`), nine significant digits.
inline std::string table_text(const std::string& header, int rows,
                              const std::function<double(int)>& angle,
                              const std::function<double(double)>& phase, bool cosines = false) {
  std::ostringstream text;
  text << header;
  text.precision(9);
  for (int i = 0; i < rows; ++i) {
    const double theta = angle(i);
    text << (cosines ? std::cos(theta * std::numbers::pi / 180.0) : theta) << ' ' << phase(theta)
         << '\n';
  }
  return text.str();
}

// A Henyey-Greenstein table of `rows` rows evenly spaced over 0..180
// degrees, its phase values multiplied by `scale`. With g = 0.85 at
// N = 300, svdcmp misses convergence once, which raises the operator pause.
inline std::string hg_table_text(double g, int rows = 498, double scale = 1.0) {
  std::ostringstream header;
  header << "10 0.55 0\n2.1 0.99 " << g << "\n";
  return table_text(
      header.str(), rows, [](int i) { return 180.0 * i / 497.0; },
      [&](double theta) {
        return henyey_greenstein(g, std::cos(theta * std::numbers::pi / 180.0), scale);
      });
}

}  // namespace phasefit::testing
