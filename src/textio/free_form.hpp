#pragma once
// Free-form (list-directed) input. A read statement starts at a new record
// and takes values in order; values are separated by blanks, tabs, commas
// (with or without blanks around them) and line ends; a statement that needs
// more values continues on the following records, passing over lines that
// hold only blanks; whatever remains of the last record it touched is
// skipped. Failures throw textio::ReadError naming the file and the line,
// or, for a reader the driver opened on one of its channels, the
// textio::RunError of that channel.
//
// Records are read one at a time and only when a value is still needed, so a
// statement never consumes a line beyond the one holding its last value.
// A record (or a quoted value) longer than kMaxRecordLength bytes is a read
// failure: reading stops there, so a file without line ends (a sparse file,
// a device such as /dev/zero) costs bounded memory and time.
//
// Accepted forms:
//   Integer  optionally signed decimal digits that fit 32 bits.
//   Real, Double  optionally signed digits with an optional point and an
//            optional exponent letter E or D (either case) followed by an
//            optionally signed exponent: 1, 0.55, .55, 5.5E-1, 5.5d-1.
//            A Real is the correctly rounded single-precision value of the
//            decimal text. A magnitude too large for the type is an error.
//   text     up to the next blank, comma or slash, or enclosed in
//            apostrophes or quotation marks (a doubled delimiter inside
//            stands for one; a quoted value may continue on the next record).
//   r*c      a positive repeat count r: r copies of the value c.
// A null value (an empty field between commas, a leading comma, or r* with
// no value) and a slash before every target has a value are errors: the
// targets are never left holding stale values.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace phasefit::textio {

class FreeFormReader {
 public:
  // Far above any real table or run-list line (a few dozen bytes), far
  // below the memory of the machine.
  static constexpr std::size_t kMaxRecordLength = std::size_t{1} << 20;

  // `in` must outlive the reader. file (and channel) name the source in
  // diagnostics: a reader with a channel throws RunError on it, one
  // without throws ReadError.
  FreeFormReader(std::istream& in, int channel, std::string file);
  FreeFormReader(std::istream& in, std::string file);

  // One read statement filling every target in order. Targets are
  // std::int32_t (Integer), float (Real, correctly rounded from the
  // decimal text), double (Double) and std::string (text value).
  template <class... Targets>
  void read(Targets&... targets) {
    begin_read();
    (next(targets), ...);
    end_read();
  }

  // The pieces of one statement, for readers that decide as they go.
  void begin_read();
  void next(std::int32_t& value);
  void next(float& value);
  void next(double& value);
  void next(std::string& value);
  void end_read();

  // 1-based number of the last record read (0 before the first).
  int line() const { return line_; }

 private:
  // One value as it stood in the input: its text (delimiters removed and
  // doubled delimiters collapsed when quoted) and whether it was quoted.
  struct Item {
    std::string text;
    bool quoted = false;
  };

  Item next_item(const char* what);
  bool fetch_record();
  Item scan_value(const char* what);
  [[noreturn]] void fail(const std::string& cause) const;

  std::istream& in_;
  std::optional<int> channel_;
  std::string file_;
  std::string record_;   // the current record, without its line end
  std::size_t pos_ = 0;  // next unread character of record_
  int line_ = 0;
  bool in_statement_ = false;
  bool have_record_ = false;
  // True after a value until the separator that follows it has been
  // passed; a comma met while this is false delimits a null value.
  bool after_value_ = false;
  int repeat_left_ = 0;  // further copies of repeat_value_ still owed
  Item repeat_value_;
};

// Free-form Integer conversion of a command-line argument: the argument is
// copied into a field of `field_width` characters (cut, or filled with
// blanks), leading blanks are skipped, and one optionally signed digit
// string is read, ending at a blank, comma, slash or the end of the field;
// whatever follows is ignored. A missing value, anything else before the
// end (letters, a fraction) or a value outside 32 bits throws
// RunError(textio::kNoChannel, "", "<what>: '<argument>' is not an integer").
std::int32_t read_argument_integer(std::string_view argument, int field_width,
                                   std::string_view what);

}  // namespace phasefit::textio
