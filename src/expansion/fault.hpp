#pragma once
// A table whose values make the expansion meaningless (two rows at the same
// angle, a zero phase value on the grid, a zero or non-finite normalisation,
// a truncation factor of 1, ...). The stages know only the numbers, not the
// file they came from, so they throw TableFault with the cause; bfit turns
// it into the textio::RunError that names the table and ends the run.

#include <stdexcept>
#include <string>

namespace phasefit::expansion {

class TableFault : public std::runtime_error {
 public:
  explicit TableFault(const std::string& cause) : std::runtime_error(cause) {}
};

// Shortest text that reads back as the same float ("nan", "inf" as they
// come), for diagnostics that quote a value.
std::string format_value(float value);

}  // namespace phasefit::expansion
