#include "driver/driver.hpp"

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/coefficient_file.hpp"
#include "driver/help.hpp"
#include "driver/in_order_pool.hpp"
#include "driver/jobs.hpp"
#include "driver/naming.hpp"
#include "driver/operator_pause.hpp"
#include "driver/overwrite_guard.hpp"
#include "driver/progress.hpp"
#include "driver/report.hpp"
#include "driver/run_lists.hpp"
#include "driver/unknown_file.hpp"
#include "expansion/bfit.hpp"
#include "expansion/diagnostics.hpp"
#include "expansion/fault.hpp"
#include "textio/edit.hpp"
#include "textio/read_error.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

using textio::RunError;

std::string_view argument(int argc, const char* const* argv, int position) {
  if (position >= argc || argv[position] == nullptr) return {};
  return argv[position];
}

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

// A file may be held by one channel at a time: writing the coefficient file
// over the table it is computed from, or over the spectral list being read,
// would destroy them.
void check_not_held(const FileIdentity& file, int channel, const std::string& path,
                    const FileIdentity& holder, int holder_channel, std::string_view holder_role) {
  if (file.same_as(holder)) {
    throw RunError(channel, path,
                   "file is already open on channel " + std::to_string(holder_channel) +
                       " (it is " + std::string(holder_role) + ")");
  }
}

// What every write of the run is checked against as it happens: the
// spectral list being read and the report being written.
struct HeldFiles {
  const RunList& spectral_list;
  const OverwriteGuard& guard;
};

void check_writable(const UnknownFile& file, const HeldFiles& held) {
  check_not_held(file.identity(), textio::kCoefficientChannel, file.path(),
                 held.spectral_list.identity(), textio::kSpectralListChannel, "the spectral list");
  if (file.identity().same_as(held.guard.report()))
    throw RunError(textio::kCoefficientChannel, file.path(), "file is the report (--report)");
}

// Writes one coefficient file (the job's own, or the reference copy) with
// status "unknown" and the given content.
void write_copy(const std::string& path, std::string_view content, const HeldFiles& held) {
  check_path(path, textio::kCoefficientChannel);
  UnknownFile file(path, textio::kCoefficientChannel);
  check_writable(file, held);
  file.replace_content(content);
  file.close();
}

// The CPUs this process may run on: its affinity mask, which a batch
// system (Slurm's --cpus-per-task, a cgroup's cpuset) narrows to what it
// allotted, rather than every hardware thread of the machine.
std::size_t available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<std::size_t>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// The worker count of -j/--jobs: a decimal integer 1..kMaxWorkers.
std::int32_t worker_count(std::string_view text) {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 ||
      value > kMaxWorkers) {
    throw RunError(textio::kNoChannel, "",
                   "worker count (-j/--jobs) is '" + std::string(text) +
                       "'; it must be an integer from 1 to " + std::to_string(kMaxWorkers));
  }
  return value;
}

// What the committing side keeps of one job.
struct JobOutcome {
  expansion::JobResult result;
  expansion::FitDiagnostics diagnostics;  // filled only for the report
  bool resumed = false;                   // the fit went on after a pause
};

// What every job of a run shares.
struct RunContext {
  const CommandLine& line;
  HeldFiles held;
  // Jobs whose files could not all be compared before the run (a spectral
  // list that is not a regular file is not read ahead) are added to it as
  // they come; null when every job was added before the first one ran.
  OverwriteGuard* lazy_guard;
  const numerics::PauseHandler& pause;  // as --on-pause chose
  ProgressLine& progress;
  FitReport* report;  // null without --report
  std::ostream& err;
  std::size_t failures = 0;  // jobs skipped by --keep-going
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
std::string commit(const Job& job, RunContext& context, UnknownFile& coefficient_file,
                   const JobOutcome& outcome) {
  std::string content = format_coefficient_file(context.line.n, outcome.result);
  coefficient_file.replace_content(content);
  coefficient_file.close();
  if (job.reference_path) write_copy(*job.reference_path, content, context.held);
  return content;
}

// The job as the plain run does it: the coefficient file is opened (and so
// created) before its table is read; it is rewritten only once the
// expansion has succeeded.
template <class Expand>
void do_job_until_failure(const Job& job, RunContext& context, Expand&& expand) {
  const RunList& spectral_list = context.held.spectral_list;
  check_path(job.output_path, textio::kCoefficientChannel);
  UnknownFile coefficient_file(job.output_path, textio::kCoefficientChannel);
  check_writable(coefficient_file, context.held);

  check_path(job.input_path, textio::kTableChannel);
  const FileIdentity table = identity_of_path(job.input_path);
  check_not_held(table, textio::kTableChannel, job.input_path, coefficient_file.identity(),
                 textio::kCoefficientChannel, "this job's coefficient file");
  check_not_held(table, textio::kTableChannel, job.input_path, spectral_list.identity(),
                 textio::kSpectralListChannel, "the spectral list");

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
  const RunList& spectral_list = context.held.spectral_list;
  check_path(job.output_path, textio::kCoefficientChannel);
  const FileIdentity existing_output = identity_of_path(job.output_path);
  check_not_held(existing_output, textio::kCoefficientChannel, job.output_path,
                 spectral_list.identity(), textio::kSpectralListChannel, "the spectral list");
  const JobOutcome* outcome = nullptr;
  try {
    check_path(job.input_path, textio::kTableChannel);
    const FileIdentity table = identity_of_path(job.input_path);
    check_not_held(table, textio::kTableChannel, job.input_path, existing_output,
                   textio::kCoefficientChannel, "this job's coefficient file");
    check_not_held(table, textio::kTableChannel, job.input_path, spectral_list.identity(),
                   textio::kSpectralListChannel, "the spectral list");
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
  UnknownFile coefficient_file(job.output_path, textio::kCoefficientChannel);
  check_writable(coefficient_file, context.held);
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
void run_one_by_one(std::optional<Job> job, JobSource& jobs, RunContext& context) {
  expansion::FitWorkspace workspace;
  JobOutcome outcome;
  for (; job; job = jobs.next()) {
    if (context.lazy_guard) context.lazy_guard->add_job(*job);
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
void run_in_parallel(std::size_t workers, JobSource& jobs, RunContext& context) {
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

// The value of an option given as "--name=VALUE" or "--name VALUE";
// advances `index` past it.
std::string_view option_value(int argc, const char* const* argv, int& index,
                              std::string_view option, std::string_view name) {
  if (option.size() > name.size() && option[name.size()] == '=') {
    ++index;
    return option.substr(name.size() + 1);
  }
  if (index + 1 >= argc || argv[index + 1] == nullptr)
    throw RunError(textio::kNoChannel, "", std::string(name) + " needs a value");
  index += 2;
  return argv[index - 1];
}

PauseAnswer pause_answer(std::string_view text) {
  if (text == "ask") return PauseAnswer::kAsk;
  if (text == "go") return PauseAnswer::kGo;
  if (text == "stop") return PauseAnswer::kStop;
  throw RunError(textio::kNoChannel, "",
                 "--on-pause is '" + std::string(text) + "'; it must be ask, go or stop");
}

// --kernels: whether the reference kernels are asked for.
bool reference_kernels(std::string_view text) {
  if (text == "fast") return false;
  if (text == "reference") return true;
  throw RunError(textio::kNoChannel, "",
                 "--kernels is '" + std::string(text) + "'; it must be fast or reference");
}

// Whether `option` is `name` itself or `name=...`.
bool is_option(std::string_view option, std::string_view name) {
  return option == name ||
         (option.starts_with(name) && option.size() > name.size() && option[name.size()] == '=');
}

CommandLine parse(int argc, const char* const* argv) {
  CommandLine line;
  int first = 1;
  while (first < argc && argv[first] != nullptr) {
    const std::string_view option = argv[first];
    if (option == "--") {
      ++first;
      break;
    }
    if (option == "-h" || option == "--help") {
      line.show_help = true;
      return line;
    }
    if (option == "--version") {
      line.show_version = true;
      return line;
    }
    if (option == "-k" || option == "--keep-going") {
      line.keep_going = true;
      ++first;
    } else if (option == "--no-progress") {
      line.progress = false;
      ++first;
    } else if (is_option(option, "--on-pause")) {
      line.on_pause = pause_answer(option_value(argc, argv, first, option, "--on-pause"));
    } else if (is_option(option, "--report")) {
      const std::string_view path = option_value(argc, argv, first, option, "--report");
      if (path.empty()) throw RunError(textio::kNoChannel, "", "--report needs a file name");
      line.report_path = std::string(path);
    } else if (is_option(option, "--shard")) {
      const std::string_view value = option_value(argc, argv, first, option, "--shard");
      if (value == "slurm") {
        line.shard_from_slurm = true;
      } else {
        line.shard = parse_shard(value);
        if (!line.shard) {
          throw RunError(
              textio::kNoChannel, "",
              "--shard is '" + std::string(value) + "'; it must be K/M with 1 <= K <= M, or slurm");
        }
      }
    } else if (is_option(option, "--kernels")) {
      line.reference_kernels =
          reference_kernels(option_value(argc, argv, first, option, "--kernels"));
    } else if (option == "-j" || option == "--jobs") {
      line.workers = worker_count(argument(argc, argv, first + 1));
      first += 2;
    } else if (option.starts_with("--jobs=")) {
      line.workers = worker_count(option.substr(7));
      ++first;
    } else if (option.starts_with("-j")) {
      line.workers = worker_count(option.substr(2));
      ++first;
    } else if (option.starts_with("-")) {
      // The first positional argument is a directory; one that starts
      // with '-' follows "--".
      throw RunError(textio::kNoChannel, "",
                     "unknown option '" + std::string(option) +
                         "' (put \"--\" before an input directory that starts with '-')");
    } else {
      break;
    }
  }
  const auto positional = [&](int position) { return argument(argc, argv, first + position - 1); };
  line.input_dir = fixed_field(positional(1), kPathWidth);
  line.output_dir = fixed_field(positional(2), kPathWidth);
  const std::int32_t mode = textio::read_argument_integer(positional(3), kNumberArgumentWidth,
                                                          "spectral mode (argument 3)");
  const std::int32_t n = textio::read_argument_integer(positional(4), kNumberArgumentWidth,
                                                       "expansion order (argument 4)");
  // Checked before anything is written: the result arrays hold orders up
  // to 300 and the delta-fit needs at least 3.
  if (n < expansion::kMinOrder || n > expansion::kMaxOrder) {
    throw RunError(textio::kNoChannel, "",
                   "expansion order (argument 4) is " + std::to_string(n) + "; it must lie in " +
                       std::to_string(expansion::kMinOrder) + ".." +
                       std::to_string(expansion::kMaxOrder));
  }
  if (mode != 0 && mode != 1) {
    throw RunError(textio::kNoChannel, "",
                   "spectral mode (argument 3) is " + std::to_string(mode) +
                       "; it must be 0 (wavelengths) or 1 (band names)");
  }
  line.mode = static_cast<SpectralMode>(mode);
  line.n = n;
  return line;
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  try {
    return parse(argc, argv);
  } catch (const RunError& error) {
    if (error.channel() != textio::kNoChannel) throw;
    // Still one line: the hint closes the diagnostic.
    throw RunError(textio::kNoChannel, error.file(),
                   error.cause() + " (" + std::string(kUsageHint) + ")");
  }
}

int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err,
        bool err_is_terminal, std::size_t terminal_columns) {
  CommandLine line = parse_command_line(argc, argv);
  if (line.show_help || line.show_version) {
    out << (line.show_help ? help_text() : version_text());
    out.flush();
    if (!out) throw RunError(textio::kStandardOutputChannel, "standard output", "write failed");
    return 0;
  }
  if (line.shard_from_slurm) line.shard = shard_from_slurm(&std::getenv);
  // Each shard writes a report of its own: shards that share one file
  // would interleave their rows.
  if (line.shard && line.report_path)
    line.report_path = shard_report_path(*line.report_path, *line.shard);
  out << textio::list_record_int(line.n) << '\n';
  out.flush();
  if (!out) throw RunError(textio::kStandardOutputChannel, "standard output", "write failed");

  const std::vector<std::int32_t> sizes = read_size_list();

  const bool band_mode = line.mode == SpectralMode::kBand;
  RunList spectral_list(band_mode ? kBandListPath : kWavelengthListPath,
                        textio::kSpectralListChannel);
  const std::int32_t spectral_count = spectral_list.read_count();

  // A regular spectral list is read whole before the first job, so that
  // every file of the run is compared before anything is written. A pipe
  // or a device in its place (even standard input, which also answers the
  // pauses) is read only when the job loop reaches each entry, and its
  // jobs are compared as they come.
  struct stat list_info {};
  const bool read_ahead =
      ::stat(spectral_list.path().c_str(), &list_info) == 0 && S_ISREG(list_info.st_mode);
  OverwriteGuard guard(read_ahead);
  guard.protect(identity_of_path(kSizeListPath), textio::kSizeListChannel, kSizeListPath,
                "the size list");
  guard.protect(spectral_list.identity(), textio::kSpectralListChannel, spectral_list.path(),
                "the spectral list");
  if (line.report_path) guard.expect_report(*line.report_path);
  JobSource jobs(line.input_dir, line.output_dir, band_mode, sizes, spectral_list, spectral_count,
                 read_ahead);
  // Every shard plans the whole run, so that all of them deal the jobs out
  // alike.
  if (line.shard && !read_ahead) {
    throw RunError(textio::kSpectralListChannel, spectral_list.path(),
                   "--shard needs a regular file here: the list is read whole to plan the shards");
  }
  std::size_t job_count =
      sizes.size() * static_cast<std::size_t>(std::max<std::int32_t>(spectral_count, 0));
  if (read_ahead) {
    // The plan comes first, from the names alone; the guard then leaves the
    // conflicts within another shard's groups to that shard.
    ShardPlan::Assignment plan;
    if (line.shard) {
      ShardPlan shard_plan;
      while (const std::optional<Job> job = jobs.next()) shard_plan.add_job(*job);
      jobs.rewind();
      plan = shard_plan.assign(line.shard->count);
    }
    while (const std::optional<Job> job = jobs.next()) {
      if (line.shard) {
        const std::size_t place = job->index - 1;
        guard.add_job(*job, plan.group[place], plan.shard[place] != line.shard->index);
      } else {
        guard.add_job(*job);
      }
    }
    jobs.rewind();
    if (line.shard) {
      job_count = static_cast<std::size_t>(
          std::count(plan.shard.begin(), plan.shard.end(), line.shard->index));
      jobs.keep_only(std::move(plan.shard), line.shard->index);
    }
  }
  std::optional<FitReport> report;
  if (line.report_path) {
    report.emplace(*line.report_path);
    guard.report_created(identity_of_path(*line.report_path));
  }

  numerics::PauseHandler pause;
  if (line.on_pause == PauseAnswer::kAsk) {
    pause = OperatorPause(in, err);
  } else {
    pause = UnattendedPause(line.on_pause, err);
  }
  // More workers than jobs would only wait; jobs are computed ahead of
  // their turn only when the whole job list is known.
  std::size_t workers =
      line.workers > 0 ? static_cast<std::size_t>(line.workers) : available_cpus();
  workers = read_ahead ? std::min(workers, job_count) : 1;

  // Declared before the jobs run and destroyed when the run ends, however it
  // ends: its line is gone before main prints a diagnostic.
  ProgressLine progress(err, line.progress && err_is_terminal && job_count > 0, job_count,
                        terminal_columns);
  RunContext context{line,
                     {spectral_list, guard},
                     read_ahead ? nullptr : &guard,
                     pause,
                     progress,
                     report ? &*report : nullptr,
                     err};
  if (workers <= 1) {
    run_one_by_one(jobs.next(), jobs, context);
  } else {
    run_in_parallel(workers, jobs, context);
  }
  // A spectral entry that could not be read ends the run here, after every
  // job of the points before it.
  jobs.rethrow_failure();
  if (context.failures > 0) {
    progress.erase();
    err << "phasefit: " << context.failures << " of " << job_count << " jobs failed\n";
    err.flush();
    return 2;
  }
  return 0;
}

}  // namespace phasefit::driver
