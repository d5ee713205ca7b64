#include "driver/shards.hpp"

#include <algorithm>
#include <charconv>
#include <numeric>
#include <string>

#include "driver/file_identity.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

constexpr std::int64_t kMaxShards = 1000000;

std::optional<std::int64_t> decimal(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::uint64_t text_key(std::string_view kind, std::string_view text) {
  return std::hash<std::string>{}(std::string(kind) + '\0' + std::string(text));
}

std::uint64_t file_key(const FileIdentity& file) {
  return std::hash<std::string>{}("file " + std::to_string(file.device) + " " +
                                  std::to_string(file.inode));
}

// Union-find over job indices whose root is always a group's first job.
struct Groups {
  std::vector<std::uint32_t> parent;
  explicit Groups(std::size_t count) : parent(count) {
    std::iota(parent.begin(), parent.end(), 0u);
  }
  std::uint32_t root(std::uint32_t job) {
    while (parent[job] != job) job = parent[job] = parent[parent[job]];
    return job;
  }
  void join(std::uint32_t a, std::uint32_t b) {
    a = root(a);
    b = root(b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
};

}  // namespace

std::optional<Shard> parse_shard(std::string_view text) {
  const auto slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const auto index = decimal(text.substr(0, slash));
  const auto count = decimal(text.substr(slash + 1));
  if (!index || !count || *index < 1 || *index > *count || *count > kMaxShards) return std::nullopt;
  return Shard{static_cast<std::int32_t>(*index), static_cast<std::int32_t>(*count)};
}

Shard shard_from_slurm(const std::function<const char*(const char*)>& lookup) {
  const char* const names[] = {"SLURM_ARRAY_TASK_ID", "SLURM_ARRAY_TASK_MIN",
                               "SLURM_ARRAY_TASK_STEP", "SLURM_ARRAY_TASK_COUNT"};
  std::int64_t values[4] = {};
  std::string state;
  for (int i = 0; i < 4; ++i) {
    const char* text = lookup(names[i]);
    const auto value = text ? decimal(text) : std::nullopt;
    if (!value) {
      throw textio::RunError(textio::kNoChannel, "",
                             std::string("--shard=slurm: ") + names[i] +
                                 (text ? " is '" + std::string(text) + "', not an integer"
                                       : " is not set (this is no task of a Slurm job array)"));
    }
    values[i] = *value;
    state += std::string(i ? ", " : "") + names[i] + "=" + text;
  }
  const auto [id, min, step, count] = std::tuple(values[0], values[1], values[2], values[3]);
  const bool consistent = step >= 1 && id >= min && (id - min) % step == 0 && count >= 1 &&
                          count <= kMaxShards && (id - min) / step < count;
  if (!consistent) {
    throw textio::RunError(
        textio::kNoChannel, "",
        "--shard=slurm: the array variables describe no task of the array (" + state + ")");
  }
  return Shard{static_cast<std::int32_t>((id - min) / step + 1), static_cast<std::int32_t>(count)};
}

void ShardPlan::add_job(const Job& job, const FileIdentity& output, const FileIdentity& reference) {
  const auto index = static_cast<std::uint32_t>(jobs_++);
  keys_.emplace_back(text_key("name", job.name), index);
  if (output.known) keys_.emplace_back(file_key(output), index);
  if (job.reference_path) {
    const auto slash = job.reference_path->rfind('/');
    keys_.emplace_back(
        text_key("reference", slash == std::string::npos ? *job.reference_path
                                                         : job.reference_path->substr(slash + 1)),
        index);
    if (reference.known) keys_.emplace_back(file_key(reference), index);
  }
}

std::vector<std::int32_t> ShardPlan::assign(std::int32_t count) const {
  Groups groups(jobs_);
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keys = keys_;
  std::sort(keys.begin(), keys.end());
  for (std::size_t i = 1; i < keys.size(); ++i)
    if (keys[i].first == keys[i - 1].first) groups.join(keys[i].second, keys[i - 1].second);

  std::vector<std::uint32_t> size(jobs_, 0);
  for (std::uint32_t job = 0; job < jobs_; ++job) ++size[groups.root(job)];
  std::vector<std::int32_t> shard(jobs_, 1);
  std::size_t dealt = 0;
  for (std::uint32_t job = 0; job < jobs_; ++job) {
    const std::uint32_t first = groups.root(job);
    if (first == job) {
      shard[job] = static_cast<std::int32_t>(dealt * static_cast<std::size_t>(count) / jobs_) + 1;
      dealt += size[job];
    } else {
      shard[job] = shard[first];
    }
  }
  return shard;
}

}  // namespace phasefit::driver
