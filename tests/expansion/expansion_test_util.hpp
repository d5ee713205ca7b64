#pragma once
// Helpers shared by the expansion tests: scratch directories, table files
// written from generated phase functions, and the Henyey-Greenstein
// functions those tables are made of.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "expansion/bfit.hpp"
#include "expansion/grid.hpp"
#include "henyey_greenstein.hpp"
#include "numerics/pause.hpp"

namespace phasefit::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "phasefit-exp-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
}

// A forward-peaked mixture: 95 % HG(0.85) and a 5 % backscatter lobe.
inline double forward_peaked(double mu) {
  return 0.95 * henyey_greenstein(0.85, mu) + 0.05 * henyey_greenstein(-0.4, mu);
}

// Angles of the generated tables: 0..180 degrees, dense near the forward
// direction where the function is steep.
inline std::array<double, expansion::kTableRows> table_angles() {
  std::array<double, expansion::kTableRows> angles{};
  for (int k = 0; k < expansion::kTableRows; ++k) {
    const double t = static_cast<double>(k) / (expansion::kTableRows - 1);
    angles[static_cast<std::size_t>(k)] = 180.0 * t * t;
  }
  return angles;
}

// Cosines of the generated cosine tables, 1 down to -1 evenly: angles as
// dense near 0 as table_angles() would round to cosines of exactly 1.
inline std::array<double, expansion::kTableRows> table_cosines() {
  std::array<double, expansion::kTableRows> cosines{};
  for (int k = 0; k < expansion::kTableRows; ++k)
    cosines[static_cast<std::size_t>(k)] = 1.0 - 2.0 * k / (expansion::kTableRows - 1);
  return cosines;
}

struct TableText {
  std::string header = "0.55 10 2 0.125 0.875 0.75\n";
  std::vector<std::string> rows;
  std::string text() const {
    std::string out = header;
    for (const auto& row : rows) out += row + "\n";
    return out;
  }
};

inline std::string number(double value) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.9g", value);
  return buffer;
}

// Rows "angle phase" of `function` (of the cosine), angles in degrees or,
// when as_cosines, as cosines; `scale` multiplies every phase value.
template <class Function>
TableText make_table(Function function, bool as_cosines = false, double scale = 1.0) {
  TableText table;
  const double pi = std::acos(-1.0);
  if (as_cosines) {
    for (double mu : table_cosines())
      table.rows.push_back(number(mu) + " " + number(scale * function(mu)));
    return table;
  }
  for (double angle : table_angles()) {
    const double mu = std::cos(angle * pi / 180.0);
    table.rows.push_back(number(angle) + " " + number(scale * function(mu)));
  }
  return table;
}

// The quadrature grid, built once.
inline const expansion::QuadratureGrid& grid() {
  static const expansion::QuadratureGrid built = [] {
    expansion::QuadratureGrid g;
    expansion::build_quadrature_grid(g);
    return g;
  }();
  return built;
}

inline numerics::PauseHandler failing_pause() {
  return [](std::string_view message) { ADD_FAILURE() << "unexpected pause: " << message; };
}

}  // namespace phasefit::testing
