#pragma once
// The command line of a run: its options and its four positional
// arguments, read into one value.

#include <cstdint>
#include <optional>
#include <string>

#include "driver/operator_pause.hpp"
#include "driver/shards.hpp"

namespace phasefit::driver {

enum class SpectralMode : std::int32_t { kWavelength = 0, kBand = 1 };

// Most worker threads a run accepts.
inline constexpr std::int32_t kMaxWorkers = 1024;

// The options and the four positional arguments, checked.
struct CommandLine {
  // Worker threads computing jobs; 0 means one per CPU this process may
  // run on (its affinity mask, as a batch system sets it). With 1
  // the jobs run one after another on the calling thread.
  std::int32_t workers = 0;
  // --help / --version: print and stop; the arguments are not read.
  bool show_help = false;
  bool show_version = false;
  // --no-progress turns the terminal's progress line off.
  bool progress = true;
  // --on-pause=ask|go|stop.
  PauseAnswer on_pause = PauseAnswer::kAsk;
  // -k/--keep-going: a job whose table fails is skipped, not fatal.
  bool keep_going = false;
  // --report FILE.
  std::optional<std::string> report_path;
  // --kernels=reference: solve with the slow reference SVD kernels, which
  // give the same bits (to check and time a run against them).
  bool reference_kernels = false;
  // --shard K/M: run only the jobs of shard K of M; --shard=slurm takes K
  // and M from the Slurm array task's environment when the run starts.
  std::optional<Shard> shard;
  bool shard_from_slurm = false;
  std::string input_dir;   // without trailing blanks
  std::string output_dir;  // without trailing blanks
  SpectralMode mode = SpectralMode::kWavelength;
  std::int32_t n = 0;  // expansion order, kMinOrder..kMaxOrder
};

// Reads the options, then the four positional arguments (a missing argument
// counts as blank). Options come first: "-j N", "-jN", "--jobs N" and
// "--jobs=N" set the worker count (1..kMaxWorkers); "-k"/"--keep-going",
// "--no-progress", "--on-pause=ask|go|stop" (or "--on-pause WORD"),
// "--report FILE" (or "--report=FILE"), "--kernels=fast|reference" (or
// "--kernels WORD"), "--shard K/M" or "--shard=slurm" (or "--shard=K/M",
// "--shard slurm"), "-h"/"--help" and "--version";
// "--" ends the options. Any other argument that starts with '-' before
// the positional ones is refused as an unknown option; the first that does
// not is the first positional one (the input directory), so a mode or order
// such as "-1" keeps its meaning.
// With --help or --version nothing else is read. The directories
// are cut to 150 characters; the mode and N are free-form Integers from
// 10-character fields. A mode other than 0 or 1 and an N outside 3..300 are
// refused, as is a missing or non-integer mode or N or a bad option value:
// each throws textio::RunError, its cause ending in the usage hint, before
// anything is opened or written.
CommandLine parse_command_line(int argc, const char* const* argv);

}  // namespace phasefit::driver
