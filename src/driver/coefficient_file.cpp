#include "driver/coefficient_file.hpp"

#include <string>

#include "textio/edit.hpp"

namespace phasefit::driver {
namespace {

// Record 9 takes its phrase from a 150-character text item through A34,
// which shows exactly the phrase.
constexpr std::string_view kTruncationPhrase = "truncation factor (ft) and f-delta";

}  // namespace

std::string format_coefficient_file(int n, const expansion::JobResult& result) {
  using textio::edit_e;
  using textio::edit_f;
  std::string text;
  text.reserve(static_cast<std::size_t>(n + 1) * 17 + 256);
  text += "\n\n\n\n";
  text += textio::list_record_text("Ce, omega0, g-factor, f-delta");
  text += '\n';
  text += edit_e(result.ce, 15, 5);
  text += "  ";
  text += edit_e(result.omega0, 15, 5);
  text += "  ";
  text += edit_e(result.g, 15, 5);
  text += "  ";
  text += edit_e(result.f_delta, 15, 5);
  text += '\n';
  text += '\n';
  text += textio::list_record_text("truncation = y  1-Jul-2002");
  text += '\n';
  text += edit_f(static_cast<double>(result.ft), 9, 6);
  text += ' ';
  text += edit_f(static_cast<double>(result.f_delta), 9, 6);
  text += ' ';
  std::string phrase_item(kTruncationPhrase);
  phrase_item.resize(150, ' ');
  text += textio::edit_a(phrase_item, 34);
  text += '\n';
  text += textio::list_record_int_text(n, "coefficients");
  text += '\n';
  for (int l = 0; l <= n; ++l) {
    text += textio::edit_i(l + 1, 4);
    text += edit_f(static_cast<double>(result.coefficients[static_cast<std::size_t>(l)]), 12, 7);
    text += '\n';
  }
  return text;
}

bool holds_overflowed_field(std::string_view content) {
  return content.find('*') != std::string_view::npos;
}

}  // namespace phasefit::driver
