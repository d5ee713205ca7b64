#include "driver/shards.hpp"

#include <algorithm>
#include <charconv>
#include <string>

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
  // Values far apart (each one a valid 64-bit integer) would wrap around in
  // ID - MIN and might then name some task, or none, as if by chance.
  std::int64_t offset = 0;
  if (__builtin_sub_overflow(id, min, &offset)) {
    throw textio::RunError(textio::kNoChannel, "",
                           "--shard=slurm: SLURM_ARRAY_TASK_ID - SLURM_ARRAY_TASK_MIN is out of "
                           "the range of 64-bit integers (" +
                               state + ")");
  }
  const bool consistent = step >= 1 && offset >= 0 && offset % step == 0 && count >= 1 &&
                          count <= kMaxShards && offset / step < count;
  if (!consistent) {
    throw textio::RunError(
        textio::kNoChannel, "",
        "--shard=slurm: the array variables describe no task of the array (" + state + ")");
  }
  return Shard{static_cast<std::int32_t>(offset / step + 1), static_cast<std::int32_t>(count)};
}

std::string shard_report_path(std::string_view path, const Shard& shard) {
  const std::string mark = "." + std::to_string(shard.index) + "-of-" + std::to_string(shard.count);
  const auto slash = path.rfind('/');
  const std::size_t name = slash == std::string_view::npos ? 0 : slash + 1;
  const auto dot = path.rfind('.');
  const auto first_other = path.find_first_not_of('.', name);
  if (dot == std::string_view::npos || dot < name || first_other == std::string_view::npos ||
      dot < first_other)
    return std::string(path) + mark;
  return std::string(path.substr(0, dot)) + mark + std::string(path.substr(dot));
}

std::vector<std::int32_t> deal_groups(const std::vector<std::uint32_t>& group, std::int32_t count) {
  const std::size_t jobs = group.size();
  std::vector<std::int32_t> shard(jobs, 1);
  std::vector<std::uint32_t> size(jobs, 0);
  for (const std::uint32_t first : group) ++size[first];
  std::size_t dealt = 0;
  for (std::uint32_t job = 0; job < jobs; ++job) {
    const std::uint32_t first = group[job];
    if (first == job) {
      shard[job] = static_cast<std::int32_t>(dealt * static_cast<std::size_t>(count) / jobs) + 1;
      dealt += size[job];
    } else {
      shard[job] = shard[first];
    }
  }
  return shard;
}

}  // namespace phasefit::driver
