#pragma once
// The jobs of a run in their order: spectral points (outer) by sizes
// (inner), each job one table expanded into one coefficient file.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "driver/run_lists.hpp"

namespace phasefit::driver {

// One pair of a spectral point and a size: the paths it reads and writes.
struct Job {
  std::string input_path;   // the table (channel 8)
  std::string output_path;  // the coefficient file (channel 9)
  // The reference copy, written after the coefficient file, when the
  // spectral point is the reference wavelength.
  std::optional<std::string> reference_path;
  // What the job is, for the progress line and the report: the spectral
  // label, the size, and the data-file name shared by table and output.
  std::string label{};
  std::int32_t size = 0;
  std::string name{};
  // 1-based place of the job in the whole run's job order (also when the
  // run is sharded and this process runs only some of the jobs).
  std::size_t index = 0;
};

// The jobs, enumerated once from the run lists. With `whole`, every
// spectral entry is read when the plan is made, so that every job is known
// (jobs()) before the first one runs; otherwise (a spectral list that is a
// pipe or a device, read only as the jobs reach it) each entry is read when
// next() reaches its point, exactly as the job loop does. With no sizes
// every entry is still read. A failed read ends the jobs at its point:
// there are no jobs from there on and the failure is held, to be raised by
// rethrow_failure() once every earlier job is done.
class RunPlan {
 public:
  RunPlan(std::string input_dir, std::string output_dir, bool band_mode,
          std::vector<std::int32_t> sizes, RunList& spectral_list, std::int32_t spectral_count,
          bool whole);

  bool whole() const { return whole_; }
  // Every job of the run, in job order; only when whole.
  const std::vector<Job>& jobs() const { return jobs_; }
  // Keeps only the jobs whose entry in `shards` (one per job, in job order)
  // is `shard`; only when whole.
  void keep_only(const std::vector<std::int32_t>& shards, std::int32_t shard);
  // The jobs that will run; when not whole, what the lists' counts promise.
  std::size_t count() const { return count_; }

  // The next job to run, in job order; nothing after the last.
  std::optional<Job> next();
  // Throws the held failure of the spectral list, if any.
  void rethrow_failure() const;

 private:
  struct Point {
    std::string label;
    bool reference = false;
  };
  // Reads the next spectral entry; nothing (the failure held) when it
  // cannot be read.
  std::optional<Point> read_point();
  // Appends the jobs of `point` to `jobs_`.
  void add_jobs(const Point& point);

  std::string input_dir_;
  std::string output_dir_;
  bool band_mode_;
  std::vector<std::int32_t> sizes_;
  RunList* spectral_list_;
  std::int32_t spectral_count_;
  bool whole_;
  std::size_t count_ = 0;
  std::vector<Job> jobs_;  // whole: every job to run; otherwise those of the point reached
  std::size_t next_ = 0;   // index into jobs_ of the next job
  std::int32_t points_read_ = 0;
  std::exception_ptr failure_;
};

}  // namespace phasefit::driver
