// Inputs met while fuzzing the free-form reader (fuzz/fuzz_free_form.cpp)
// whose handling is easy to break: exponents far beyond any integer type,
// digit strings longer than a fast conversion keeps, and bytes that are not
// separators. Each Real and Double must equal the C library's correctly
// rounded conversion of the same text.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "textio/free_form.hpp"
#include "textio/run_error.hpp"

namespace phasefit::textio {
namespace {

template <class T>
std::optional<T> read_one(const std::string& text) {
  std::istringstream in(text);
  FreeFormReader reader(in, 8, "t.dat");
  T value{};
  try {
    reader.read(value);
  } catch (const RunError&) {
    return std::nullopt;
  }
  return value;
}

TEST(FreeFormRegression, ExponentsBeyondAnyIntegerType) {
  struct Case {
    const char* text;
    bool accepted;
    std::uint32_t real_bits;  // when accepted
  };
  const Case cases[] = {
      {"0e99999999999999999999", true, 0x00000000u},
      {"-0d99999999999999999999", true, 0x80000000u},
      {"1e-99999999999999999999", true, 0x00000000u},
      {"-1D-99999999999999999999", true, 0x80000000u},
      {"1e99999999999999999999", false, 0},
      {"0.000000000000000000000000000001e99999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    const std::optional<float> real = read_one<float>(c.text);
    ASSERT_EQ(real.has_value(), c.accepted) << c.text;
    if (real) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(*real), c.real_bits) << c.text;
    }
    EXPECT_EQ(read_one<double>(c.text).has_value(), c.accepted) << c.text;
  }
}

TEST(FreeFormRegression, TiesDecidedByADigitFarAlongAgreeWithTheCLibrary) {
  // Exactly between two neighbours, then a 1 after many zeros: only that
  // last digit lifts the value above the midpoint.
  for (int zeros : {10, 760, 800, 3000}) {
    const std::string real = "1.000000059604644775390625" + std::string(zeros, '0') + "1";
    const std::optional<float> f = read_one<float>(real);
    ASSERT_TRUE(f) << zeros;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(*f), 0x3F800001u) << zeros;
    EXPECT_EQ(*f, std::strtof(real.c_str(), nullptr));

    const std::string dbl =
        "1.00000000000000011102230246251565404236316680908203125" + std::string(zeros, '0') + "1";
    const std::optional<double> d = read_one<double>(dbl);
    ASSERT_TRUE(d) << zeros;
    EXPECT_EQ(*d, std::strtod(dbl.c_str(), nullptr)) << zeros;
    EXPECT_EQ(*d, std::nextafter(1.0, 2.0)) << zeros;
  }
}

TEST(FreeFormRegression, BytesThatAreNotSeparatorsBelongToTheValue) {
  // A NUL or a form feed is neither a blank nor a separator: the value
  // around it is no number, and the reader says so instead of stopping at
  // the byte.
  for (const std::string& text : {std::string("1\0", 2) + "2", std::string("1\f"),
                                  std::string("\v1"), std::string("1\x80")}) {
    EXPECT_FALSE(read_one<std::int32_t>(text).has_value());
    EXPECT_FALSE(read_one<float>(text).has_value());
  }
  // In an argument the same byte ends nothing either.
  EXPECT_THROW(read_argument_integer(std::string(" 1\0\0 ", 5), 14, "argument"), RunError);
  EXPECT_EQ(read_argument_integer(std::string("1 \0", 3), 14, "argument"), 1);
}

}  // namespace
}  // namespace phasefit::textio
