#pragma once
// The batch run: the command line, the run lists, and the job loop over
// spectral points (outer) and sizes (inner), each job expanding one table
// into one coefficient file.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
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

// One whole run. Writes the echo of N to `out` (or the --help or --version
// text, and nothing else); an operator pause prompts on `err` and reads its
// answer from `in` (with --on-pause=ask). The progress line is drawn on
// `err` only when `err_is_terminal` says a person is watching it, at most
// `terminal_columns` wide. With several workers the jobs are
// computed concurrently and committed in job order, so that files, stdout,
// stderr, stdin and the outcome are those of the one-thread run; a job whose
// table could be a file the run writes makes the rest of the run go one job
// at a time. Before the first job, every file the jobs would write is
// compared with the files the run reads (the run lists, every job's table)
// and with the report: a write over one of them refuses the run before
// anything is written or the report is created. Returns 0 when every job is
// written. Throws textio::RunError for an input or output failure (exit
// status 2) and RunEndedByOperator when the operator ends the run at a
// pause (exit status 3); files of earlier jobs stay. With --keep-going a
// failed table is reported on `err` and skipped; such a run ends with a
// count of the failed jobs and returns 2.
int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err,
        bool err_is_terminal = false, std::size_t terminal_columns = 80);

}  // namespace phasefit::driver
