#pragma once
// The jobs of a run in their order, and the check that decides whether a
// job's table may be read ahead of the jobs before it.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <unordered_set>
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

// Walks spectral points (outer) and sizes (inner) in file order. Each
// spectral entry is read from the open list when the walk reaches its
// point, exactly as the job loop does, or, with `read_ahead`, every entry is
// read at construction, so that the whole job list is known before the
// first job runs (and can be walked again after rewind()). With no sizes
// every entry is still read. A failed read ends the walk at its point:
// next() returns nothing from there on and the failure is held, to be
// raised by rethrow_failure() once every earlier job is done.
class JobSource {
 public:
  JobSource(std::string input_dir, std::string output_dir, bool band_mode,
            std::vector<std::int32_t> sizes, RunList& spectral_list, std::int32_t spectral_count,
            bool read_ahead = false);

  std::optional<Job> next();
  // Starts the walk again at the first job; only with `read_ahead`.
  void rewind();
  // From now on next() passes over every job whose entry in `shards` (one
  // per job of the whole run, in job order) is not `shard`.
  void keep_only(std::vector<std::int32_t> shards, std::int32_t shard);
  // Throws the held failure of the spectral list, if any.
  void rethrow_failure() const;

 private:
  struct Point {
    std::string label;
    bool reference = false;
  };
  // Reads the next entry into current_; false (the failure held) when it
  // cannot be read.
  bool read_point();
  bool advance_point();

  std::string input_dir_;
  std::string output_dir_;
  bool band_mode_;
  std::vector<std::int32_t> sizes_;
  RunList* spectral_list_;
  std::int32_t spectral_count_;
  bool read_ahead_;
  std::vector<Point> points_;  // with read_ahead: every entry read
  std::int32_t point_ = 0;     // points the walk has reached
  std::size_t next_size_ = 0;  // index into sizes_ within the current point
  Point current_;
  std::size_t issued_ = 0;  // jobs of the whole run walked so far
  std::vector<std::int32_t> shards_;
  std::int32_t shard_ = 0;  // 0: every job
  std::exception_ptr failure_;
};

// Tells, job by job in order, whether a job's table could be a file that
// this job or an earlier one writes: reached through another directory
// spelling, a link, another name of the same file, or a name created during
// the run. Only while the answer is no may the table be read before the
// earlier jobs are written. Every doubt (a dangling link, a table that is
// not a regular file, a name that cannot be resolved) counts as yes. Jobs
// are added in order; earlier jobs may already have been written when a
// later one is added, which is why outputs are also remembered by their
// directory entry: a file created by the run matches its name, not only
// the inode it had (or lacked) when its job was added.
class ReadAheadGuard {
 public:
  // Records the files `job` writes, then tells whether its table could be
  // one of the files recorded so far (its own included).
  bool table_may_be_written_output(const Job& job);

 private:
  void record_output(const std::string& path);
  std::unordered_set<std::uint64_t> files_;    // (device, inode) of outputs that exist
  std::unordered_set<std::uint64_t> entries_;  // (directory, name_key of the name) of outputs
  bool doubt_ = false;                         // an output could not be resolved
};

}  // namespace phasefit::driver
