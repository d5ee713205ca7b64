#include "textio/free_form.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "textio/run_error.hpp"

namespace phasefit::textio {
namespace {

// Runs `body` expecting a RunError; returns it so its fields can be checked.
template <class Body>
RunError expect_run_error(Body body) {
  try {
    body();
  } catch (const RunError& error) {
    return error;
  }
  ADD_FAILURE() << "no RunError thrown";
  return RunError(textio::kNoChannel, "", "");
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// The rest of the stream after the reader stopped: proves which lines were
// consumed.
std::string remaining(std::istream& in) {
  std::ostringstream rest;
  rest << in.rdbuf();
  return rest.str();
}

TEST(FreeFormReader, EachSeparatorAndRecordEnding) {
  struct Case {
    const char* name;
    const char* input;
  };
  const Case cases[] = {
      {"blanks", "1 2 3\n"},
      {"tabs", "1\t2\t\t3\n"},
      {"commas", "1,2,3\n"},
      {"commas with blanks", "1 , 2,  3\n"},
      {"line ends", "1\n2\n3\n"},
      {"comma at a line end", "1,\n2,\n3\n"},
      {"comma starting a continuation line", "1\n,2\n,3\n"},
      {"blank lines between", "1\n\n   \n\t\n2 3\n"},
      {"carriage returns", "1 2\r\n3\r\n"},
      {"last line without line feed", "1 2 3"},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.input);
    FreeFormReader reader(in, textio::kTableChannel, "t.dat");
    float a = 0, b = 0, d = 0;
    reader.read(a, b, d);
    EXPECT_EQ(a, 1.0f) << c.name;
    EXPECT_EQ(b, 2.0f) << c.name;
    EXPECT_EQ(d, 3.0f) << c.name;
  }
}

TEST(FreeFormReader, RealAndDoubleForms) {
  const char* forms[] = {"0.55",   ".55",   "5.5E-1", "5.5e-1", "5.5D-1",
                         "5.5d-1", "+0.55", "55E-2",  "55d-2",  "0.0055e+2"};
  for (const char* form : forms) {
    std::istringstream in(std::string(form) + " " + form + "\n");
    FreeFormReader reader(in, 112, "wl.dat");
    float f = 0;
    double d = 0;
    reader.read(f, d);
    EXPECT_EQ(bits(f), bits(0.55f)) << form;
    EXPECT_EQ(d, 0.55) << form;
  }
  std::istringstream in("1 -2 1. -0.0 7E1\n");
  FreeFormReader reader(in, 112, "wl.dat");
  double one = 0, minus_two = 0, one_point = 0, seventy = 0;
  float negative_zero = 1;
  reader.read(one, minus_two, one_point, negative_zero, seventy);
  EXPECT_EQ(one, 1.0);
  EXPECT_EQ(minus_two, -2.0);
  EXPECT_EQ(one_point, 1.0);
  EXPECT_EQ(bits(negative_zero), 0x80000000u);
  EXPECT_EQ(seventy, 70.0);
}

TEST(FreeFormReader, RealsAreCorrectlyRoundedFromTheDecimalText) {
  struct Case {
    const char* text;
    std::uint32_t want;
  };
  const Case cases[] = {
      // Just above the midpoint between 1 and the next float: rounding
      // through double would land exactly on the midpoint and go to even.
      {"1.00000005960464477539062500000000001", 0x3F800001u},
      // Exactly the midpoint: ties to even.
      {"1.000000059604644775390625", 0x3F800000u},
      // Midpoint above an odd significand: ties to even goes up.
      {"1.000000178813934326171875", 0x3F800002u},
      {"3.4028234663852886e38", 0x7F7FFFFFu},
      {"1.4e-45", 0x00000001u},
      {"1e-50", 0x00000000u},
      {"-1e-50", 0x80000000u},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.text);
    FreeFormReader reader(in, textio::kTableChannel, "t.dat");
    float f = 0;
    reader.read(f);
    EXPECT_EQ(bits(f), c.want) << c.text;
  }
}

TEST(FreeFormReader, IntegersUseAllThirtyTwoBits) {
  std::istringstream in("2147483647 -2147483648 +5 007\n");
  FreeFormReader reader(in, 111, "re.dat");
  std::int32_t a = 0, b = 0, c = 0, d = 0;
  reader.read(a, b, c, d);
  EXPECT_EQ(a, 2147483647);
  EXPECT_EQ(b, -2147483647 - 1);
  EXPECT_EQ(c, 5);
  EXPECT_EQ(d, 7);
}

TEST(FreeFormReader, TableHeaderOverSeveralLinesSkipsTheSeventhNumber) {
  std::istringstream in("9 9\n9\n\n1.5 0.9 0.85 77\n0 1.0\n180 2.0 extra words\n5\n6\nrest");
  FreeFormReader reader(in, textio::kTableChannel, "WVN_0p55_DE_010.dat");
  float h1, h2, h3, ce, omega0, g;
  reader.read(h1, h2, h3, ce, omega0, g);
  EXPECT_EQ(ce, 1.5f);
  EXPECT_EQ(omega0, 0.9f);
  EXPECT_EQ(g, 0.85f);
  EXPECT_EQ(reader.line(), 4);

  float angle = -1, phase = -1;
  reader.read(angle, phase);  // 77 is not the first angle
  EXPECT_EQ(angle, 0.0f);
  EXPECT_EQ(phase, 1.0f);
  reader.read(angle, phase);  // third item on the line ignored
  EXPECT_EQ(angle, 180.0f);
  EXPECT_EQ(phase, 2.0f);
  reader.read(angle, phase);  // one number per line: continues
  EXPECT_EQ(angle, 5.0f);
  EXPECT_EQ(phase, 6.0f);
  EXPECT_EQ(reader.line(), 8);
  EXPECT_EQ(remaining(in), "rest");
}

TEST(FreeFormReader, LinesAfterTheNeededValuesAreNeverRead) {
  std::string table = "0 0 0 1 1 0.8\n";
  for (int i = 1; i <= 498; ++i) table += std::to_string(i) + " 1.0\n";
  table += "not a number at all\n";
  std::istringstream in(table);
  FreeFormReader reader(in, textio::kTableChannel, "t.dat");
  float v[6];
  reader.read(v[0], v[1], v[2], v[3], v[4], v[5]);
  float angle = 0, phase = 0;
  for (int i = 1; i <= 498; ++i) reader.read(angle, phase);
  EXPECT_EQ(angle, 498.0f);
  EXPECT_EQ(reader.line(), 499);
  EXPECT_EQ(remaining(in), "not a number at all\n");
}

TEST(FreeFormReader, RepeatCounts) {
  std::istringstream in("3*0.5 2\n2*7 8\n9\n2*'a b'\n");
  FreeFormReader reader(in, textio::kTableChannel, "t.dat");
  float a = 0, b = 0, c = 0, d = 0;
  reader.read(a, b, c, d);
  EXPECT_EQ(a, 0.5f);
  EXPECT_EQ(b, 0.5f);
  EXPECT_EQ(c, 0.5f);
  EXPECT_EQ(d, 2.0f);
  // Copies left over at the end of a read do not carry into the next.
  std::int32_t i = 0;
  reader.read(i);
  EXPECT_EQ(i, 7);
  reader.read(i);
  EXPECT_EQ(i, 9);
  std::string s, t;
  reader.read(s, t);
  EXPECT_EQ(s, "a b");
  EXPECT_EQ(t, "a b");
}

TEST(FreeFormReader, TextValues) {
  struct Case {
    const char* name;
    const char* input;
    const char* want;
  };
  const Case cases[] = {
      {"first word of a band line", "B07 thermal window\n", "B07"},
      {"quoted phrase", "'B07 thermal window' x\n", "B07 thermal window"},
      {"quotation marks", "\"B07 thermal window\"\n", "B07 thermal window"},
      {"dot kept", "  ch4.3um\n", "ch4.3um"},
      {"ends at comma", "ch4,x\n", "ch4"},
      {"ends at slash", "ch4/x\n", "ch4"},
      {"doubled apostrophe", "'it''s, a/b'\n", "it's, a/b"},
      {"doubled quotation mark", "\"say \"\"hi\"\"\"\n", "say \"hi\""},
      {"other delimiter inside", "'say \"hi\"'\n", "say \"hi\""},
      {"empty quoted", "''\n", ""},
      {"carriage return", "B07\r\n", "B07"},
      {"after blank lines", "\n \n B07\n", "B07"},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.input);
    FreeFormReader reader(in, 112, "input_band.dat");
    std::string value = "stale";
    reader.read(value);
    EXPECT_EQ(value, c.want) << c.name;
  }
  std::istringstream in("'B07 thermal window'\n");
  FreeFormReader reader(in, 112, "input_band.dat");
  std::string phrase;
  reader.read(phrase);
  EXPECT_EQ(phrase.size(), 18u);
}

TEST(FreeFormReader, FailuresNameChannelFileAndLine) {
  enum Kind { kInt, kReal, kDouble, kText };
  struct Case {
    const char* name;
    const char* input;
    Kind kind;
    int count;  // values in the one read
    const char* want;
  };
  const Case cases[] = {
      {"letters for an integer", "abc\n", kInt, 1, "line 1: 'abc' is not a valid integer"},
      {"fraction for an integer", "\n1.5\n", kInt, 1, "line 2: '1.5' is not a valid integer"},
      {"digits then letters", "12abc\n", kInt, 1, "line 1: '12abc' is not a valid integer"},
      {"integer overflow", "2147483648\n", kInt, 1, "'2147483648' is not a valid integer"},
      {"quoted number", "'5'\n", kInt, 1, "'5' is not a valid integer"},
      {"letters for a real", "1 2\nx y\n", kReal, 4, "line 2: 'x' is not a valid real number"},
      {"nan", "nan\n", kReal, 1, "'nan' is not a valid real number"},
      {"infinity", "inf\n", kDouble, 1, "'inf' is not a valid real number"},
      {"hexadecimal", "0x1p3\n", kReal, 1, "'0x1p3' is not a valid real number"},
      {"exponent without digits", "1e\n", kReal, 1, "'1e' is not a valid real number"},
      {"lone point", ".\n", kReal, 1, "'.' is not a valid real number"},
      {"real overflow", "1e39\n", kReal, 1, "'1e39' is not a valid real number"},
      {"double overflow", "1e309\n", kDouble, 1, "'1e309' is not a valid real number"},
      {"end of file mid-read", "1 2 3\n4\n", kReal, 6, "end of file at line 3 while reading"},
      {"empty file", "", kInt, 1, "end of file at line 1 while reading an integer"},
      {"only blank lines", "\n  \n", kText, 1, "end of file at line 3 while reading a text value"},
      {"open quote at end of file", "'abc\n", kText, 1, "end of file at line 2"},
      {"text after closing quote", "'a'b\n", kText, 1, "line 1: unexpected character"},
      {"empty field", "1,,2\n", kReal, 3, "line 1: null value (empty field) not accepted"},
      {"leading comma", " ,2\n", kInt, 1, "line 1: null value (empty field) not accepted"},
      {"empty field across lines", "1,\n,2\n", kInt, 2, "line 2: null value"},
      {"repeat of nothing", "3*\n", kReal, 1, "line 1: null value '3*' not accepted"},
      {"repeat of blank", "2* 5\n", kReal, 2, "line 1: null value '2*' not accepted"},
      {"zero repeat", "0*5\n", kInt, 1, "line 1: '0' is not a valid repeat count"},
      {"slash", "1 / 2\n", kReal, 2, "line 1: slash ends the read before all values were read"},
      {"slash on next line", "1\n/\n", kText, 2, "line 2: slash ends the read"},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.input);
    FreeFormReader reader(in, textio::kTableChannel, "WVN_0p55_DE_010.dat");
    const RunError error = expect_run_error([&] {
      reader.begin_read();
      for (int i = 0; i < c.count; ++i) {
        std::int32_t n;
        float f;
        double d;
        std::string s;
        switch (c.kind) {
          case kInt:
            reader.next(n);
            break;
          case kReal:
            reader.next(f);
            break;
          case kDouble:
            reader.next(d);
            break;
          case kText:
            reader.next(s);
            break;
        }
      }
      reader.end_read();
    });
    EXPECT_EQ(error.channel(), textio::kTableChannel) << c.name;
    EXPECT_EQ(error.file(), "WVN_0p55_DE_010.dat") << c.name;
    EXPECT_NE(error.cause().find(c.want), std::string::npos)
        << c.name << ": cause was \"" << error.cause() << "\"";
    const std::string what = error.what();
    EXPECT_NE(what.find("8"), std::string::npos) << c.name;
    EXPECT_NE(what.find("WVN_0p55_DE_010.dat"), std::string::npos) << c.name;
  }
}

TEST(FreeFormReader, ASlashAfterTheLastNeededValueIsHarmless) {
  std::istringstream in("4 / anything\n5\n");
  FreeFormReader reader(in, 111, "re.dat");
  std::int32_t n = 0;
  reader.read(n);
  EXPECT_EQ(n, 4);
  reader.read(n);
  EXPECT_EQ(n, 5);
}

// `prefix`, then `pattern` over and over up to `size` bytes in all; counts
// the bytes the reader took.
class UnendingSource : public std::streambuf {
 public:
  UnendingSource(std::string prefix, const std::string& pattern, std::size_t size)
      : prefix_(std::move(prefix)), left_(size) {
    while (chunk_.size() < (1u << 16)) chunk_ += pattern;
  }
  std::size_t handed_out() const { return handed_out_; }

 protected:
  int_type underflow() override {
    if (!prefix_done_) {
      prefix_done_ = true;
      if (!prefix_.empty()) return hand_out(prefix_);
    }
    return hand_out(chunk_);
  }

 private:
  int_type hand_out(std::string& from) {
    const std::size_t n = std::min(left_, from.size());
    if (n == 0) return traits_type::eof();
    setg(from.data(), from.data(), from.data() + n);
    left_ -= n;
    handed_out_ += n;
    return traits_type::to_int_type(*gptr());
  }

  std::string prefix_, chunk_;
  bool prefix_done_ = false;
  std::size_t left_, handed_out_ = 0;
};

TEST(FreeFormReader, RecordsBeyondTheLengthLimitFailWithoutReadingOn) {
  constexpr std::size_t kLimit = FreeFormReader::kMaxRecordLength;
  {  // At the limit, with or without a carriage return, a record is read.
    std::istringstream in("5" + std::string(kLimit - 1, ' ') + "\r\n7" +
                          std::string(kLimit - 1, ' ') + "\n9\n");
    FreeFormReader reader(in, 111, "re.dat");
    std::int32_t a = 0, b = 0, c = 0;
    reader.read(a);
    reader.read(b);
    reader.read(c);
    EXPECT_EQ(a + b + c, 5 + 7 + 9);
  }
  struct Case {
    const char* name;
    std::string prefix;
    std::string pattern;  // repeated to 64 MiB
    const char* want;
  };
  const Case cases[] = {
      {"one byte over", "1\n" + std::string(kLimit + 1, 'x') + "\n", "\n",
       "line 2 is longer than 1048576 bytes"},
      {"carriage return not at the end", std::string(kLimit, '1') + "\r", "\r\n",
       "line 1 is longer than 1048576 bytes"},
      {"NUL bytes without a line end", "", std::string(1, '\0'),
       "line 1 is longer than 1048576 bytes"},
      {"open quote over many short records", "'", "abc\n",
       "quoted value is longer than 1048576 bytes"},
  };
  for (const Case& c : cases) {
    UnendingSource source(c.prefix, c.pattern, std::size_t{64} << 20);
    std::istream in(&source);
    FreeFormReader reader(in, textio::kTableChannel, "t.dat");
    const RunError error = expect_run_error([&] {
      std::string first, second;
      reader.read(first, second);
    });
    EXPECT_NE(error.cause().find(c.want), std::string::npos)
        << c.name << ": cause was \"" << error.cause().substr(0, 200) << "\"";
    EXPECT_LT(source.handed_out(), 3 * kLimit) << c.name;
  }
}

TEST(ReadArgumentInteger, ConvertsTheFirstValueOfTheField) {
  struct Case {
    const char* argument;
    std::int32_t want;
  };
  const Case cases[] = {
      {"1", 1},
      {" 1", 1},
      {"1 2", 1},
      {"1,2", 1},
      {"1/", 1},
      {"-3", -3},
      {"+7", 7},
      {"300", 300},
      {"0000000300", 300},
      {"         4", 4},
      {"12345678901", 1234567890},
      {"2147483647", 2147483647},
      {"1 abc", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_argument_integer(c.argument, 10, "argument 4 (expansion order)"), c.want)
        << "'" << c.argument << "'";
  }
}

TEST(ReadArgumentInteger, RefusesAnythingButAnInteger) {
  // "          5": the 5 lies outside the 10-character field.
  const char* refused[] = {"",  "   ", "          5", "abc",        "1.5", "12abc", ",1",
                           "/", "+",   "-",           "9999999999", "2*5", "0x10"};
  for (const char* argument : refused) {
    const RunError error = expect_run_error(
        [&] { read_argument_integer(argument, 10, "argument 3 (spectral mode)"); });
    EXPECT_EQ(error.channel(), textio::kNoChannel) << "'" << argument << "'";
    EXPECT_EQ(error.file(), "") << "'" << argument << "'";
    EXPECT_EQ(error.cause(),
              std::string("argument 3 (spectral mode): '") + argument + "' is not an integer");
  }
}

}  // namespace
}  // namespace phasefit::textio
