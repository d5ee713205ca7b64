#include "driver/run_plan.hpp"

#include <algorithm>

#include "driver/naming.hpp"

namespace phasefit::driver {

RunPlan::RunPlan(std::string input_dir, std::string output_dir, bool band_mode,
                 std::vector<std::int32_t> sizes, RunList& spectral_list,
                 std::int32_t spectral_count, bool whole)
    : input_dir_(std::move(input_dir)),
      output_dir_(std::move(output_dir)),
      band_mode_(band_mode),
      sizes_(std::move(sizes)),
      spectral_list_(&spectral_list),
      spectral_count_(spectral_count),
      whole_(whole),
      count_(sizes_.size() * static_cast<std::size_t>(std::max<std::int32_t>(spectral_count, 0))) {
  if (!whole_) return;
  while (const std::optional<Point> point = read_point()) add_jobs(*point);
}

std::optional<RunPlan::Point> RunPlan::read_point() {
  if (failure_ || points_read_ >= spectral_count_) return std::nullopt;
  try {
    ++points_read_;
    // Band mode has no wavelength, so it never writes a reference copy.
    if (band_mode_) {
      std::string band_name;
      spectral_list_->reader().read(band_name);
      return Point{band_label(band_name), false};
    }
    double wavelength = 0.0;
    spectral_list_->reader().read(wavelength);
    return Point{wavelength_label(wavelength), is_reference_wavelength(wavelength)};
  } catch (...) {
    failure_ = std::current_exception();
    return std::nullopt;
  }
}

void RunPlan::add_jobs(const Point& point) {
  // The jobs before this point: every point has one job per size.
  std::size_t index = static_cast<std::size_t>(points_read_ - 1) * sizes_.size();
  for (const std::int32_t size : sizes_) {
    const std::string name =
        band_mode_ ? band_file_name(point.label, size) : wavelength_file_name(point.label, size);
    Job job{join_path(input_dir_, name), join_path(output_dir_, name), std::nullopt};
    if (point.reference) job.reference_path = join_path(output_dir_, reference_file_name(size));
    job.label = point.label;
    job.size = size;
    job.name = name;
    job.index = ++index;
    jobs_.push_back(std::move(job));
  }
}

void RunPlan::keep_only(const std::vector<std::int32_t>& shards, std::int32_t shard) {
  std::erase_if(jobs_, [&](const Job& job) { return shards[job.index - 1] != shard; });
  count_ = jobs_.size();
}

std::optional<Job> RunPlan::next() {
  while (next_ == jobs_.size()) {
    if (whole_) return std::nullopt;
    jobs_.clear();
    next_ = 0;
    const std::optional<Point> point = read_point();
    if (!point) return std::nullopt;
    add_jobs(*point);
  }
  return jobs_[next_++];
}

void RunPlan::rethrow_failure() const {
  if (failure_) std::rethrow_exception(failure_);
}

}  // namespace phasefit::driver
