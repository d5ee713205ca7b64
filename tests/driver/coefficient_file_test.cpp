#include "driver/coefficient_file.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/test_files.hpp"

namespace phasefit::driver {
namespace {

using phasefit::testing::lines_of;

expansion::JobResult worked_example() {
  expansion::JobResult result;
  result.ce = 1.234567f;
  result.omega0 = 0.9987654f;
  result.g = 0.8512345f;
  result.f_delta = 0.0f;
  result.ft = 0.4321f;
  const float coefficients[] = {1.0f, 0.7421875f, 0.515625f, 0.2890625f, 0.0f};
  for (std::size_t l = 0; l < 5; ++l) result.coefficients[l] = coefficients[l];
  return result;
}

TEST(CoefficientFile, WorkedExampleIsReproducedByteForByte) {
  const std::string expected =
      "\n\n\n\n"
      " Ce, omega0, g-factor, f-delta\n"
      "    0.12346E+01      0.99877E+00      0.85123E+00      0.00000E+00\n"
      "\n"
      " truncation = y  1-Jul-2002\n"
      " 0.432100  0.000000 truncation factor (ft) and f-delta\n"
      "           4 coefficients\n"
      "   1   1.0000000\n"
      "   2   0.7421875\n"
      "   3   0.5156250\n"
      "   4   0.2890625\n"
      "   5   0.0000000\n";
  EXPECT_EQ(format_coefficient_file(4, worked_example()), expected);
}

TEST(CoefficientFile, RecordCountAndIndexColumnFollowTheOrder) {
  struct Case {
    int n;
    const char* record10;
    const char* last_record;
  };
  const Case cases[] = {
      {3, "           3 coefficients", "   4   0.2890625"},
      {300, "         300 coefficients", " 301   0.0000000"},
  };
  for (const auto& c : cases) {
    expansion::JobResult result = worked_example();
    result.coefficients[static_cast<std::size_t>(c.n)] = c.n == 3 ? 0.2890625f : 0.0f;
    const auto lines = lines_of(format_coefficient_file(c.n, result));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(c.n + 11)) << "n = " << c.n;
    EXPECT_EQ(lines[9], c.record10) << "n = " << c.n;
    EXPECT_EQ(lines.back(), c.last_record) << "n = " << c.n;
    EXPECT_EQ(lines[10], "   1   1.0000000") << "n = " << c.n;
  }
}

TEST(CoefficientFile, ValuesOutsideTheirFieldsAndSignedZeros) {
  expansion::JobResult result = worked_example();
  result.coefficients[1] = -0.0123457f;
  result.coefficients[2] = 10000.0f;
  result.coefficients[3] = -1000.0f;
  result.coefficients[4] = -0.0f;
  result.ft = 100.0f;
  const auto lines = lines_of(format_coefficient_file(4, result));
  EXPECT_EQ(lines[11], "   2  -0.0123457");
  EXPECT_EQ(lines[12], "   3************");
  EXPECT_EQ(lines[13], "   4************");
  EXPECT_EQ(lines[14], "   5  -0.0000000");
  EXPECT_EQ(lines[8], "*********  0.000000 truncation factor (ft) and f-delta");
  result.ft = -10.0f;
  EXPECT_EQ(lines_of(format_coefficient_file(4, result))[8].substr(0, 9), "*********");
}

}  // namespace
}  // namespace phasefit::driver
