#include "driver/naming.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "textio/edit.hpp"

namespace phasefit::driver {
namespace {

std::string_view without_trailing_blanks(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

std::string size_digits(std::int32_t size) { return textio::edit_i(size, 3, 3); }

// The characters outside ASCII that some file system's case folding
// (full folding, or upper or lower case) or canonical decomposition turns
// into ASCII alone, in UTF-8, with that ASCII in lower case.
struct AsciiFold {
  std::string_view utf8;
  std::string_view ascii;
};
constexpr AsciiFold kAsciiFolds[] = {
    {"\xc3\x9f", "ss"},     {"\xc4\xb1", "i"},       {"\xc5\xbf", "s"},
    {"\xcd\xbe", ";"},      {"\xe1\xba\x9e", "ss"},  {"\xe1\xbf\xaf", "`"},
    {"\xe2\x84\xaa", "k"},  {"\xef\xac\x80", "ff"},  {"\xef\xac\x81", "fi"},
    {"\xef\xac\x82", "fl"}, {"\xef\xac\x83", "ffi"}, {"\xef\xac\x84", "ffl"},
    {"\xef\xac\x85", "st"}, {"\xef\xac\x86", "st"},
};

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

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

std::string name_key(std::string_view name) {
  std::string folded;
  folded.reserve(name.size());
  bool ascii = true;
  for (std::size_t i = 0; i < name.size();) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte < 0x80) {
      const char c = name[i++];
      folded += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      continue;
    }
    const auto fold =
        std::find_if(std::begin(kAsciiFolds), std::end(kAsciiFolds),
                     [&](const AsciiFold& f) { return name.substr(i).starts_with(f.utf8); });
    if (fold != std::end(kAsciiFolds)) {
      folded += fold->ascii;
      i += fold->utf8.size();
    } else {
      folded += name[i++];
      ascii = false;
    }
  }
  if (ascii) return folded;
  // Case folding and decomposition change letters (ASCII ones too: an "e"
  // with a combining accent is a precomposed "e" decomposed) and the
  // characters outside ASCII, and a combining stroke can make "<", "=" or
  // ">" of a precomposed symbol. What is left, the digits and the other
  // punctuation, no file system changes. The leading byte 0x80 keeps such a
  // key apart from every ASCII name's.
  std::string key = "\x80";
  for (const char c : folded) {
    if (static_cast<unsigned char>(c) >= 0x80 || is_ascii_letter(c)) continue;
    if (c == '<' || c == '=' || c == '>') continue;
    key += c;
  }
  return key;
}

}  // namespace phasefit::driver
