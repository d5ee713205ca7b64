#pragma once
// The coefficient file of one job (also the content of the reference copy):
// its records, character by character. driver/atomic_file.hpp writes it.

#include <string>
#include <string_view>

#include "expansion/job_result.hpp"

namespace phasefit::driver {

// The whole content of a coefficient file for order n (kMinOrder..kMaxOrder)
// from `result`: n + 11 records, each ending in a line feed:
//   1-4     empty
//   5       " Ce, omega0, g-factor, f-delta"
//   6       Ce, omega0, g, f_delta in E15.5, two blanks between fields
//   7       empty
//   8       " truncation = y  1-Jul-2002"
//   9       ft and f_delta in F9.6, each followed by a blank, then
//           "truncation factor (ft) and f-delta"
//   10      n right-aligned in 11 characters after a blank, a blank,
//           "coefficients"
//   11..    for l = 0..n: l + 1 in I4, coefficients[l] in F12.7
// Reads coefficients[0..n], ft, ce, omega0, g and f_delta of `result`.
std::string format_coefficient_file(int n, const expansion::JobResult& result);

// True when `content` (as format_coefficient_file writes it) holds a field
// of asterisks: a value too wide for its edit (an ft of 100 or more, or of
// -10 or less; a coefficient of 10000 or more, or of -1000 or less). The
// value is lost from the file, which still keeps the asterisks, as stored
// files do. None of the file's fixed text holds an asterisk, so any one
// marks such a field.
bool holds_overflowed_field(std::string_view content);

}  // namespace phasefit::driver
