#pragma once
// Formatted output by edit descriptor, and free-form output records. Every
// Real is converted from its exact binary value, rounded to the nearest value
// the edit can show (ties to even). A value that does not fit its field is
// written as asterisks filling the field; a negative zero keeps its minus
// sign; NaN and Infinity (with a minus sign when negative) are right-aligned
// in the field.

#include <cstdint>
#include <string>
#include <string_view>

namespace phasefit::textio {

// Ew.d: "0." then d significant digits, "E", exponent sign and two digits.
std::string edit_e(float value, int width, int digits);
// Fw.d: d digits after the point, a zero before the point below 1.
std::string edit_f(double value, int width, int digits);
// Iw and Iw.m (at least min_digits digits, leading zeros).
std::string edit_i(std::int64_t value, int width, int min_digits = 1);
// Aw: the first `width` characters of text, or text right-aligned in width.
std::string edit_a(std::string_view text, int width);

// Free-form output: each record with items begins with one blank; an
// Integer is right-aligned in 11 characters; a text item is written as it
// is; an Integer and a following text item are separated by one blank.
std::string list_record_text(std::string_view text);
std::string list_record_int(std::int32_t value);
std::string list_record_int_text(std::int32_t value, std::string_view text);

}  // namespace phasefit::textio
