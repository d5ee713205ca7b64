#include "expansion/bfit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "expansion/fault.hpp"
#include "expansion/grid.hpp"
#include "expansion_test_util.hpp"
#include "numerics/test_util.hpp"

namespace phasefit::expansion {
namespace {

using phasefit::testing::bits;
using phasefit::testing::failing_pause;
using phasefit::testing::forward_peaked;
using phasefit::testing::make_table;
using phasefit::testing::number;
using phasefit::testing::ScratchDir;
using phasefit::testing::TableText;
using phasefit::testing::write_text;

JobResult run_bfit(const std::string& path, int n) {
  auto workspace = std::make_unique<FitWorkspace>();
  JobResult result;
  result.f_delta = 5.0f;
  bfit(path, n, result, *workspace, failing_pause());
  return result;
}

TEST(Bfit, HeaderPassesThroughAndEndsAreExact) {
  ScratchDir dir;
  const std::string path = dir.file("table.dat");
  TableText table = make_table(forward_peaked);
  table.header = "7 7 7\n556.0077 0.87826991 0.73366110\n";
  write_text(path, table.text());
  const JobResult r = run_bfit(path, 16);
  EXPECT_EQ(r.ce, 556.0077f);
  EXPECT_EQ(r.omega0, 0.87826991f);
  EXPECT_EQ(r.g, 0.73366110f);
  EXPECT_EQ(bits(r.f_delta), bits(0.0f));
  EXPECT_EQ(bits(r.moments[0]), bits(1.0f));
  EXPECT_EQ(bits(r.coefficients[0]), bits(1.0f));
  EXPECT_EQ(bits(r.coefficients[16]), bits(0.0f));
  EXPECT_EQ(bits(r.ft), bits(r.fitted_coefficients[16]));
  // The mixture's asymmetry: 0.95 * 0.85 + 0.05 * (-0.4).
  EXPECT_NEAR(r.moments[1], 0.7875f, 2e-3f);
  // The first three header numbers play no part.
  table.header = "0 0 0 556.0077 0.87826991 0.73366110\n";
  write_text(path, table.text());
  const JobResult again = run_bfit(path, 16);
  for (std::size_t l = 0; l <= 16; ++l)
    EXPECT_EQ(bits(again.coefficients[l]), bits(r.coefficients[l]));
}

TEST(Bfit, TableNormalisedTwiceOverGivesTheSameExpansion) {
  ScratchDir dir;
  write_text(dir.file("one.dat"), make_table(forward_peaked).text());
  write_text(dir.file("two.dat"), make_table(forward_peaked, false, 2.0).text());
  const JobResult one = run_bfit(dir.file("one.dat"), 32);
  const JobResult two = run_bfit(dir.file("two.dat"), 32);
  for (std::size_t l = 0; l <= 32; ++l) {
    EXPECT_NEAR(two.moments[l], one.moments[l], 1e-5f) << "l = " << l;
    EXPECT_NEAR(two.coefficients[l], one.coefficients[l], 1e-4f) << "l = " << l;
  }
}

TEST(Bfit, CosineTableInEitherOrderGivesTheSameBits) {
  ScratchDir dir;
  TableText table = make_table(forward_peaked, true);
  write_text(dir.file("down.dat"), table.text());
  std::reverse(table.rows.begin(), table.rows.end());
  write_text(dir.file("up.dat"), table.text());
  const JobResult down = run_bfit(dir.file("down.dat"), 20);
  const JobResult up = run_bfit(dir.file("up.dat"), 20);
  for (std::size_t l = 0; l <= 20; ++l)
    EXPECT_EQ(bits(down.coefficients[l]), bits(up.coefficients[l]));
  EXPECT_EQ(bits(down.ft), bits(up.ft));
}

TEST(Bfit, OrderOutsideThreeTo300IsRefused) {
  ScratchDir dir;
  write_text(dir.file("table.dat"), make_table(forward_peaked).text());
  for (int n : {-1, 0, 2, 301})
    EXPECT_THROW(run_bfit(dir.file("table.dat"), n), std::invalid_argument) << n;
}

// Every table that would put NaN or Infinity into the coefficient file ends
// the run with a diagnostic on the table's channel.
TEST(Bfit, UnusableTablesEndTheRunOnChannel8) {
  QuadratureGrid grid;
  build_quadrature_grid(grid);
  const auto constant = [](double) { return 1.0; };

  TableText equal_angles = make_table(forward_peaked);
  equal_angles.rows[300] = equal_angles.rows[299];

  // A knot at a grid angle with value 0 makes the spline exactly 0 there.
  TableText zero_point = make_table(constant);
  zero_point.rows[450] = number(grid.theta_grid[300]) + " 0";

  TableText zeros = make_table([](double) { return 0.0; });

  TableText huge = make_table(constant);
  for (std::size_t row = 100; row < 400; row += 3)
    huge.rows[row] = huge.rows[row].substr(0, huge.rows[row].find(' ')) + " 3e38";

  TableText bad_cosine = make_table(forward_peaked, true);
  bad_cosine.rows[99] = "1.25 3.0";

  struct Case {
    const char* name;
    const TableText* table;
    const char* cause;
  };
  const Case cases[] = {
      {"two rows at one angle", &equal_angles, "equal angles"},
      {"phase 0 at a grid angle", &zero_point, "phase function is 0 at grid angle"},
      {"all phase values 0", &zeros, "is 0"},
      {"values overflowing the spline", &huge, "not finite"},
      {"interior cosine outside [-1, 1]", &bad_cosine, "row 100: cosine 1.25 outside [-1, 1]"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    const std::string path = dir.file("table.dat");
    write_text(path, c.table->text());
    try {
      run_bfit(path, 16);
      ADD_FAILURE() << "no failure: " << c.name;
    } catch (const TableFault& fault) {
      EXPECT_NE(std::string(fault.what()).find(c.cause), std::string::npos)
          << c.name << ": " << fault.what();
    }
  }
}

}  // namespace
}  // namespace phasefit::expansion
