#include "textio/edit.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace phasefit::textio {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct RealCase {
  const char* name;
  double value;
  int width;
  int digits;
  const char* want;
};

TEST(EditE, RoundsFromTheExactValue) {
  const RealCase cases[] = {
      {"typical", 1.234567f, 15, 5, "    0.12346E+01"},
      {"negative", -1.234567f, 15, 5, "   -0.12346E+01"},
      {"zero", 0.0f, 15, 5, "    0.00000E+00"},
      {"negative zero", -0.0f, 15, 5, "   -0.00000E+00"},
      {"carry into a new digit", 9.999995f, 15, 5, "    0.10000E+02"},
      {"just below the carry", 9.99994f, 15, 5, "    0.99999E+01"},
      {"tie to even, down", 1.03125f, 15, 5, "    0.10312E+01"},
      {"tie to even, up", 1.09375f, 15, 5, "    0.10938E+01"},
      {"small", 0.000123456f, 15, 5, "    0.12346E-03"},
      {"largest float", std::numeric_limits<float>::max(), 15, 5, "    0.34028E+39"},
      {"smallest subnormal", std::numeric_limits<float>::denorm_min(), 15, 5, "    0.14013E-44"},
      {"NaN", kNaN, 15, 5, "            NaN"},
      {"infinity", kInf, 15, 5, "       Infinity"},
      {"negative infinity", -kInf, 15, 5, "      -Infinity"},
      {"optional zero dropped to fit", 1.0f, 10, 5, ".10000E+01"},
      {"too narrow", -1.0f, 10, 5, "**********"},
  };
  for (const RealCase& c : cases) {
    EXPECT_EQ(edit_e(static_cast<float>(c.value), c.width, c.digits), c.want) << c.name;
  }
}

TEST(EditF, CoefficientsTruncationFactorAndLabels) {
  const RealCase cases[] = {
      // F12.7, coefficients
      {"coefficient", 0.7421875f, 12, 7, "   0.7421875"},
      {"negative below 1", -0.0123457f, 12, 7, "  -0.0123457"},
      {"widest positive", 9999.0f, 12, 7, "9999.0000000"},
      {"coefficient 10000", 10000.0f, 12, 7, "************"},
      {"widest negative", -999.5f, 12, 7, "-999.5000000"},
      {"coefficient -1000", -1000.0f, 12, 7, "************"},
      {"negative zero", -0.0f, 12, 7, "  -0.0000000"},
      {"negative, rounds to zero", -1e-9f, 12, 7, "  -0.0000000"},
      {"NaN", kNaN, 12, 7, "         NaN"},
      {"infinity", kInf, 12, 7, "    Infinity"},
      {"negative infinity", -kInf, 12, 7, "   -Infinity"},
      // F9.6, truncation factor
      {"truncation factor", 0.4321f, 9, 6, " 0.432100"},
      {"zero", 0.0f, 9, 6, " 0.000000"},
      {"ft 99.5", 99.5f, 9, 6, "99.500000"},
      {"ft 100", 100.0f, 9, 6, "*********"},
      {"ft -9.5", -9.5f, 9, 6, "-9.500000"},
      {"ft -10", -10.0f, 9, 6, "*********"},
      {"ft -0.5 fits with its zero", -0.5f, 9, 6, "-0.500000"},
      {"optional zero dropped to fit", -0.5f, 8, 6, "-.500000"},
      {"full infinity fits", kInf, 9, 6, " Infinity"},
      {"negative infinity just fits", -kInf, 9, 6, "-Infinity"},
      {"short infinity", -kInf, 4, 1, "-Inf"},
      {"no room for infinity", kInf, 2, 0, "**"},
      // F10.2, wavelength labels (exact Double values)
      {"tie to even, down", 0.125, 10, 2, "      0.12"},
      {"tie to even, up", 0.375, 10, 2, "      0.38"},
      {"0.005 lies above the midpoint", 0.005, 10, 2, "      0.01"},
      {"0.015 lies below the midpoint", 0.015, 10, 2, "      0.01"},
      {"2.675 lies below the midpoint", 2.675, 10, 2, "      2.67"},
      {"reference", 0.55, 10, 2, "      0.55"},
      {"0.549", 0.549, 10, 2, "      0.55"},
      {"0.551", 0.551, 10, 2, "      0.55"},
      {"wavelength 0", 0.0, 10, 2, "      0.00"},
      {"wavelength 10", 10.0, 10, 2, "     10.00"},
      {"wavelength 3.456", 3.456, 10, 2, "      3.46"},
      {"negative wavelength", -1.5, 10, 2, "     -1.50"},
      {"widest label", 1234567.89, 10, 2, "1234567.89"},
      {"label too wide", 12345678.9, 10, 2, "**********"},
      {"no digits after the point", 3.0, 4, 0, "  3."},
  };
  for (const RealCase& c : cases) {
    EXPECT_EQ(edit_f(c.value, c.width, c.digits), c.want) << c.name;
  }
}

TEST(EditI, RightAlignedWithMinimumDigits) {
  struct Case {
    const char* name;
    std::int64_t value;
    int width;
    int min_digits;
    const char* want;
  };
  const Case cases[] = {
      {"index 1", 1, 4, 1, "   1"},
      {"index 301", 301, 4, 1, " 301"},
      {"negative", -5, 4, 1, "  -5"},
      {"widest negative", -999, 4, 1, "-999"},
      {"too wide", 10000, 4, 1, "****"},
      {"too wide negative", -1000, 4, 1, "****"},
      {"size 7", 7, 3, 3, "007"},
      {"size 42", 42, 3, 3, "042"},
      {"size 999", 999, 3, 3, "999"},
      {"size 0", 0, 3, 3, "000"},
      {"size 1000", 1000, 3, 3, "***"},
      {"negative size", -5, 3, 3, "***"},
      {"zero with no minimum", 0, 3, 0, "   "},
      {"most negative", std::numeric_limits<std::int64_t>::min(), 20, 1, "-9223372036854775808"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(edit_i(c.value, c.width, c.min_digits), c.want) << c.name;
  }
}

TEST(EditA, CutsLongTextAndRightAlignsShortText) {
  EXPECT_EQ(edit_a("abcdef", 3), "abc");
  EXPECT_EQ(edit_a("abc", 3), "abc");
  EXPECT_EQ(edit_a("abc", 5), "  abc");
  EXPECT_EQ(edit_a("", 2), "  ");
}

TEST(ListRecords, IntegersTakeElevenCharactersAfterOneBlank) {
  EXPECT_EQ(list_record_int(300), "         300");
  EXPECT_EQ(list_record_int(4), "           4");
  EXPECT_EQ(list_record_int(-2147483647 - 1), " -2147483648");
  EXPECT_EQ(list_record_int_text(3, "coefficients"), "           3 coefficients");
  EXPECT_EQ(list_record_text(""), " ");
  EXPECT_EQ(list_record_text("truncation = y  1-Jul-2002").size(), 27u);
}

}  // namespace
}  // namespace phasefit::textio
