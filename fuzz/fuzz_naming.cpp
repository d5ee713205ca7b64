// Fuzz target for the spectral label and the names and paths of a job.
// The input supplies a wavelength (8 bytes, any bit pattern: NaN, the
// infinities, subnormals and huge values included), a size (4 bytes, any
// Integer), a field width and arbitrary bytes split into a band name and a
// directory. Checked: the label equals an independent F10.2 rendering,
// holds no '.', and every name stays within its field.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "driver/naming.hpp"

namespace dr = phasefit::driver;

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "INVARIANT: %s [%s]\n", what, detail.c_str());
  std::abort();
}

// F10.2 as printf renders it, asterisks when wider than ten, then the
// non-blank part with '.' replaced by 'p'.
std::string expected_label(double w) {
  if (std::isnan(w)) return "NaN";
  if (std::isinf(w)) return w < 0 ? "-Infinity" : "Infinity";
  char text[400];
  const int n = std::snprintf(text, sizeof text, "%10.2f", w);
  std::string field = n > 10 ? std::string(10, '*') : std::string(text);
  const auto first = field.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const auto last = field.find_last_not_of(' ');
  field = field.substr(first, last - first + 1);
  for (char& c : field)
    if (c == '.') c = 'p';
  return field;
}

std::string expected_size(std::int32_t size) {
  if (size < 0 || size > 999) return "***";
  char text[8];
  std::snprintf(text, sizeof text, "%03d", static_cast<int>(size));
  return text;
}

std::string rstrip_blanks(std::string_view s) {
  const auto end = s.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string() : std::string(s.substr(0, end + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 13) return 0;
  double wavelength;
  std::memcpy(&wavelength, data, sizeof wavelength);
  std::int32_t particle;
  std::memcpy(&particle, data + 8, sizeof particle);
  const std::size_t width = data[12];
  const std::string_view rest(reinterpret_cast<const char*>(data + 13), size - 13);
  const std::size_t split = rest.find('\n');
  const std::string_view band = rest.substr(0, split);
  const std::string_view directory =
      split == std::string_view::npos ? std::string_view{} : rest.substr(split + 1);

  char bits[64];
  std::snprintf(bits, sizeof bits, "%a", wavelength);

  const std::string label = dr::wavelength_label(wavelength);
  if (label != expected_label(wavelength)) fail("wavelength label", bits + (" -> " + label));
  if (label.find('.') != std::string::npos) fail("dot in label", bits);
  if (label.size() > 10) fail("label longer than its F10.2 field", bits);

  const bool reference = dr::is_reference_wavelength(wavelength);
  if (reference != (std::fabs(wavelength - 0.55) < static_cast<double>(0.001f)))
    fail("reference test", bits);

  const std::string name = dr::wavelength_file_name(label, particle);
  if (name != "WVN_" + label + "_DE_" + expected_size(particle) + ".dat")
    fail("wavelength file name", name);
  if (name.size() > 25) fail("wavelength file name beyond 25 characters", name);

  const std::string band_label = dr::band_label(band);
  if (band_label != rstrip_blanks(band.substr(0, std::min<std::size_t>(band.size(), 30))))
    fail("band label", band_label);
  if (band_label.size() > dr::kLabelWidth) fail("band label beyond its field", band_label);
  const std::string band_name = dr::band_file_name(band_label, particle);
  if (band_name != band_label + "_DE_" + expected_size(particle) + ".dat")
    fail("band file name", band_name);
  if (band_name.size() > 41) fail("band file name beyond 41 characters", band_name);

  const std::string reference_name = dr::reference_file_name(particle);
  if (reference_name != "WN_REF_RE_" + expected_size(particle) + ".dat")
    fail("reference file name", reference_name);

  const std::string field = dr::fixed_field(directory, width);
  if (field.size() > width) fail("fixed field beyond its width", field);
  if (field != rstrip_blanks(directory.substr(0, std::min(directory.size(), width))))
    fail("fixed field", field);
  const std::string dir = dr::fixed_field(directory, dr::kPathWidth);
  if (dir.size() > dr::kPathWidth) fail("directory beyond 150 characters", dir);
  const std::string path = dr::join_path(dir, band_name);
  if (path != dir + band_name) fail("joined path", path);
  return 0;
}
