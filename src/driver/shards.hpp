#pragma once
// Sharding a run (--shard K/M): M processes, for example the tasks of a
// cluster's job array, each run a part of one run's jobs, and together they
// write exactly the files the one run writes.
//
// Jobs are grouped by the files they write, and a group belongs to one
// shard whole: jobs that write one file (a data-file name or a reference
// copy used twice, or names that lead to one file through symbolic links),
// and a job whose table is a file another job writes, join one group. A
// shard then runs its groups' jobs in job order, as the one run would, so
// every file is written only by the shard of its last writer and read after
// the same writes as in the one run. Files are told apart by their names
// alone (entry_key_of_path), never by what exists: the shards that ran
// before change what exists, but not the names, and so every shard makes
// the same plan whatever the others have done (the groups are the file
// registry's, shard_groups). The plan depends only on the job list, the
// names and M.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace phasefit::driver {

struct Shard {
  std::int32_t index = 1;  // 1..count
  std::int32_t count = 1;
  bool operator==(const Shard&) const = default;
};

// "K/M" with 1 <= K <= M (decimal, at most 1000000); nothing otherwise.
std::optional<Shard> parse_shard(std::string_view text);

// The shard of a Slurm array task: M = SLURM_ARRAY_TASK_COUNT and
// K = (SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN) / SLURM_ARRAY_TASK_STEP + 1
// (a stepped array such as 0-9:3 has IDs 0, 3, 6, 9 and a count of 4).
// `lookup` returns a variable's value, or null when it is unset. Throws
// textio::RunError (no channel) naming the variables when one is missing or
// not a number, or when they do not describe a task of the array.
Shard shard_from_slurm(const std::function<const char*(const char*)>& lookup);

// Where shard K of M writes the report asked for at `path`: ".K-of-M"
// (decimal, no padding) inserted before the last extension of the file
// name, or appended to a name without one; dots that begin the name are
// part of it, not an extension. "reports/fit.tsv" gives
// "reports/fit.2-of-4.tsv", "rep" gives "rep.2-of-4", ".rep" gives
// ".rep.2-of-4".
std::string shard_report_path(std::string_view path, const Shard& shard);

// Deals the shard groups of a run's jobs (shard_groups: each job's group,
// named by the index of its first job, in job order) out to `count`
// shards: the groups in job order of their first jobs, in contiguous
// blocks of about N / M jobs, shard k taking the groups that start while
// fewer than k N / M jobs have been dealt. Returns each job's shard
// (1..count), in job order.
std::vector<std::int32_t> deal_groups(const std::vector<std::uint32_t>& group, std::int32_t count);

}  // namespace phasefit::driver
