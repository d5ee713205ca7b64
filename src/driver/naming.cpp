#include "driver/naming.hpp"

#include <algorithm>
#include <cmath>

#include "textio/edit.hpp"

namespace phasefit::driver {
namespace {

std::string_view without_trailing_blanks(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

std::string size_digits(std::int32_t size) { return textio::edit_i(size, 3, 3); }

}  // namespace

std::string fixed_field(std::string_view value, std::size_t width) {
  return std::string(without_trailing_blanks(value.substr(0, std::min(value.size(), width))));
}

std::string wavelength_label(double wavelength) {
  std::string label = textio::edit_f(wavelength, 10, 2);
  label.resize(kLabelWidth, ' ');
  // The span of the label is fixed by its first and last non-blank
  // positions (1-based); an all-blank field gives an empty span (30, 1).
  std::size_t first = kLabelWidth;
  for (std::size_t i = 1; i <= kLabelWidth; ++i) {
    if (label[i - 1] != ' ') {
      first = i;
      break;
    }
  }
  std::size_t last = 1;
  for (std::size_t i = kLabelWidth; i >= 1; --i) {
    if (label[i - 1] != ' ') {
      last = i;
      break;
    }
  }
  if (last < first) return {};
  for (std::size_t i = first; i <= last; ++i) {
    if (label[i - 1] == '.') label[i - 1] = 'p';
  }
  return label.substr(first - 1, last - first + 1);
}

std::string band_label(std::string_view band_name) { return fixed_field(band_name, kLabelWidth); }

std::string wavelength_file_name(std::string_view label, std::int32_t size) {
  std::string name = "WVN_";
  name += label;
  name += "_DE_";
  name += size_digits(size);
  name += ".dat";
  return name;
}

std::string band_file_name(std::string_view label, std::int32_t size) {
  std::string name(label);
  name += "_DE_";
  name += size_digits(size);
  name += ".dat";
  return name;
}

std::string reference_file_name(std::int32_t size) {
  return "WN_REF_RE_" + size_digits(size) + ".dat";
}

std::string join_path(std::string_view directory, std::string_view name) {
  std::string path(directory);
  path += name;
  return path;
}

bool is_reference_wavelength(double wavelength) {
  return std::abs(wavelength - kReferenceWavelength) < kReferenceTolerance;
}

}  // namespace phasefit::driver
