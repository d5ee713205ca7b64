#include "expansion/table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "expansion/fault.hpp"
#include "expansion/grid.hpp"
#include "expansion_test_util.hpp"
#include "numerics/test_util.hpp"
#include "textio/read_error.hpp"

namespace phasefit::expansion {
namespace {

using phasefit::testing::bits;
using phasefit::testing::ScratchDir;
using phasefit::testing::TableText;
using phasefit::testing::write_text;

// Rows "k 10k" for k = 1..count, so every value tells its row.
TableText numbered_rows(int count) {
  TableText table;
  for (int k = 1; k <= count; ++k)
    table.rows.push_back(std::to_string(k) + " " + std::to_string(10 * k));
  return table;
}

PhaseTable read_text(const ScratchDir& dir, const std::string& text) {
  const std::string path = dir.file("table.dat");
  write_text(path, text);
  PhaseTable table;
  read_phase_table(path, table);
  return table;
}

void expect_run_error(const std::string& path, const std::string& text,
                      const std::string& cause_part) {
  write_text(path, text);
  PhaseTable table;
  try {
    read_phase_table(path, table);
    ADD_FAILURE() << "no error for " << cause_part;
  } catch (const textio::ReadError& error) {
    EXPECT_EQ(error.file(), path);
    EXPECT_NE(error.cause().find(cause_part), std::string::npos) << error.what();
  }
}

TEST(ReadPhaseTable, HeaderOverTwoLinesSkipsTheSeventhNumber) {
  ScratchDir dir;
  TableText table = numbered_rows(kTableRows);
  table.header = "9 9 9\n4.5 0.25, 0.75 123\n";
  const PhaseTable read = read_text(dir, table.text());
  EXPECT_EQ(read.ce, 4.5f);
  EXPECT_EQ(read.omega0, 0.25f);
  EXPECT_EQ(read.g, 0.75f);
  EXPECT_EQ(read.angle[0], 1.0f);
  EXPECT_EQ(read.phase[0], 10.0f);
  EXPECT_EQ(read.angle[kTableRows - 1], 498.0f);
  EXPECT_EQ(read.phase[kTableRows - 1], 4980.0f);
}

TEST(ReadPhaseTable, RowLinesTakeTheirFirstTwoNumbersAndPassOverBlankLines) {
  ScratchDir dir;
  TableText table = numbered_rows(kTableRows);
  table.rows[0] = "1 10 77";      // third number ignored
  table.rows[1] = "\n  \n2\t20";  // blank lines passed over
  table.rows[2] = "3\n30";        // one number: the read goes on
  const PhaseTable read = read_text(dir, table.text());
  for (int k = 1; k <= kTableRows; ++k) {
    EXPECT_EQ(read.angle[static_cast<std::size_t>(k - 1)], static_cast<float>(k)) << "row " << k;
    EXPECT_EQ(read.phase[static_cast<std::size_t>(k - 1)], static_cast<float>(10 * k))
        << "row " << k;
  }
}

TEST(ReadPhaseTable, LinesAfterRow498AreNeverRead) {
  ScratchDir dir;
  TableText table = numbered_rows(kTableRows);
  table.rows.push_back("this is not a number");
  table.rows.push_back("499 4990");
  const PhaseTable read = read_text(dir, table.text());
  EXPECT_EQ(read.angle[kTableRows - 1], 498.0f);
}

TEST(ReadPhaseTable, FailuresNameChannel8AndTheFile) {
  ScratchDir dir;
  const std::string path = dir.file("bad.dat");
  // 497 rows: the end of file is met by the read of row 498.
  expect_run_error(path, numbered_rows(kTableRows - 1).text(), "end of file at line 499");
  expect_run_error(path, "1 2 3 4 5\n", "end of file");
  TableText letters = numbered_rows(kTableRows);
  letters.rows[200] = "12 abc";
  expect_run_error(path, letters.text(), "abc");
  PhaseTable table;
  try {
    read_phase_table(dir.file("missing.dat"), table);
    ADD_FAILURE() << "missing file read";
  } catch (const textio::ReadError& error) {
    EXPECT_EQ(error.cause().rfind("cannot open: ", 0), 0u) << error.what();
  }
  std::filesystem::create_directory(dir.file("folder"));
  try {
    read_phase_table(dir.file("folder"), table);
    ADD_FAILURE() << "directory read";
  } catch (const textio::ReadError& error) {
    EXPECT_EQ(error.cause().rfind("cannot open: ", 0), 0u) << error.what();
  }
}

TEST(HoldsCosines, OnlyTheFirstAndLastRowsDecide) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float above_one = std::nextafter(1.0f, 2.0f);
  struct Case {
    const char* name;
    float first;
    float last;
    bool cosines;
  };
  const Case cases[] = {
      {"-1 .. 1 inclusive", -1.0f, 1.0f, true},
      {"1 .. -1 inclusive", 1.0f, -1.0f, true},
      {"degrees 0.5 and 1.0 taken as cosines", 0.5f, 1.0f, true},
      {"degrees 0 .. 180", 0.0f, 180.0f, false},
      {"first just above 1", above_one, -1.0f, false},
      {"last just below -1", 1.0f, -above_one, false},
      {"NaN first", nan, 1.0f, false},
      {"NaN last", 0.0f, nan, false},
  };
  for (const Case& c : cases) {
    std::array<float, kTableRows> angle{};
    angle.fill(50.0f);  // interior rows play no part
    angle.front() = c.first;
    angle.back() = c.last;
    EXPECT_EQ(holds_cosines(angle), c.cosines) << c.name;
  }
}

TEST(ConvertCosinesToDegrees, EveryRowUsesTheScalarRule) {
  std::array<float, kTableRows> angle{};
  for (std::size_t i = 0; i < angle.size(); ++i)
    angle[i] = 1.0f - 2.0f * static_cast<float>(i) / static_cast<float>(kTableRows - 1);
  const std::array<float, kTableRows> cosines = angle;
  convert_cosines_to_degrees(angle);
  for (std::size_t i = 0; i < angle.size(); ++i)
    EXPECT_EQ(bits(angle[i]), bits(degrees_from_cosine(cosines[i]))) << "row " << i + 1;
  EXPECT_EQ(angle.front(), 0.0f);
}

TEST(ConvertCosinesToDegrees, InteriorValueOutsideTheRangeNamesItsRow) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float bad : {1.5f, -1.0000001f, nan}) {
    std::array<float, kTableRows> angle{};
    angle.fill(0.5f);
    angle[41] = bad;
    try {
      convert_cosines_to_degrees(angle);
      ADD_FAILURE() << "no fault for " << bad;
    } catch (const TableFault& fault) {
      EXPECT_NE(std::string(fault.what()).find("row 42: cosine"), std::string::npos)
          << fault.what();
    }
    EXPECT_EQ(angle[0], 0.5f) << "converted before the check";
  }
}

}  // namespace
}  // namespace phasefit::expansion
