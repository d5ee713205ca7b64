#pragma once
// The batch run: the command line, the run lists, and the job loop over
// spectral points (outer) and sizes (inner), each job expanding one table
// into one coefficient file.

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

namespace phasefit::driver {

enum class SpectralMode : std::int32_t { kWavelength = 0, kBand = 1 };

// The four positional arguments, checked.
struct CommandLine {
  std::string input_dir;   // without trailing blanks
  std::string output_dir;  // without trailing blanks
  SpectralMode mode = SpectralMode::kWavelength;
  std::int32_t n = 0;  // expansion order, kMinOrder..kMaxOrder
};

// Reads argv[1..4] (a missing argument counts as blank). The directories
// are cut to 150 characters; the mode and N are free-form Integers from
// 10-character fields. A mode other than 0 or 1 and an N outside 3..300 are
// refused, as is a missing or non-integer mode or N: each throws
// textio::RunError before anything is opened or written.
CommandLine parse_command_line(int argc, const char* const* argv);

// One whole run. Writes the echo of N to `out`; an operator pause prompts
// on `err` and reads its answer from `in`. Returns 0 when every job is
// written. Throws textio::RunError for an input or output failure (exit
// status 2) and RunEndedByOperator when the operator ends the run at a
// pause (exit status 3); files of earlier jobs stay.
int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace phasefit::driver
