// The stream form of the table reader, which the table fuzz target drives.
// The path form only opens the file and hands it to this form, so the
// reading rules are tested once, through the path form (table_test.cpp)
// and the free-form reader (free_form_test.cpp). The stream form's own
// duty: its diagnostics name the file it was told, not a path it never
// opened.

#include <gtest/gtest.h>

#include <sstream>

#include "expansion/table.hpp"
#include "textio/read_error.hpp"

namespace phasefit::expansion {
namespace {

TEST(ReadPhaseTableStream, ATableThatEndsEarlyNamesTheGivenFile) {
  std::istringstream in("1 2 3 4 5 6\n0 1\n");
  PhaseTable table;
  try {
    read_phase_table(in, "name.dat", table);
    ADD_FAILURE() << "a table of one row was read";
  } catch (const textio::ReadError& error) {
    EXPECT_EQ(error.file(), "name.dat");
  }
}

}  // namespace
}  // namespace phasefit::expansion
