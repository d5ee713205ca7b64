#include "driver/run.hpp"

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

#include "driver/command_line.hpp"
#include "driver/file_registry.hpp"
#include "driver/help.hpp"
#include "driver/job_runner.hpp"
#include "driver/operator_pause.hpp"
#include "driver/progress.hpp"
#include "driver/report.hpp"
#include "driver/run_lists.hpp"
#include "driver/run_plan.hpp"
#include "driver/shards.hpp"
#include "textio/edit.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

using textio::RunError;

void flush_or_fail(std::ostream& out) {
  out.flush();
  if (!out) throw RunError(textio::kStandardOutputChannel, "standard output", "write failed");
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

// A regular spectral list is read whole before the first job, so that
// every file of the run is compared before anything is written. A pipe or
// a device in its place (even standard input, which also answers the
// pauses) is read only when the job loop reaches each entry, and its jobs
// are compared as they come.
bool read_whole(const RunList& spectral_list) {
  struct stat info {};
  return ::stat(spectral_list.path().c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Every job of a whole plan is added to the registry before the first one
// runs. A sharded run keeps only its shard's jobs: every shard plans the
// whole run, so that all of them deal the jobs out alike. The plan comes
// first, from the names alone; the registry then leaves the conflicts
// within another shard's groups to that shard.
void check_all_jobs(RunPlan& plan, FileRegistry& files, const std::optional<Shard>& shard) {
  if (!shard) {
    for (const Job& job : plan.jobs()) files.add_job(job);
    return;
  }
  const std::vector<std::uint32_t> group = shard_groups(plan.jobs());
  const std::vector<std::int32_t> dealt = deal_groups(group, shard->count);
  for (const Job& job : plan.jobs())
    files.add_job(job, group[job.index - 1], dealt[job.index - 1] != shard->index);
  plan.keep_only(dealt, shard->index);
}

// The registry of the run's files: the run lists and the report, and every
// job when the plan is whole (a write over a file the run reads refuses the
// run here, before anything is written); otherwise the jobs are added as
// they run.
FileRegistry check_files(const CommandLine& line, const RunList& spectral_list, RunPlan& plan) {
  FileRegistry files(plan.whole());
  files.protect(identity_of_path(kSizeListPath), textio::kSizeListChannel, kSizeListPath,
                "the size list");
  files.hold_spectral_list(spectral_list.identity(), spectral_list.path());
  if (line.report_path) files.expect_report(*line.report_path);
  if (line.shard && !plan.whole()) {
    throw RunError(textio::kSpectralListChannel, spectral_list.path(),
                   "--shard needs a regular file here: the list is read whole to plan the shards");
  }
  if (plan.whole()) check_all_jobs(plan, files, line.shard);
  return files;
}

// The shard of --shard=slurm, from the environment as the run starts. Each
// shard writes a report of its own: shards that share one file would
// interleave their rows.
void settle_shard(CommandLine& line) {
  if (line.shard_from_slurm) line.shard = shard_from_slurm(&std::getenv);
  if (line.shard && line.report_path)
    line.report_path = shard_report_path(*line.report_path, *line.shard);
}

numerics::PauseHandler pause_handler(PauseAnswer answer, std::istream& in, std::ostream& err) {
  if (answer == PauseAnswer::kAsk) return OperatorPause(in, err);
  return UnattendedPause(answer, err);
}

// More workers than jobs would only wait; jobs are computed ahead of their
// turn only when the whole job list is known.
std::size_t worker_count(const CommandLine& line, const RunPlan& plan) {
  const std::size_t workers =
      line.workers > 0 ? static_cast<std::size_t>(line.workers) : available_cpus();
  return plan.whole() ? std::min(workers, plan.count()) : 1;
}

}  // namespace

int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err,
        bool err_is_terminal, std::size_t terminal_columns) {
  CommandLine line = parse_command_line(argc, argv);
  if (line.show_help || line.show_version) {
    out << (line.show_help ? help_text() : version_text());
    flush_or_fail(out);
    return 0;
  }
  settle_shard(line);
  out << textio::list_record_int(line.n) << '\n';
  flush_or_fail(out);

  // The plan: the run lists into the jobs.
  std::vector<std::int32_t> sizes = read_size_list();
  const bool band_mode = line.mode == SpectralMode::kBand;
  RunList spectral_list(band_mode ? kBandListPath : kWavelengthListPath,
                        textio::kSpectralListChannel);
  const std::int32_t spectral_count = spectral_list.read_count();
  RunPlan plan(line.input_dir, line.output_dir, band_mode, std::move(sizes), spectral_list,
               spectral_count, read_whole(spectral_list));

  // The check, then the report, before the first job.
  FileRegistry files = check_files(line, spectral_list, plan);
  std::optional<FitReport> report;
  if (line.report_path) {
    report.emplace(*line.report_path);
    files.report_created(identity_of_path(*line.report_path));
  }

  // The run. The progress line is destroyed when the run ends, however it
  // ends: its line is gone before main prints a diagnostic.
  const numerics::PauseHandler pause = pause_handler(line.on_pause, in, err);
  ProgressLine progress(err, line.progress && err_is_terminal && plan.count() > 0, plan.count(),
                        terminal_columns);
  RunContext context{line, files, pause, progress, report ? &*report : nullptr, err};
  run_jobs(plan, worker_count(line, plan), context);

  // The summary. A spectral entry that could not be read ends the run
  // here, after every job of the points before it.
  plan.rethrow_failure();
  if (context.failures == 0) return 0;
  progress.erase();
  err << "phasefit: " << context.failures << " of " << plan.count() << " jobs failed\n";
  err.flush();
  return 2;
}

}  // namespace phasefit::driver
