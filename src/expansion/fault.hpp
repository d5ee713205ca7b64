#pragma once
// A table whose values make the expansion meaningless (two rows at the same
// angle, a zero phase value on the grid, a zero or non-finite normalisation,
// a truncation factor of 1, ...). The stages know only the numbers, not the
// file they came from, so they throw TableFault with the cause and, where
// one value is to blame, its index among the values they were given. The
// tool names the table file with it; the library hands both to its caller.

#include <cstddef>
#include <stdexcept>
#include <string>

namespace phasefit::expansion {

class TableFault : public std::runtime_error {
 public:
  explicit TableFault(const std::string& cause, std::ptrdiff_t index = -1)
      : std::runtime_error(cause), index_(index) {}

  // 0-based index of the offending value, -1 when none.
  std::ptrdiff_t index() const { return index_; }

 private:
  std::ptrdiff_t index_;
};

// Shortest text that reads back as the same float ("nan", "inf" as they
// come), for diagnostics that quote a value.
std::string format_value(float value);

}  // namespace phasefit::expansion
