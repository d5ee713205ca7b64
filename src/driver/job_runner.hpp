#pragma once
// Runs the jobs of a plan: each job opens its coefficient file, expands its
// table and writes the file, in job order, one after another or computed
// by worker threads and committed in order.

#include <cstddef>
#include <ostream>

#include "driver/command_line.hpp"
#include "driver/file_registry.hpp"
#include "driver/progress.hpp"
#include "driver/report.hpp"
#include "driver/run_plan.hpp"
#include "numerics/pause.hpp"

namespace phasefit::driver {

// What every job of a run shares.
struct RunContext {
  const CommandLine& line;
  // Checks every file a job opens; jobs are added to it as they come when
  // they were not all added before the run (a spectral list that is not a
  // regular file is not read ahead).
  FileRegistry& files;
  const numerics::PauseHandler& pause;  // as --on-pause chose
  ProgressLine& progress;
  FitReport* report;  // null without --report
  std::ostream& err;
  std::size_t failures = 0;  // jobs skipped by --keep-going
};

// Runs the plan's jobs. With one worker they run one after another on this
// thread. With more, workers compute the jobs (each with its own workspace)
// while this thread commits them in order, so that files, standard output
// and error, standard input and the outcome are those of the one-thread
// run; from the first job whose table could be a file the run writes, the
// rest goes one job at a time. A job's failure ends the run (textio::RunError,
// or RunEndedByOperator at a pause), after its report row; with
// --keep-going a failed table is reported on `err`, counted in
// `context.failures` and skipped.
void run_jobs(RunPlan& plan, std::size_t workers, RunContext& context);

}  // namespace phasefit::driver
