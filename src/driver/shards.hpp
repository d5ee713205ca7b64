#pragma once
// Sharding a run (--shard K/M): M processes, for example the tasks of a
// cluster's job array, each run a part of one run's jobs, and together they
// write exactly the files the one run writes.
//
// Jobs are grouped by the files they write: all jobs that write a data-file
// name, a reference copy or (through a link) one existing file form one
// group, and a group belongs to one shard whole. A shard then runs its
// groups' jobs in job order, as the one run would, so every file is written
// only by the shard of its last writer and no two shards write one file.
// Groups are dealt out in job order of their first jobs, in contiguous
// blocks of about N / M jobs: shard k takes the groups that start while
// fewer than k N / M jobs have been dealt. The plan depends only on the job
// list and M, so every shard makes the same one.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "driver/file_identity.hpp"
#include "driver/jobs.hpp"

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

class ShardPlan {
 public:
  // Adds the next job of the whole run, in job order, with what its
  // coefficient file and reference copy are (unknown when absent).
  void add_job(const Job& job, const FileIdentity& output, const FileIdentity& reference);
  // The shard (1..count) of every job added, in job order.
  std::vector<std::int32_t> assign(std::int32_t count) const;

 private:
  std::size_t jobs_ = 0;
  // (key of a file the job writes, job index); jobs sharing a key write the
  // same file. A key is a hash: two files that happen to share one only
  // put their jobs into one group, which costs balance, never correctness.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keys_;
};

}  // namespace phasefit::driver
