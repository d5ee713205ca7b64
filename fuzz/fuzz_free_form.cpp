// Fuzz target for the free-form reader and the argument conversion.
//
// The first byte picks a mode:
//   0  read statements: the next bytes are a small program of value kinds
//      (Integer, Real, Double, text) with statement ends; the rest is the
//      text read. Any RunError ends the input; nothing else may escape.
//   1  differential Real/Double/Integer: the rest is mapped onto the
//      characters of a number and read as one value; the result must agree
//      with std::strtof / std::strtod / std::strtoll of the same text
//      (exponent letter D read as E) whenever the text is a number.
//   2  read_argument_integer on the rest, with a field width from the next
//      byte, checked against an independent conversion.

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "textio/free_form.hpp"
#include "textio/run_error.hpp"

using phasefit::textio::FreeFormReader;
using phasefit::textio::RunError;

namespace {

[[noreturn]] void disagree(const char* what, const std::string& text) {
  std::fprintf(stderr, "DISAGREEMENT (%s) on '%s'\n", what, text.c_str());
  std::abort();
}

void run_program(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::size_t program_length = std::min<std::size_t>(1 + data[0] % 16, size - 1);
  const std::uint8_t* program = data + 1;
  const std::string text(reinterpret_cast<const char*>(data + 1 + program_length),
                         size - 1 - program_length);
  std::istringstream in(text);
  FreeFormReader reader(in, 8, "fuzz");
  try {
    // The program repeats until the text runs out (a read then throws);
    // the cap keeps a text of blank-free repeat counts from running long.
    for (int round = 0; round < 256; ++round) {
      reader.begin_read();
      for (std::size_t k = 0; k < program_length; ++k) {
        const std::uint8_t op = program[k];
        switch (op & 3) {
          case 0: {
            std::int32_t v = 0;
            reader.next(v);
            break;
          }
          case 1: {
            float v = 0.0f;
            reader.next(v);
            if (std::isnan(v) || std::isinf(v)) disagree("non-finite Real", text);
            break;
          }
          case 2: {
            double v = 0.0;
            reader.next(v);
            if (std::isnan(v) || std::isinf(v)) disagree("non-finite Double", text);
            break;
          }
          default: {
            std::string v;
            reader.next(v);
            break;
          }
        }
        if (op & 4) {
          reader.end_read();
          reader.begin_read();
        }
      }
      reader.end_read();
      if (reader.line() < 0) disagree("negative line", text);
    }
  } catch (const RunError& e) {
    if (e.channel() != 8 || e.file() != "fuzz") disagree("diagnostic names", text);
  }
}

// An independent check of the number grammar: sign, digits with at most one
// point (at least one digit in all), then optionally E/e/D/d, sign, digits.
bool is_decimal(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9') {
      ++digits;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i == s.size()) return true;
  if (s[i] != 'E' && s[i] != 'e' && s[i] != 'D' && s[i] != 'd') return false;
  ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t exponent_digits = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) ++exponent_digits;
  return exponent_digits > 0 && i == s.size();
}

bool is_integer(std::string_view s) {
  std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// Integer value of a checked digit string, or nothing beyond 32 bits.
std::optional<std::int32_t> reference_int(const std::string& s) {
  // Leading zeros make the digit string arbitrarily long; strip them so
  // strtoll sees the magnitude.
  std::size_t sign = (s[0] == '+' || s[0] == '-') ? 1 : 0;
  std::size_t first = s.find_first_not_of('0', sign);
  if (first == std::string::npos) return 0;
  if (s.size() - first > 12) return std::nullopt;
  const long long v = std::strtoll((s.substr(0, sign) + s.substr(first)).c_str(), nullptr, 10);
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

template <class T>
void differential_decimal(const std::string& token) {
  std::istringstream in(token);
  FreeFormReader reader(in, 8, "fuzz");
  std::optional<T> got;
  try {
    T v{};
    reader.read(v);
    got = v;
  } catch (const RunError&) {
  }
  if (!is_decimal(token)) {
    if (got) disagree("accepted a non-number", token);
    return;
  }
  std::string c_text = token;
  for (char& c : c_text)
    if (c == 'D' || c == 'd') c = 'E';
  errno = 0;
  T expected;
  if constexpr (sizeof(T) == sizeof(float)) {
    expected = std::strtof(c_text.c_str(), nullptr);
  } else {
    expected = std::strtod(c_text.c_str(), nullptr);
  }
  if (std::isinf(expected)) {
    if (got) disagree("accepted an overflow", token);
    return;
  }
  if (!got) disagree("refused a number", token);
  if (std::memcmp(&*got, &expected, sizeof(T)) != 0) disagree("value differs from strto*", token);
}

void run_differential(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  // Characters of numbers only, so that no separator, quote or repeat
  // count changes what the token means.
  static constexpr char kAlphabet[] = "0123456789+-.eEdD0000011111999995";
  std::string token;
  for (std::size_t i = 1; i < size && token.size() < 400; ++i)
    token += kAlphabet[data[i] % (sizeof kAlphabet - 1)];
  if (token.empty()) return;
  switch (data[0] % 3) {
    case 0:
      differential_decimal<float>(token);
      break;
    case 1:
      differential_decimal<double>(token);
      break;
    default: {
      std::istringstream in(token);
      FreeFormReader reader(in, 8, "fuzz");
      std::optional<std::int32_t> got;
      try {
        std::int32_t v = 0;
        reader.read(v);
        got = v;
      } catch (const RunError&) {
      }
      const std::optional<std::int32_t> expected =
          is_integer(token) ? reference_int(token) : std::nullopt;
      if (got != expected) disagree("integer", token);
    }
  }
}

void run_argument(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const int width = static_cast<int>(data[0] % 40) - 4;  // -4 .. 35
  const std::string argument(reinterpret_cast<const char*>(data + 1), size - 1);
  std::optional<std::int32_t> got;
  try {
    got = phasefit::textio::read_argument_integer(argument, width, "argument");
  } catch (const RunError& e) {
    if (e.cause().find("argument: '") != 0) disagree("argument diagnostic", argument);
  }
  // Independent: the field, leading blanks skipped, the token up to a
  // separator.
  std::string field = argument.substr(0, static_cast<std::size_t>(std::max(width, 0)));
  field.resize(static_cast<std::size_t>(std::max(width, 0)), ' ');
  std::size_t start = 0;
  while (start < field.size() && (field[start] == ' ' || field[start] == '\t')) ++start;
  std::size_t stop = start;
  while (stop < field.size() && field[stop] != ' ' && field[stop] != '\t' && field[stop] != ',' &&
         field[stop] != '/')
    ++stop;
  const std::string token = field.substr(start, stop - start);
  const std::optional<std::int32_t> expected =
      is_integer(token) ? reference_int(token) : std::nullopt;
  if (got != expected) disagree("argument integer", argument);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  switch (data[0] % 3) {
    case 0:
      run_program(data + 1, size - 1);
      break;
    case 1:
      run_differential(data + 1, size - 1);
      break;
    default:
      run_argument(data + 1, size - 1);
      break;
  }
  return 0;
}
