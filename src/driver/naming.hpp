#pragma once
// Names and paths of one run: the text fields of the command line, the
// spectral label of a wavelength or a band, the data-file names of a job and
// of the reference copy, and the reference-wavelength test.
//
// Every text field of the run has a fixed width: a value is cut to it, or
// filled with blanks, and then used without its trailing blanks. Leading
// blanks stay part of the value.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace phasefit::driver {

// Width of the directory arguments and of every path.
inline constexpr std::size_t kPathWidth = 150;
// Width of the spectral-mode and expansion-order arguments.
inline constexpr int kNumberArgumentWidth = 10;
// Width of the spectral label (formatted wavelength or band name).
inline constexpr std::size_t kLabelWidth = 30;

inline constexpr double kReferenceWavelength = 0.55;
// The single-precision value nearest to 0.001, widened: stored coefficient
// sets were selected with exactly this bound, so it is kept rather than the
// decimal 0.001.
inline constexpr double kReferenceTolerance = 0.0010000000474974513;
static_assert(kReferenceTolerance == static_cast<double>(0.001f));

// A text field of `width` characters filled from `value` (cut, or filled
// with blanks), returned without its trailing blanks.
std::string fixed_field(std::string_view value, std::size_t width);

// The label of a wavelength: the value in F10.2, its non-blank part, with
// every '.' in it replaced by 'p' (0.55 gives "0p55", -1.5 gives "-1p50";
// a value too wide for ten characters gives ten asterisks).
std::string wavelength_label(double wavelength);

// The label of a band: the name cut to 30 characters, without trailing
// blanks; dots and every other character are kept.
std::string band_label(std::string_view band_name);

// "WVN_" label "_DE_" size ".dat", the size in I3.3 (three asterisks when it
// does not fit: 1000 and above, or negative).
std::string wavelength_file_name(std::string_view label, std::int32_t size);
// label "_DE_" size ".dat".
std::string band_file_name(std::string_view label, std::int32_t size);
// "WN_REF_RE_" size ".dat".
std::string reference_file_name(std::int32_t size);

// Directory and name joined with no separator: a directory names a folder
// only when it ends with '/'.
std::string join_path(std::string_view directory, std::string_view name);

// |wavelength - 0.55| < kReferenceTolerance, in Double, strict; false for
// a NaN.
bool is_reference_wavelength(double wavelength);

// The key by which the run compares two file names in one folder: names
// with equal keys may be one file, names with different keys never are, on
// any file system, including those that fold case (a Mac's, a Windows
// share, a case-folding ext4 folder) and so take "A.dat" and "a.dat", or
// "Ü" and "ü", or a precomposed "é" and "e" with a combining accent, for
// one name. A name of ASCII bytes is keyed by itself with A-Z folded to
// a-z. The few other characters that a file system may fold into ASCII
// (the sharp s, the long s, the Kelvin sign, the dotted and dotless i, the
// Latin ligatures, the Greek question mark, the Greek varia) count as their
// ASCII letters first. Any other name keeps of its characters only the
// digits and the punctuation no folding or decomposition can produce, so
// that such names share a key more often than they are one file: keys only
// ever group what might be one, never part it.
std::string name_key(std::string_view name);

}  // namespace phasefit::driver
