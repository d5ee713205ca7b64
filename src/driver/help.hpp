#pragma once
// The texts of --help and --version, and the hint a command-line fault adds
// to its diagnostic.

#include <string>
#include <string_view>

namespace phasefit::driver {

// Appended, in parentheses, to the diagnostic of a bad command line.
inline constexpr std::string_view kUsageHint =
    "usage: phasefit [options] INPUT_DIR OUTPUT_DIR SPECTRAL_MODE N; see phasefit --help";

// The whole --help text, ending in a line feed.
std::string help_text();
// "phasefit <version>" and a line feed.
std::string version_text();

}  // namespace phasefit::driver
