#include "driver/jobs.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>

#include "driver/naming.hpp"

namespace phasefit::driver {
namespace {

// The directory part of a path (up to and including its last '/', or "."
// when there is none) and the name after it.
struct SplitPath {
  std::string directory;
  std::string name;
};

SplitPath split_path(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::optional<std::string> resolved(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  if (!real) return std::nullopt;  // errno tells why
  return std::string(real.get());
}

std::uint64_t file_key(const struct stat& info) {
  return std::hash<std::string>{}("file " + std::to_string(info.st_dev) + " " +
                                  std::to_string(info.st_ino));
}

// A directory entry by the identity of its directory and the name_key of its
// name, so that a file system that folds case cannot hide a match.
std::optional<std::uint64_t> entry_key(const std::string& directory, const std::string& name) {
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0) return std::nullopt;
  return std::hash<std::string>{}("entry " + std::to_string(info.st_dev) + " " +
                                  std::to_string(info.st_ino) + " " + name_key(name));
}

// The entry a path finally reaches, every link followed.
std::optional<std::uint64_t> real_entry_key(const std::string& path) {
  const auto real = resolved(path);
  if (!real) return std::nullopt;
  const SplitPath parts = split_path(*real);
  return entry_key(parts.directory, parts.name);
}

// Where a path that reaches no file would be created: nothing when its
// directory does not exist (an open cannot create directories), the entry
// in the resolved directory otherwise; an error when that cannot be told.
struct Absent {
  bool doubt = false;
  std::optional<std::uint64_t> entry;
};

Absent absent_entry(const std::string& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0) return {true, {}};  // a dangling link
  const SplitPath parts = split_path(path);
  const auto directory = resolved(parts.directory);
  if (!directory) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return {true, {}};
  }
  const auto key = entry_key(*directory, parts.name);
  if (!key) return {true, {}};
  return {false, key};
}

}  // namespace

JobSource::JobSource(std::string input_dir, std::string output_dir, bool band_mode,
                     std::vector<std::int32_t> sizes, RunList& spectral_list,
                     std::int32_t spectral_count, bool read_ahead)
    : input_dir_(std::move(input_dir)),
      output_dir_(std::move(output_dir)),
      band_mode_(band_mode),
      sizes_(std::move(sizes)),
      spectral_list_(&spectral_list),
      spectral_count_(spectral_count),
      read_ahead_(read_ahead) {
  if (!read_ahead_) return;
  for (std::int32_t point = 0; point < spectral_count_ && read_point(); ++point)
    points_.push_back(current_);
}

bool JobSource::read_point() {
  try {
    // Band mode has no wavelength, so it never writes a reference copy.
    if (band_mode_) {
      std::string band_name;
      spectral_list_->reader().read(band_name);
      current_ = {band_label(band_name), false};
    } else {
      double wavelength = 0.0;
      spectral_list_->reader().read(wavelength);
      current_ = {wavelength_label(wavelength), is_reference_wavelength(wavelength)};
    }
  } catch (...) {
    failure_ = std::current_exception();
    return false;
  }
  return true;
}

bool JobSource::advance_point() {
  if (read_ahead_) {
    if (static_cast<std::size_t>(point_) >= points_.size()) return false;
    current_ = points_[static_cast<std::size_t>(point_)];
  } else if (failure_ || point_ >= spectral_count_ || !read_point()) {
    return false;
  }
  ++point_;
  next_size_ = 0;
  return true;
}

std::optional<Job> JobSource::next() {
  for (;;) {
    while (point_ == 0 || next_size_ == sizes_.size()) {
      if (!advance_point()) return std::nullopt;
    }
    ++issued_;
    if (shard_ == 0 || (issued_ <= shards_.size() && shards_[issued_ - 1] == shard_)) break;
    ++next_size_;
  }
  const std::int32_t size = sizes_[next_size_++];
  const std::string name = band_mode_ ? band_file_name(current_.label, size)
                                      : wavelength_file_name(current_.label, size);
  Job job{join_path(input_dir_, name), join_path(output_dir_, name), std::nullopt};
  if (current_.reference) job.reference_path = join_path(output_dir_, reference_file_name(size));
  job.label = current_.label;
  job.size = size;
  job.name = name;
  job.index = issued_;
  return job;
}

void JobSource::rewind() {
  point_ = 0;
  next_size_ = 0;
  issued_ = 0;
}

void JobSource::keep_only(std::vector<std::int32_t> shards, std::int32_t shard) {
  shards_ = std::move(shards);
  shard_ = shard;
}

void JobSource::rethrow_failure() const {
  if (failure_) std::rethrow_exception(failure_);
}

void ReadAheadGuard::record_output(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    files_.insert(file_key(info));
    const auto entry = real_entry_key(path);
    if (entry) {
      entries_.insert(*entry);
    } else {
      doubt_ = true;
    }
    return;
  }
  if (errno != ENOENT) {
    doubt_ = true;
    return;
  }
  const Absent absent = absent_entry(path);
  if (absent.doubt) doubt_ = true;
  if (absent.entry) entries_.insert(*absent.entry);
}

bool ReadAheadGuard::table_may_be_written_output(const Job& job) {
  record_output(job.output_path);
  if (job.reference_path) record_output(*job.reference_path);
  if (doubt_) return true;

  struct stat info {};
  if (::stat(job.input_path.c_str(), &info) == 0) {
    // A pipe or a device is read as a stream: reading it early would be seen.
    if (!S_ISREG(info.st_mode)) return true;
    if (files_.count(file_key(info)) != 0) return true;
    const auto entry = real_entry_key(job.input_path);
    return !entry || entries_.count(*entry) != 0;
  }
  if (errno != ENOENT) return true;
  const Absent absent = absent_entry(job.input_path);
  if (absent.doubt) return true;
  return absent.entry && entries_.count(*absent.entry) != 0;
}

}  // namespace phasefit::driver
