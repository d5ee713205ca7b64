#include "driver/job_runner.hpp"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/atomic_file.hpp"
#include "driver/coefficient_file.hpp"
#include "driver/in_order_pool.hpp"
#include "driver/naming.hpp"
#include "driver/operator_pause.hpp"
#include "expansion/bfit.hpp"
#include "expansion/diagnostics.hpp"
#include "expansion/fault.hpp"
#include "textio/read_error.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

using textio::RunError;

// The fixed path width is a limit of stored names: a longer path would be
// cut and name another file, so it stops the run before that file is opened.
// So does a NUL byte (from a quoted band name): the system would end the
// name there and open another file.
void check_path(const std::string& path, int channel) {
  if (path.size() > kPathWidth) {
    throw RunError(channel, path,
                   "path is " + std::to_string(path.size()) + " characters long; at most " +
                       std::to_string(kPathWidth) + " are allowed");
  }
  if (path.find('\0') != std::string::npos)
    throw RunError(channel, path, "path holds a NUL byte, which no file name can hold");
}

// Writes one coefficient file (the job's own, or the reference copy) with
// status "unknown" and the given content.
void write_copy(const std::string& path, std::string_view content, const FileRegistry& files) {
  check_path(path, textio::kCoefficientChannel);
  AtomicFile file(path, textio::kCoefficientChannel);
  files.check_written(file.path(), file.identity());
  file.replace_content(content);
  file.close();
}

// What the committing side keeps of one job.
struct JobOutcome {
  expansion::JobResult result;
  expansion::FitDiagnostics diagnostics;  // filled only for the report
  bool resumed = false;                   // the fit went on after a pause
};

// A failure of the job's table: it is missing, unreadable or malformed, or
// its values are unusable. --keep-going skips the job for it; otherwise it
// ends the run like any other RunError.
class TableFailure : public RunError {
 public:
  TableFailure(const std::string& path, const std::string& cause)
      : RunError(textio::kTableChannel, path, cause) {}
};

// Fits one job's table into `outcome`. The job's pauses first clear the
// progress line, so that the message stands on a line of its own; `in_turn`
// runs before each pause (a worker waits there for its job's turn). The
// expansion's and the table reader's failures become the TableFailure that
// names the table on its channel.
template <class InTurn>
void fit_job(const Job& job, RunContext& context, JobOutcome& outcome,
             expansion::FitWorkspace& workspace, InTurn&& in_turn) {
  outcome.resumed = false;
  const numerics::PauseHandler pause = [&](std::string_view message) {
    in_turn();
    context.progress.erase();
    context.pause(message);
    outcome.resumed = true;
  };
  try {
    expansion::bfit(job.input_path, context.line.n, outcome.result, workspace, pause,
                    context.report ? &outcome.diagnostics : nullptr,
                    context.line.reference_kernels ? Kernels::reference : Kernels::fast);
  } catch (const textio::ReadError& error) {
    throw TableFailure(job.input_path, error.cause());
  } catch (const expansion::TableFault& fault) {
    throw TableFailure(job.input_path, fault.what());
  }
}

// `content` is the coefficient file as written.
void report_written(RunContext& context, const Job& job, const JobOutcome& outcome,
                    std::string_view content) {
  if (context.report)
    context.report->job_written(job, context.line.n, outcome.result, outcome.diagnostics,
                                outcome.resumed, holds_overflowed_field(content));
}

// A prefix names a folder only with its final '/': "tables" makes the
// table names "tablesWVN_...". When the file a job failed on does not exist
// and its prefix, so spelt, is an existing folder, the diagnostic says so.
RunError with_prefix_hint(const RunError& error, const Job& job, const CommandLine& line) {
  const bool input = error.file() == job.input_path;
  const bool output = error.file() == job.output_path ||
                      (job.reference_path && error.file() == *job.reference_path);
  const std::string& prefix = input ? line.input_dir : line.output_dir;
  struct stat info {};
  if (!(input || output) || prefix.empty() || prefix.back() == '/' ||
      ::stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
      identity_of_path(error.file()).known)
    return error;
  return RunError(error.channel(), error.file(),
                  error.cause() + " (the " + (input ? "input" : "output") + " prefix '" + prefix +
                      "' is a folder: did you mean '" + prefix + "/'?)");
}

// The report row of a job whose failure ends the run. A report that fails
// too must not hide the diagnostic of the failure itself.
void report_fatal(RunContext& context, const Job& job, std::string_view cause) {
  if (!context.report) return;
  try {
    context.report->job_failed(job, context.line.n, cause);
  } catch (const RunError&) {
  }
}

// A job skipped by --keep-going: its diagnostic now, in job order.
void report_skipped(RunContext& context, const Job& job, const RunError& failure) {
  const RunError error = with_prefix_hint(failure, job, context.line);
  context.progress.erase();
  context.err << error.what() << '\n';
  context.err.flush();
  ++context.failures;
  if (context.report) context.report->job_failed(job, context.line.n, error.cause());
}

// Writes the job's coefficient file, already open, and its reference copy;
// returns the content written.
std::string commit(const Job& job, RunContext& context, AtomicFile& coefficient_file,
                   const JobOutcome& outcome) {
  std::string content = format_coefficient_file(context.line.n, outcome.result);
  coefficient_file.replace_content(content);
  coefficient_file.close();
  if (job.reference_path) write_copy(*job.reference_path, content, context.files);
  return content;
}

// The job as the plain run does it: the coefficient file is opened (and so
// created) before its table is read; it is rewritten only once the
// expansion has succeeded.
template <class Expand>
void do_job_until_failure(const Job& job, RunContext& context, Expand&& expand) {
  check_path(job.output_path, textio::kCoefficientChannel);
  AtomicFile coefficient_file(job.output_path, textio::kCoefficientChannel);
  context.files.check_written(coefficient_file.path(), coefficient_file.identity());

  check_path(job.input_path, textio::kTableChannel);
  context.files.check_table(job.input_path, identity_of_path(job.input_path),
                            coefficient_file.identity());

  const JobOutcome& outcome = expand();
  const std::string content = commit(job, context, coefficient_file, outcome);
  report_written(context, job, outcome, content);
}

// The job under --keep-going: a failure of its table (TableFailure) skips
// the job, so its coefficient file is neither created nor changed. That is why
// the file is opened here only after the expansion has succeeded. Failures
// of the coefficient file itself still end the run. `skip` gives up the
// expansion of a job that fails before it is needed.
template <class Expand, class Skip>
void do_job_keep_going(const Job& job, RunContext& context, Expand&& expand, Skip&& skip) {
  check_path(job.output_path, textio::kCoefficientChannel);
  const FileIdentity existing_output = identity_of_path(job.output_path);
  context.files.check_output_not_held(job.output_path, existing_output);
  const JobOutcome* outcome = nullptr;
  try {
    check_path(job.input_path, textio::kTableChannel);
    context.files.check_table(job.input_path, identity_of_path(job.input_path), existing_output);
  } catch (const RunError& error) {
    skip();
    report_skipped(context, job, error);
    return;
  }
  try {
    outcome = &expand();
  } catch (const TableFailure& failure) {
    report_skipped(context, job, failure);
    return;
  }
  AtomicFile coefficient_file(job.output_path, textio::kCoefficientChannel);
  context.files.check_written(coefficient_file.path(), coefficient_file.identity());
  const std::string content = commit(job, context, coefficient_file, *outcome);
  report_written(context, job, *outcome, content);
}

// What a job reads and writes, and how: one implementation for both the
// one-thread loop and the committing thread of the parallel run, so that
// the two cannot differ. `expand` runs the expansion (or waits for a worker
// that runs it) when the job needs it and returns its outcome; `skip` gives
// it up when the job is skipped before that.
template <class Expand, class Skip>
void do_job(const Job& job, RunContext& context, Expand&& expand, Skip&& skip) {
  context.progress.job_started(job.name);
  try {
    if (context.line.keep_going) {
      do_job_keep_going(job, context, expand, skip);
    } else {
      do_job_until_failure(job, context, expand);
    }
  } catch (const RunError& failure) {
    const RunError error = with_prefix_hint(failure, job, context.line);
    report_fatal(context, job, error.cause());
    throw error;
  } catch (const RunEndedByOperator& ended) {
    report_fatal(context, job, "run ended at the pause: " + ended.pause_message());
    throw;
  }
  context.progress.job_finished();
}

// Runs the remaining jobs one after another on this thread.
void run_one_by_one(std::optional<Job> job, RunPlan& jobs, RunContext& context) {
  expansion::FitWorkspace workspace;
  JobOutcome outcome;
  for (; job; job = jobs.next()) {
    if (!context.files.ahead()) context.files.add_job(*job);
    do_job(
        *job, context,
        [&]() -> const JobOutcome& {
          fit_job(*job, context, outcome, workspace, [] {});
          return outcome;
        },
        [] {});
  }
}

// Workers compute the jobs (each with its own workspace) while this thread
// commits them in order. A worker's pause waits until its job is the next
// to commit and its coefficient file is open, while this thread waits for
// that job, and only then asks the operator: the pauses appear in job order
// and nothing else reads standard input or writes standard error meanwhile.
// From the first job whose table could be written by the run itself, the
// rest goes one job at a time, after every earlier job has been committed.
void run_in_parallel(std::size_t workers, RunPlan& jobs, RunContext& context) {
  using Pool = InOrderPool<Job, JobOutcome>;
  std::vector<expansion::FitWorkspace> workspaces(workers);
  ReadAheadGuard guard;
  std::optional<Job> first_unsafe;
  {
    Pool pool(
        workers, 2 * workers,
        [&](std::size_t worker, const Job& job, JobOutcome& outcome, const Pool::TurnGate& gate) {
          fit_job(job, context, outcome, workspaces[worker], [&] { gate.wait_turn(); });
        });
    bool reading_ahead = true;
    for (;;) {
      while (reading_ahead && !pool.full()) {
        std::optional<Job> job = jobs.next();
        if (!job) {
          reading_ahead = false;
        } else if (guard.table_may_be_written_output(*job)) {
          first_unsafe = std::move(job);
          reading_ahead = false;
        } else {
          pool.push(std::move(*job));
        }
      }
      if (pool.empty()) break;
      bool discarded = false;
      do_job(
          pool.front_task(), context,
          [&]() -> const JobOutcome& {
            pool.release_front();
            return pool.wait_front();
          },
          [&] {
            pool.discard_front();
            discarded = true;
          });
      if (!discarded) pool.pop_front();
    }
  }
  if (first_unsafe) run_one_by_one(std::move(first_unsafe), jobs, context);
}

}  // namespace

void run_jobs(RunPlan& plan, std::size_t workers, RunContext& context) {
  if (workers <= 1) {
    run_one_by_one(plan.next(), plan, context);
  } else {
    run_in_parallel(workers, plan, context);
  }
}

}  // namespace phasefit::driver
