#include "driver/file_registry.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <numeric>

#include "driver/naming.hpp"
#include "driver/run_plan.hpp"
#include "textio/channels.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

using textio::RunError;

std::string identity_key(const FileIdentity& folder) {
  return "folder " + std::to_string(folder.device) + " " + std::to_string(folder.inode);
}

// The key of a folder: its identity, or its path when it cannot be found.
std::string folder_key(const std::string& folder) {
  const FileIdentity identity = identity_of_path(folder);
  return identity.known ? identity_key(identity) : "path " + folder;
}

// An entry by the key of its folder and the name_key of its name, so that
// a file system that folds case cannot hide a match.
std::uint64_t entry_key(const std::string& folder_key, const std::string& name) {
  return std::hash<std::string>{}(folder_key + '\0' + name_key(name));
}

// The entry of `name` in an existing folder; nothing when the folder
// cannot be found.
std::optional<std::uint64_t> existing_entry_key(const std::string& folder,
                                                const std::string& name) {
  const FileIdentity identity = identity_of_path(folder);
  if (!identity.known) return std::nullopt;
  return entry_key(identity_key(identity), name);
}

std::optional<std::string> resolved(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  if (!real) return std::nullopt;  // errno tells why
  return std::string(real.get());
}

// The entry a path finally reaches, every link followed.
std::optional<std::uint64_t> real_entry_key(const std::string& path) {
  const auto real = resolved(path);
  if (!real) return std::nullopt;
  const PathParts parts = split_path(*real);
  return existing_entry_key(parts.folder, parts.name);
}

// Where a path that reaches no file would be created: nothing when its
// folder does not exist (an open cannot create folders), the entry in the
// resolved folder otherwise; a doubt when that cannot be told.
struct Absent {
  bool doubt = false;
  std::optional<std::uint64_t> entry;
};

Absent absent_entry(const std::string& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0) return {true, {}};  // a dangling link
  const PathParts parts = split_path(path);
  const auto folder = resolved(parts.folder);
  if (!folder) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return {true, {}};
  }
  const auto key = existing_entry_key(*folder, parts.name);
  if (!key) return {true, {}};
  return {false, key};
}

std::string described(int channel, const std::string& path, const std::string& role) {
  std::string text = role + " (";
  if (channel != textio::kNoChannel) text += "channel " + std::to_string(channel) + ", ";
  return text + "file '" + path + "')";
}

[[noreturn]] void refuse(int channel, const std::string& path, const std::string& role,
                         const std::string& other) {
  throw RunError(channel, path,
                 role + " is also " + other +
                     ", which this run reads; the run does not write over a file it reads");
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

FileIdentity identity_of_path(const std::string& path) {
  // A NUL would end the name early: such a path names no file.
  struct stat info {};
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0) return {};
  return {info.st_dev, info.st_ino, true};
}

PathParts split_path(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(path)};
  return {std::string(path.substr(0, slash + 1)), std::string(path.substr(slash + 1))};
}

std::uint64_t entry_key_of_path(const std::string& path, FolderKeys* folders) {
  std::string entry = path;
  // Links are followed as the system follows them when the file is opened,
  // up to its limit of 40 (a longer chain or a loop fails to open anyway).
  for (int hop = 0; hop < 40; ++hop) {
    char target[4096];
    const ssize_t length = ::readlink(entry.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) break;
    const std::string_view link(target, static_cast<std::size_t>(length));
    entry = link.front() == '/' || entry.rfind('/') == std::string::npos
                ? std::string(link)
                : split_path(entry).folder + std::string(link);
  }
  const PathParts parts = split_path(entry);
  if (!folders) return entry_key(folder_key(parts.folder), parts.name);
  auto known = folders->find(parts.folder);
  if (known == folders->end())
    known = folders->emplace(parts.folder, folder_key(parts.folder)).first;
  return entry_key(known->second, parts.name);
}

std::vector<std::uint32_t> shard_groups(const std::vector<Job>& jobs) {
  // (entry key of a file the job writes, job index); jobs sharing a key
  // write the same file.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> writes;
  FolderKeys folders;
  for (std::uint32_t index = 0; index < jobs.size(); ++index) {
    writes.emplace_back(entry_key_of_path(jobs[index].output_path, &folders), index);
    if (jobs[index].reference_path)
      writes.emplace_back(entry_key_of_path(*jobs[index].reference_path, &folders), index);
  }
  Groups groups(jobs.size());
  std::sort(writes.begin(), writes.end());
  for (std::size_t i = 1; i < writes.size(); ++i)
    if (writes[i].first == writes[i - 1].first) groups.join(writes[i].second, writes[i - 1].second);
  // A table that some job writes joins its reader to the writers: the one
  // run reads it after the writes of the jobs before the reader (and the
  // writes after it are refused, as they would destroy a table).
  for (std::uint32_t index = 0; index < jobs.size(); ++index) {
    const std::uint64_t key = entry_key_of_path(jobs[index].input_path, &folders);
    const auto writer = std::lower_bound(writes.begin(), writes.end(), std::pair(key, 0u));
    if (writer != writes.end() && writer->first == key) groups.join(index, writer->second);
  }
  std::vector<std::uint32_t> group(jobs.size());
  for (std::uint32_t index = 0; index < jobs.size(); ++index) group[index] = groups.root(index);
  return group;
}

void FileRegistry::protect(const FileIdentity& file, int channel, std::string path,
                           std::string role) {
  if (file.known) reads_.try_emplace(file, Holder{channel, std::move(path), std::move(role)});
}

void FileRegistry::hold_spectral_list(const FileIdentity& file, std::string path) {
  spectral_list_ = file;
  protect(file, textio::kSpectralListChannel, std::move(path), "the spectral list");
}

void FileRegistry::expect_report(const std::string& path) {
  report_path_ = path;
  report_ = identity_of_path(path);
  if (report_.known) {
    const auto read = reads_.find(report_);
    if (read != reads_.end()) {
      throw RunError(textio::kNoChannel, path,
                     "the report (--report) is also " +
                         described(read->second.channel, read->second.path, read->second.role) +
                         ", which this run reads; choose another report file");
    }
    return;
  }
  const PathParts parts = split_path(path);
  report_folder_ = identity_of_path(parts.folder);
  report_key_ = name_key(parts.name);
}

void FileRegistry::check_report_entry(const std::string& path, const FileIdentity& file,
                                      int channel, const std::string& role) const {
  if (!report_path_) return;
  bool same = file.same_as(report_);
  if (!file.known && !report_.known && report_folder_.known) {
    // Names are compared as the file system might: "Report.tsv" may be the
    // file "report.tsv" will be. The name is looked at first, as a folder
    // costs a call to the system.
    const PathParts parts = split_path(path);
    if (name_key(parts.name) == report_key_)
      same = identity_of_path(parts.folder).same_as(report_folder_);
  }
  if (same) {
    throw RunError(textio::kNoChannel, *report_path_,
                   "the report (--report) is also " + described(channel, path, role) +
                       "; choose another report file");
  }
}

void FileRegistry::add_write(const std::string& path, const FileIdentity& own_table, int channel,
                             const std::string& role, std::uint32_t group, bool elsewhere) {
  const FileIdentity file = identity_of_path(path);
  check_report_entry(path, file, channel, role);
  if (!file.known || file.same_as(own_table)) return;
  const auto read = reads_.find(file);
  if (read != reads_.end() && !(elsewhere && read->second.group == group))
    refuse(channel, path, role,
           described(read->second.channel, read->second.path, read->second.role));
  if (ahead_) writes_.try_emplace(file, Holder{channel, path, role, group});
}

void FileRegistry::add_job(const Job& job, std::uint32_t group, bool elsewhere) {
  const std::string table_role = "the table of job " + job.name;
  const FileIdentity table = identity_of_path(job.input_path);
  check_report_entry(job.input_path, table, textio::kTableChannel, table_role);
  if (table.known) {
    const auto written = writes_.find(table);
    if (written != writes_.end() && !(elsewhere && written->second.group == group)) {
      refuse(written->second.channel, written->second.path, written->second.role,
             described(textio::kTableChannel, job.input_path, table_role));
    }
    reads_.try_emplace(table, Holder{textio::kTableChannel, job.input_path, table_role, group});
  }
  // The coefficient file that is this job's own table never gets written:
  // the job stops (or, with --keep-going, is skipped) at its table.
  add_write(job.output_path, table, textio::kCoefficientChannel,
            "the coefficient file of job " + job.name, group, elsewhere);
  if (job.reference_path)
    add_write(*job.reference_path, {}, textio::kCoefficientChannel,
              "the reference copy of job " + job.name, group, elsewhere);
}

void FileRegistry::check_output_not_held(const std::string& path, const FileIdentity& file) const {
  check_not_held(file, textio::kCoefficientChannel, path, spectral_list_,
                 textio::kSpectralListChannel, "the spectral list");
}

void FileRegistry::check_written(const std::string& path, const FileIdentity& file) const {
  check_output_not_held(path, file);
  if (file.same_as(report_))
    throw RunError(textio::kCoefficientChannel, path, "file is the report (--report)");
}

void FileRegistry::check_table(const std::string& path, const FileIdentity& table,
                               const FileIdentity& coefficient_file) const {
  check_not_held(table, textio::kTableChannel, path, coefficient_file, textio::kCoefficientChannel,
                 "this job's coefficient file");
  check_not_held(table, textio::kTableChannel, path, spectral_list_, textio::kSpectralListChannel,
                 "the spectral list");
}

void ReadAheadGuard::record_output(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    files_.insert({info.st_dev, info.st_ino, true});
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
    if (files_.count({info.st_dev, info.st_ino, true}) != 0) return true;
    const auto entry = real_entry_key(job.input_path);
    return !entry || entries_.count(*entry) != 0;
  }
  if (errno != ENOENT) return true;
  const Absent absent = absent_entry(job.input_path);
  if (absent.doubt) return true;
  return absent.entry && entries_.count(*absent.entry) != 0;
}

}  // namespace phasefit::driver
