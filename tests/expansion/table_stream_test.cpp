// The stream form of the table reader, which the table fuzz target drives:
// it must read exactly what the path form reads, and name the given file
// in its diagnostics.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "expansion/table.hpp"
#include "expansion_test_util.hpp"
#include "textio/read_error.hpp"

namespace phasefit::expansion {
namespace {

using phasefit::testing::ScratchDir;
using phasefit::testing::TableText;
using phasefit::testing::write_text;

TEST(ReadPhaseTableStream, ReadsWhatThePathFormReads) {
  TableText text;
  text.header = "1 2\n3 4.5d0, 0.25 0.75 ignored\n";
  for (int k = 1; k <= kTableRows; ++k)
    text.rows.push_back(std::to_string(k) + ".5E-1 , " + std::to_string(3 * k) + "d2 tail");
  ScratchDir dir;
  const std::string path = dir.file("table.dat");
  write_text(path, text.text());

  PhaseTable from_path;
  read_phase_table(path, from_path);
  std::istringstream in(text.text());
  PhaseTable from_stream;
  read_phase_table(in, "table.dat", from_stream);

  EXPECT_EQ(from_stream.angle, from_path.angle);
  EXPECT_EQ(from_stream.phase, from_path.phase);
  EXPECT_EQ(from_stream.ce, from_path.ce);
  EXPECT_EQ(from_stream.omega0, from_path.omega0);
  EXPECT_EQ(from_stream.g, from_path.g);
  EXPECT_EQ(from_stream.ce, 4.5f);
  EXPECT_EQ(from_stream.phase[kTableRows - 1], 3.0f * kTableRows * 100.0f);
}

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
