#pragma once
// The batch run: the command line, the plan of its jobs over spectral
// points (outer) and sizes (inner), the check of every file they read and
// write, and the jobs themselves, each expanding one table into one
// coefficient file.

#include <cstddef>
#include <istream>
#include <ostream>

namespace phasefit::driver {

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
