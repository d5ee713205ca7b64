// Golden files: the complete coefficient files of one bundled example table
// at a low and at the highest order, as the tool wrote them when they were
// checked by hand (coefficients decaying from 1, the first moment equal to
// the table's asymmetry factor, 0 < ft < 1, the last coefficient 0). Any
// later change of a single rounding anywhere in the chain shows up here.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "driver/tool_runner.hpp"

namespace {

using namespace phasefit::testing;

class Golden : public TempDirTest<::testing::TestWithParam<int>> {
 protected:
  Golden() : TempDirTest("golden") {}
  void SetUp() override {
    TempDirTest::SetUp();
    if (HasFatalFailure()) return;
    fs::create_directories(root_ / "out");
    write_file(root_ / "INPUT/input_re.dat", "1\n10\n");
    write_file(root_ / "INPUT/wl.dat", "1\n0.55\n");
  }
};

TEST_P(Golden, ExampleTableGivesTheStoredCoefficientFile) {
  const int order = GetParam();
  const fs::path tables = fs::path(PHASEFIT_TEST_DATA) / "../../examples/tables/";
  const Outcome outcome = run_tool(root_, {tables.string(), "out/", "0", std::to_string(order)});
  ASSERT_EQ(outcome.status, 0) << outcome.err;

  const std::string want = read_file(fs::path(PHASEFIT_TEST_DATA) / "golden" /
                                     ("WVN_0p55_DE_010_N" + std::to_string(order) + ".dat"));
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(read_file(root_ / "out/WVN_0p55_DE_010.dat"), want);
  EXPECT_EQ(read_file(root_ / "out/WN_REF_RE_010.dat"), want);
  EXPECT_EQ(outcome.err, "");
}

INSTANTIATE_TEST_SUITE_P(Orders, Golden, ::testing::Values(16, 300));

}  // namespace
