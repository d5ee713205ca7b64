#pragma once
// The phase-function table of one job: a header of six numbers (the last
// three are Ce, omega0 and g, passed through) and 498 rows of angle and
// phase value. The angle column holds degrees or, when its first and last
// rows are both within [-1, 1], cosines.

#include <array>
#include <istream>
#include <span>
#include <string>

#include "expansion/limits.hpp"

namespace phasefit::expansion {

// Rows in file order (element i - 1 is row i).
struct PhaseTable {
  std::array<float, kTableRows> angle;
  std::array<float, kTableRows> phase;
  float ce = 0.0f;
  float omega0 = 0.0f;
  float g = 0.0f;
};

// Reads the table at `path` in free form: the six header numbers by one
// read (whatever follows the sixth on its line is skipped), then each of the
// 498 rows by a read of its own; lines after row 498 are never read. The
// file must exist and is only read. Throws textio::ReadError naming the
// file when it cannot be opened, ends early or holds a non-number.
void read_phase_table(const std::string& path, PhaseTable& table);

// The same reads from an open stream; `name` stands for the file in
// diagnostics. The path form opens the file and then reads through this.
void read_phase_table(std::istream& in, const std::string& name, PhaseTable& table);

// True when the first and the last row as read both lie within [-1, 1]
// (inclusive; a NaN fails): the column then holds cosines. Interior rows
// play no part in the decision.
bool holds_cosines(std::span<const float, kTableRows> angle);

// Replaces every cosine by its angle in degrees (degrees_from_cosine).
// Throws TableFault naming the row (and its index) when a value lies
// outside [-1, 1], where the arc cosine is undefined; nothing is converted
// then.
void convert_cosines_to_degrees(std::span<float> angle);

}  // namespace phasefit::expansion
