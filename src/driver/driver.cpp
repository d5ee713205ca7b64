#include "driver/driver.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/coefficient_file.hpp"
#include "driver/in_order_pool.hpp"
#include "driver/jobs.hpp"
#include "driver/naming.hpp"
#include "driver/operator_pause.hpp"
#include "driver/run_lists.hpp"
#include "expansion/bfit.hpp"
#include "textio/edit.hpp"
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
void check_path_width(const std::string& path, int channel) {
  if (path.size() > kPathWidth) {
    throw RunError(channel, path,
                   "path is " + std::to_string(path.size()) + " characters long; at most " +
                       std::to_string(kPathWidth) + " are allowed");
  }
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

// Writes one coefficient file (the job's own, or the reference copy) with
// status "unknown" and the given content.
void write_copy(const std::string& path, std::string_view content, const RunList& spectral_list) {
  check_path_width(path, kCoefficientChannel);
  UnknownFile file(path, kCoefficientChannel);
  check_not_held(file.identity(), kCoefficientChannel, path, spectral_list.identity(),
                 kSpectralListChannel, "the spectral list");
  file.replace_content(content);
  file.close();
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

// What a job reads and writes, and how: one implementation for both the
// one-thread loop and the committing thread of the parallel run, so that
// the two cannot differ. `expand` runs the expansion (or waits for a worker
// that runs it) after the coefficient file has been opened, as the job loop
// does, and returns its result.
template <class Expand>
void do_job(const Job& job, int n, const RunList& spectral_list, Expand&& expand) {
  // The coefficient file is opened before its table is read; it is
  // rewritten only once the expansion has succeeded.
  check_path_width(job.output_path, kCoefficientChannel);
  UnknownFile coefficient_file(job.output_path, kCoefficientChannel);
  check_not_held(coefficient_file.identity(), kCoefficientChannel, job.output_path,
                 spectral_list.identity(), kSpectralListChannel, "the spectral list");

  check_path_width(job.input_path, expansion::kTableChannel);
  const FileIdentity table = identity_of_path(job.input_path);
  check_not_held(table, expansion::kTableChannel, job.input_path, coefficient_file.identity(),
                 kCoefficientChannel, "this job's coefficient file");
  check_not_held(table, expansion::kTableChannel, job.input_path, spectral_list.identity(),
                 kSpectralListChannel, "the spectral list");

  const expansion::JobResult& result = expand();

  const std::string content = format_coefficient_file(n, result);
  coefficient_file.replace_content(content);
  coefficient_file.close();

  if (job.reference_path) write_copy(*job.reference_path, content, spectral_list);
}

// Runs the remaining jobs one after another on this thread.
void run_one_by_one(std::optional<Job> job, JobSource& jobs, int n, const RunList& spectral_list,
                    const numerics::PauseHandler& pause) {
  expansion::FitWorkspace workspace;
  expansion::JobResult result;
  for (; job; job = jobs.next()) {
    do_job(*job, n, spectral_list, [&]() -> const expansion::JobResult& {
      expansion::bfit(job->input_path, n, result, workspace, pause);
      return result;
    });
  }
}

// Workers compute the jobs (each with its own workspace) while this thread
// commits them in order. A worker's pause waits until its job is the next
// to commit and its coefficient file is open, while this thread waits for
// that job, and only then asks the operator: the pauses appear in job order
// and nothing else reads standard input or writes standard error meanwhile.
// From the first job whose table could be written by the run itself, the
// rest goes one job at a time, after every earlier job has been committed.
void run_in_parallel(std::size_t workers, JobSource& jobs, int n, const RunList& spectral_list,
                     const numerics::PauseHandler& pause) {
  using Pool = InOrderPool<Job, expansion::JobResult>;
  std::vector<expansion::FitWorkspace> workspaces(workers);
  ReadAheadGuard guard;
  std::optional<Job> first_unsafe;
  {
    Pool pool(workers, 2 * workers,
              [&](std::size_t worker, const Job& job, expansion::JobResult& result,
                  const Pool::TurnGate& gate) {
                const numerics::PauseHandler in_turn = [&](std::string_view message) {
                  gate.wait_turn();
                  pause(message);
                };
                expansion::bfit(job.input_path, n, result, workspaces[worker], in_turn);
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
      do_job(pool.front_task(), n, spectral_list, [&]() -> const expansion::JobResult& {
        pool.release_front();
        return pool.wait_front();
      });
      pool.pop_front();
    }
  }
  if (first_unsafe) run_one_by_one(std::move(first_unsafe), jobs, n, spectral_list, pause);
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine line;
  int first = 1;
  while (first < argc && argv[first] != nullptr) {
    const std::string_view option = argv[first];
    if (option == "--") {
      ++first;
      break;
    }
    if (option == "-j" || option == "--jobs") {
      line.workers = worker_count(argument(argc, argv, first + 1));
      first += 2;
    } else if (option.starts_with("--jobs=")) {
      line.workers = worker_count(option.substr(7));
      ++first;
    } else if (option.starts_with("-j")) {
      line.workers = worker_count(option.substr(2));
      ++first;
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

int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err) {
  const CommandLine line = parse_command_line(argc, argv);

  out << textio::list_record_int(line.n) << '\n';
  out.flush();
  if (!out) throw RunError(6, "standard output", "write failed");

  const std::vector<std::int32_t> sizes = read_size_list();

  const bool band_mode = line.mode == SpectralMode::kBand;
  RunList spectral_list(band_mode ? kBandListPath : kWavelengthListPath, kSpectralListChannel);
  std::int32_t spectral_count = 0;
  spectral_list.reader().read(spectral_count);

  const numerics::PauseHandler pause = OperatorPause(in, err);
  // More workers than jobs would only wait.
  const std::size_t job_count =
      sizes.size() * static_cast<std::size_t>(std::max<std::int32_t>(spectral_count, 0));
  std::size_t workers = line.workers > 0 ? static_cast<std::size_t>(line.workers)
                                         : std::max(1u, std::thread::hardware_concurrency());
  workers = std::min(workers, job_count);
  // The spectral list is read ahead of the jobs. A pipe or a device in its
  // place (even standard input, which also answers the pauses) must be read
  // only when the one-thread loop would read it.
  struct stat list_info {};
  if (::stat(spectral_list.path().c_str(), &list_info) != 0 || !S_ISREG(list_info.st_mode))
    workers = 1;

  JobSource jobs(line.input_dir, line.output_dir, band_mode, sizes, spectral_list, spectral_count);
  if (workers <= 1) {
    run_one_by_one(jobs.next(), jobs, line.n, spectral_list, pause);
  } else {
    run_in_parallel(workers, jobs, line.n, spectral_list, pause);
  }
  // A spectral entry that could not be read ends the run here, after every
  // job of the points before it.
  jobs.rethrow_failure();
  return 0;
}

}  // namespace phasefit::driver
