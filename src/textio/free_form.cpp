#include "textio/free_form.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <istream>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

#include "textio/read_error.hpp"
#include "textio/run_error.hpp"

namespace phasefit::textio {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
// Characters that end an undelimited value.
bool ends_value(char c) { return is_blank(c) || c == ',' || c == '/'; }

// An optionally signed decimal digit string that fits 32 bits, and nothing
// else. The magnitude is accumulated in 64 bits and checked digit by digit,
// so no length of digit string can overflow.
std::optional<std::int32_t> parse_int32(std::string_view s) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return std::nullopt;
  const std::int64_t limit = negative ? std::int64_t{2147483648} : std::int64_t{2147483647};
  std::int64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return std::nullopt;
    magnitude = magnitude * 10 + (s[i] - '0');
    if (magnitude > limit) return std::nullopt;
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

// Checks the decimal forms accepted for a Real or Double and returns the
// text in the form std::from_chars takes: no leading '+', exponent letter
// 'e'. Anything else (inf, nan, hexadecimal, stray characters) is refused.
std::optional<std::string> normalise_decimal(std::string_view s) {
  std::size_t i = 0;
  std::string out;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (s[i] == '-') out += '-';
    ++i;
  }
  int mantissa_digits = 0;
  for (; i < s.size() && is_digit(s[i]); ++i, ++mantissa_digits) out += s[i];
  if (i < s.size() && s[i] == '.') {
    out += s[i++];
    for (; i < s.size() && is_digit(s[i]); ++i, ++mantissa_digits) out += s[i];
  }
  if (mantissa_digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
    out += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) out += s[i++];
    int exponent_digits = 0;
    for (; i < s.size() && is_digit(s[i]); ++i, ++exponent_digits) out += s[i];
    if (exponent_digits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  return out;
}

// Converts checked decimal text to T, correctly rounded. A magnitude beyond
// the largest finite T is refused; one below the smallest subnormal becomes
// a zero of the right sign, as the decimal-to-binary rounding gives it.
template <class T>
std::optional<T> parse_decimal(std::string_view text) {
  const std::optional<std::string> clean = normalise_decimal(text);
  if (!clean) return std::nullopt;
  const char* first = clean->data();
  const char* last = first + clean->size();
  T value{};
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec == std::errc{} && ptr == last) return value;
  if (ec != std::errc::result_out_of_range) return std::nullopt;
  // Out of range: the C conversion (correctly rounded too) tells overflow
  // from underflow and gives the rounded tiny value.
  errno = 0;
  T fallback;
  if constexpr (std::is_same_v<T, float>) {
    fallback = std::strtof(clean->c_str(), nullptr);
  } else {
    fallback = std::strtod(clean->c_str(), nullptr);
  }
  if (std::isinf(fallback)) return std::nullopt;
  return fallback;
}

std::string quoted_for_message(std::string_view text) {
  std::string out = "'";
  out += text;
  out += "'";
  return out;
}

}  // namespace

FreeFormReader::FreeFormReader(std::istream& in, int channel, std::string file)
    : in_(in), channel_(channel), file_(std::move(file)) {}

FreeFormReader::FreeFormReader(std::istream& in, std::string file)
    : in_(in), file_(std::move(file)) {}

void FreeFormReader::fail(const std::string& cause) const {
  if (channel_) throw RunError(*channel_, file_, cause);
  throw ReadError(file_, cause);
}

void FreeFormReader::begin_read() {
  // Every statement starts at a fresh record: whatever the previous one left
  // of its last record is gone.
  in_statement_ = true;
  have_record_ = false;
  record_.clear();
  pos_ = 0;
  after_value_ = false;
  repeat_left_ = 0;
}

void FreeFormReader::end_read() {
  in_statement_ = false;
  have_record_ = false;
  record_.clear();
  pos_ = 0;
  after_value_ = false;
  repeat_left_ = 0;
}

bool FreeFormReader::fetch_record() {
  // What std::getline does, except that reading stops as soon as the record
  // is known to be too long: std::getline would hold the whole of a file
  // without line ends in memory, and never end on a device like /dev/zero.
  // The stream buffer signals a failed read by throwing; that is a read
  // error, as the bad stream is after std::getline.
  const auto read_error = [this] { fail("read error after line " + std::to_string(line_)); };
  if (!in_.good()) {
    if (in_.bad()) read_error();
    in_.setstate(std::ios::failbit);
    return false;
  }
  using Traits = std::istream::traits_type;
  std::string text;
  bool at_end_of_file = false;
  bool too_long = false;
  bool failed = false;
  try {
    std::streambuf& buffer = *in_.rdbuf();
    for (;;) {
      const Traits::int_type c = buffer.sbumpc();
      if (Traits::eq_int_type(c, Traits::eof())) {
        at_end_of_file = true;
        break;
      }
      if (Traits::to_char_type(c) == '\n') break;
      // One byte beyond the limit may still be the carriage return of the
      // line end; a second one is not.
      if (text.size() > kMaxRecordLength) {
        too_long = true;
        break;
      }
      text.push_back(Traits::to_char_type(c));
    }
  } catch (...) {
    failed = true;
  }
  if (failed) {
    in_.setstate(std::ios::badbit);
    read_error();
  }
  if (at_end_of_file) {
    in_.setstate(std::ios::eofbit);
    if (text.empty()) {
      in_.setstate(std::ios::failbit);
      return false;
    }
  }
  ++line_;
  // A carriage return before the line feed belongs to the line end.
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (too_long || text.size() > kMaxRecordLength) {
    fail("line " + std::to_string(line_) + " is longer than " + std::to_string(kMaxRecordLength) +
         " bytes");
  }
  record_ = std::move(text);
  pos_ = 0;
  have_record_ = true;
  return true;
}

FreeFormReader::Item FreeFormReader::next_item(const char* what) {
  if (!in_statement_) begin_read();
  if (repeat_left_ > 0) {
    --repeat_left_;
    return repeat_value_;
  }
  return scan_value(what);
}

FreeFormReader::Item FreeFormReader::scan_value(const char* what) {
  const auto at_line = [this] { return "line " + std::to_string(line_) + ": "; };
  const auto end_of_file = [&] {
    fail("end of file at line " + std::to_string(line_ + 1) + " while reading " + what);
  };

  // Pass over separators to the start of the value. The line end counts as
  // a blank, so a comma at the start of a continuation record still pairs
  // with the value before it.
  for (;;) {
    if (!have_record_ || pos_ >= record_.size()) {
      if (!fetch_record()) end_of_file();
      continue;
    }
    const char c = record_[pos_];
    if (is_blank(c)) {
      ++pos_;
    } else if (c == ',') {
      if (!after_value_) {
        fail(at_line() + "null value (empty field) not accepted while reading " + what);
      }
      after_value_ = false;
      ++pos_;
    } else if (c == '/') {
      fail(at_line() + "slash ends the read before all values were read (while reading " + what +
           ")");
    } else {
      break;
    }
  }

  // A repeat count: a digit string directly followed by '*'.
  int repeat = 1;
  {
    std::size_t j = pos_;
    while (j < record_.size() && is_digit(record_[j])) ++j;
    if (j > pos_ && j < record_.size() && record_[j] == '*') {
      const std::string_view count(record_.data() + pos_, j - pos_);
      const std::optional<std::int32_t> r = parse_int32(count);
      if (!r || *r <= 0) {
        fail(at_line() + quoted_for_message(count) + " is not a valid repeat count");
      }
      pos_ = j + 1;
      if (pos_ >= record_.size() || ends_value(record_[pos_])) {
        fail(at_line() + "null value '" + std::string(count) + "*' not accepted while reading " +
             what);
      }
      repeat = *r;
    }
  }

  Item item;
  const char c = record_[pos_];
  if (c == '\'' || c == '"') {
    item.quoted = true;
    ++pos_;
    for (;;) {
      if (pos_ >= record_.size()) {
        // The value continues on the next record; the line end is not part
        // of it. An unclosed quote must not gather an endless input.
        if (item.text.size() > kMaxRecordLength) {
          fail(at_line() + "quoted value is longer than " + std::to_string(kMaxRecordLength) +
               " bytes");
        }
        if (!fetch_record()) end_of_file();
        continue;
      }
      const char d = record_[pos_];
      if (d == c) {
        if (pos_ + 1 < record_.size() && record_[pos_ + 1] == c) {
          item.text += c;
          pos_ += 2;
          continue;
        }
        ++pos_;
        break;
      }
      item.text += d;
      ++pos_;
    }
    if (pos_ < record_.size() && !ends_value(record_[pos_])) {
      fail(at_line() + "unexpected character after the quoted value " +
           quoted_for_message(item.text));
    }
  } else {
    std::size_t j = pos_;
    while (j < record_.size() && !ends_value(record_[j])) ++j;
    item.text.assign(record_, pos_, j - pos_);
    pos_ = j;
  }
  after_value_ = true;
  if (repeat > 1) {
    repeat_left_ = repeat - 1;
    repeat_value_ = item;
  }
  return item;
}

void FreeFormReader::next(std::int32_t& value) {
  const Item item = next_item("an integer");
  const std::optional<std::int32_t> parsed = item.quoted ? std::nullopt : parse_int32(item.text);
  if (!parsed) {
    fail("line " + std::to_string(line_) + ": " + quoted_for_message(item.text) +
         " is not a valid integer");
  }
  value = *parsed;
}

void FreeFormReader::next(float& value) {
  const Item item = next_item("a real number");
  const std::optional<float> parsed = item.quoted ? std::nullopt : parse_decimal<float>(item.text);
  if (!parsed) {
    fail("line " + std::to_string(line_) + ": " + quoted_for_message(item.text) +
         " is not a valid real number");
  }
  value = *parsed;
}

void FreeFormReader::next(double& value) {
  const Item item = next_item("a real number");
  const std::optional<double> parsed =
      item.quoted ? std::nullopt : parse_decimal<double>(item.text);
  if (!parsed) {
    fail("line " + std::to_string(line_) + ": " + quoted_for_message(item.text) +
         " is not a valid real number");
  }
  value = *parsed;
}

void FreeFormReader::next(std::string& value) { value = next_item("a text value").text; }

std::int32_t read_argument_integer(std::string_view argument, int field_width,
                                   std::string_view what) {
  const auto width = static_cast<std::size_t>(field_width > 0 ? field_width : 0);
  std::string field(argument.substr(0, width));
  field.resize(width, ' ');
  const auto refuse = [&]() -> std::int32_t {
    std::string cause(what);
    cause += ": " + quoted_for_message(argument) + " is not an integer";
    throw RunError(textio::kNoChannel, "", cause);
  };
  const std::size_t start = field.find_first_not_of(" \t");
  if (start == std::string::npos) return refuse();
  std::size_t stop = start;
  while (stop < field.size() && !ends_value(field[stop])) ++stop;
  const std::optional<std::int32_t> parsed =
      parse_int32(std::string_view(field).substr(start, stop - start));
  if (!parsed) return refuse();
  return *parsed;
}

}  // namespace phasefit::textio
