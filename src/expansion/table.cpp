#include "expansion/table.hpp"

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "expansion/fault.hpp"
#include "expansion/grid.hpp"
#include "textio/free_form.hpp"
#include "textio/read_error.hpp"

namespace phasefit::expansion {

void read_phase_table(const std::string& path, PhaseTable& table) {
  errno = 0;
  std::ifstream in(path);
  if (!in.is_open()) {
    const int cause = errno != 0 ? errno : ENOENT;
    throw textio::ReadError(path, std::string("cannot open: ") + std::strerror(cause));
  }
  // A directory opens as a stream on Linux and only fails on the first
  // read; name the real cause instead.
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored))
    throw textio::ReadError(path, std::string("cannot open: ") + std::strerror(EISDIR));

  read_phase_table(in, path, table);
}

void read_phase_table(std::istream& in, const std::string& name, PhaseTable& table) {
  textio::FreeFormReader reader(in, name);
  float unused1 = 0.0f;
  float unused2 = 0.0f;
  float unused3 = 0.0f;
  reader.read(unused1, unused2, unused3, table.ce, table.omega0, table.g);
  for (std::size_t i = 0; i < table.angle.size(); ++i) reader.read(table.angle[i], table.phase[i]);
}

bool holds_cosines(std::span<const float, kTableRows> angle) {
  return std::abs(angle.front()) <= 1.0f && std::abs(angle.back()) <= 1.0f;
}

void convert_cosines_to_degrees(std::span<float> angle) {
  // Only the end rows decided that this is a table of cosines; an interior
  // value outside [-1, 1] has no angle, and converting it would hand a NaN
  // to the spline.
  for (std::size_t i = 0; i < angle.size(); ++i) {
    if (!(std::abs(angle[i]) <= 1.0f))
      throw TableFault("row " + std::to_string(i + 1) + ": cosine " + format_value(angle[i]) +
                           " outside [-1, 1]",
                       static_cast<std::ptrdiff_t>(i));
  }
  for (float& value : angle) value = degrees_from_cosine(value);
}

}  // namespace phasefit::expansion
