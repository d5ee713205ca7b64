#include "textio/edit.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "contract.hpp"

namespace phasefit::textio {
namespace {

std::string asterisks(int width) { return std::string(static_cast<std::size_t>(width), '*'); }

std::string right_aligned(const std::string& text, int width) {
  const auto w = static_cast<std::size_t>(width);
  if (text.size() >= w) return text;
  return std::string(w - text.size(), ' ') + text;
}

// Places a number's text in its field. The zero before the point of a
// magnitude below 1 is optional: it is written when there is room, dropped
// when that alone makes the value fit, and otherwise the field overflows.
std::string fit_number(const std::string& text, int width) {
  const auto w = static_cast<std::size_t>(width);
  if (text.size() <= w) return right_aligned(text, width);
  const std::size_t zero = (!text.empty() && text[0] == '-') ? 1 : 0;
  if (text.size() - 1 <= w && text.compare(zero, 2, "0.") == 0) {
    std::string shorter = text;
    shorter.erase(zero, 1);
    return right_aligned(shorter, width);
  }
  return asterisks(width);
}

// NaN and the infinities, right-aligned; an infinity that has no room for
// its full name is written Inf.
std::string fit_special(double value, int width) {
  const auto w = static_cast<std::size_t>(width);
  if (std::isnan(value)) return w >= 3 ? right_aligned("NaN", width) : asterisks(width);
  const std::string sign = std::signbit(value) ? "-" : "";
  for (const char* name : {"Infinity", "Inf"}) {
    const std::string text = sign + name;
    if (text.size() <= w) return right_aligned(text, width);
  }
  return asterisks(width);
}

// printf conversions round the exact binary value to the requested digits,
// ties to even, which is the rounding every edit here uses.
std::string format_printf(const char* format, int digits, double magnitude) {
  const int length = std::snprintf(nullptr, 0, format, digits, magnitude);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, digits, magnitude);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// Exponent part of Ew.d: "E+dd" up to two digits; beyond that the letter
// gives way to a third digit ("+ddd"). Empty when even that is too short.
std::string exponent_text(int exponent) {
  const char sign = exponent < 0 ? '-' : '+';
  const int magnitude = exponent < 0 ? -exponent : exponent;
  char buffer[16];
  if (magnitude <= 99) {
    std::snprintf(buffer, sizeof buffer, "E%c%02d", sign, magnitude);
  } else if (magnitude <= 999) {
    std::snprintf(buffer, sizeof buffer, "%c%03d", sign, magnitude);
  } else {
    return {};
  }
  return buffer;
}

}  // namespace

std::string edit_e(float value, int width, int digits) {
  PHASEFIT_CHECK(width > 0 && digits > 0);
  const auto x = static_cast<double>(value);  // exact
  if (!std::isfinite(x)) return fit_special(x, width);
  std::string mantissa;
  int exponent = 0;
  if (x == 0.0) {
    mantissa.assign(static_cast<std::size_t>(digits), '0');
  } else {
    // d.ddddde+xx already carries any rounding into the leading digit
    // (9.999995 gives 1.0000e+01), so the 0.ddddd form is the same digits
    // with the exponent one higher.
    const std::string scientific = format_printf("%.*e", digits - 1, std::abs(x));
    const std::size_t e = scientific.find('e');
    for (std::size_t i = 0; i < e; ++i) {
      if (scientific[i] != '.') mantissa += scientific[i];
    }
    exponent = std::stoi(scientific.substr(e + 1)) + 1;
  }
  const std::string exponent_part = exponent_text(exponent);
  if (exponent_part.empty()) return asterisks(width);
  std::string text = std::signbit(x) ? "-" : "";
  text += "0." + mantissa + exponent_part;
  return fit_number(text, width);
}

std::string edit_f(double value, int width, int digits) {
  PHASEFIT_CHECK(width > 0 && digits >= 0);
  if (!std::isfinite(value)) return fit_special(value, width);
  std::string text = std::signbit(value) ? "-" : "";
  text += format_printf("%.*f", digits, std::abs(value));
  if (digits == 0) text += '.';
  return fit_number(text, width);
}

std::string edit_i(std::int64_t value, int width, int min_digits) {
  PHASEFIT_CHECK(width > 0 && min_digits >= 0);
  // The magnitude in unsigned arithmetic, so the most negative value has one.
  const std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  // Iw.0 writes a zero as blanks.
  std::string digits = (magnitude == 0 && min_digits == 0) ? "" : std::to_string(magnitude);
  if (digits.size() < static_cast<std::size_t>(min_digits)) {
    digits.insert(0, static_cast<std::size_t>(min_digits) - digits.size(), '0');
  }
  const std::string text = (value < 0 ? "-" : "") + digits;
  if (text.size() > static_cast<std::size_t>(width)) return asterisks(width);
  return right_aligned(text, width);
}

std::string edit_a(std::string_view text, int width) {
  PHASEFIT_CHECK(width >= 0);
  const auto w = static_cast<std::size_t>(width);
  if (text.size() >= w) return std::string(text.substr(0, w));
  return right_aligned(std::string(text), width);
}

std::string list_record_text(std::string_view text) {
  std::string record = " ";
  record += text;
  return record;
}

std::string list_record_int(std::int32_t value) {
  return " " + right_aligned(std::to_string(value), 11);
}

std::string list_record_int_text(std::int32_t value, std::string_view text) {
  std::string record = list_record_int(value);
  record += ' ';
  record += text;
  return record;
}

}  // namespace phasefit::textio
