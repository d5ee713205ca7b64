#pragma once
// The channels a run knows its files by. Diagnostics name the channel with
// the file, so that a user can tell at once which kind of file failed.

namespace phasefit::textio {

inline constexpr int kNoChannel = -1;  // the command line: no file
inline constexpr int kStandardOutputChannel = 6;
inline constexpr int kTableChannel = 8;           // the job's phase-function table
inline constexpr int kCoefficientChannel = 9;     // the coefficient file and the reference copy
inline constexpr int kSizeListChannel = 111;      // ./INPUT/input_re.dat
inline constexpr int kSpectralListChannel = 112;  // ./INPUT/wl.dat or ./INPUT/input_band.dat

}  // namespace phasefit::textio
