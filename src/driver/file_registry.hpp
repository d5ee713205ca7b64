#pragma once
// What the run knows about its files, and every question it asks of them:
// may a job write here, may the next job be computed ahead of the earlier
// ones, and which jobs must run in one shard. All of them use one model of
// a path: its folder and its name (split_path), a file's identity (device
// and inode, every link followed), and the key of a name (name_key), by
// which names that a file system may take for one file are one.
//
// The run never writes over a file it reads. The run lists and every job's
// table are inputs a user may not be able to make again, and the report is
// the run's own record: a coefficient file or a reference copy that is one
// of them (through a symbolic link, a hard link or another spelling of its
// path) would destroy it.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace phasefit::driver {

struct Job;

// The identity of a file (device and inode), to tell when two names reach
// one file.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool known = false;
  bool same_as(const FileIdentity& other) const {
    return known && other.known && device == other.device && inode == other.inode;
  }
  bool operator==(const FileIdentity&) const = default;
};

struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& file) const {
    return std::hash<unsigned long long>{}(static_cast<unsigned long long>(file.inode)) ^
           (std::hash<unsigned long long>{}(static_cast<unsigned long long>(file.device)) << 1);
  }
};

// The identity of the file `path` names, every link followed; `known` is
// false when it cannot be found.
FileIdentity identity_of_path(const std::string& path);

// The folder part of a path (up to and including its last '/', or "." when
// there is none) and the name after it.
struct PathParts {
  std::string folder;
  std::string name;
};
PathParts split_path(std::string_view path);

// The directory entry `path` leads to by names alone, as a key: the symbolic
// links of its last component are followed, also to a target that does not
// exist yet, and the entry reached is keyed by the identity of its folder
// (its path when there is none) and the name_key of its name. Two paths
// with different keys are two files whenever they are written by the run,
// which replaces a file by a new one under its name and so gives every name
// a file of its own (a hard link does not survive the write). Writing a
// file never changes a key: a run creates, replaces and removes no folder
// and no symbolic link. A key is a hash: two entries that happen to share
// one only look like one file. `folders`, when given, keeps the keys of the
// folders met so far (a run has few), to be given again with the next path.
using FolderKeys = std::unordered_map<std::string, std::string>;
std::uint64_t entry_key_of_path(const std::string& path, FolderKeys* folders = nullptr);

// The shard groups of a run's jobs (in job order): each job's group, named
// by the 0-based index of the group's first job. Jobs that write one file
// (a data-file name or a reference copy used twice, or names that lead to
// one file through symbolic links), and a job whose table is a file another
// job writes, form one group. Files are told apart by entry_key_of_path,
// from the names alone, never by what exists, so that every shard finds the
// same groups whatever the shards before it wrote. Two files that happen to
// share a key only put their jobs into one group, which costs balance,
// never correctness.
std::vector<std::uint32_t> shard_groups(const std::vector<Job>& jobs);

// The files the run reads and writes, checked against each other.
class FileRegistry {
 public:
  // `ahead`: every job is added before the first one runs. Otherwise jobs
  // are added as they come, after the earlier jobs have written their
  // files; a file replaced that way has a new identity (and its old one may
  // be reused), so the tables of later jobs cannot be compared with the
  // earlier writes: only writes are checked, against what has been added.
  explicit FileRegistry(bool ahead) : ahead_(ahead) {}

  bool ahead() const { return ahead_; }

  // A run list (or another file the run reads) that no job may write.
  void protect(const FileIdentity& file, int channel, std::string path, std::string role);
  // The spectral list, open while the jobs run: protected, and compared
  // with every file a job opens as it happens.
  void hold_spectral_list(const FileIdentity& file, std::string path);

  // The report the run will create at `path` (before any job is added). It
  // must not be a file the run reads or writes: an existing report is
  // compared by identity; one that does not exist yet by its folder and
  // name, with the tables and outputs that do not exist either.
  void expect_report(const std::string& path);
  // Once the report exists, writes are also checked against it as they
  // happen (a file created by the run may only then be found to be it).
  void report_created(const FileIdentity& report) { report_ = report; }

  // Adds the next job in job order. Its table becomes protected, and (when
  // added ahead) is checked against the files of the earlier jobs; its
  // coefficient file and reference copy are checked against every protected
  // file so far. A coefficient file that is the job's own table is left to
  // the job itself, which stops at its table before writing anything. A
  // conflict throws textio::RunError on the writing channel, naming the
  // file and both of its roles.
  //
  // In a sharded run every job is added with its shard group (kNoGroup
  // otherwise), and `elsewhere` when another shard runs it. A conflict
  // between two jobs of one group run elsewhere is left to the shard that
  // runs them: such a conflict can come from the files that shard creates
  // (a table that, through a link, is a coefficient file an earlier job of
  // the group writes exists only once it has run), and the groups keep
  // every file of the group out of this shard's writes.
  static constexpr std::uint32_t kNoGroup = UINT32_MAX;
  void add_job(const Job& job, std::uint32_t group = kNoGroup, bool elsewhere = false);

  // As a job runs. A file it has just opened for writing (`file` at
  // `path`) may be neither the spectral list nor the report; its table
  // (`table`) may be neither its coefficient file (`coefficient_file`, as
  // opened or found) nor the spectral list. Each throws textio::RunError on
  // the channel of the file refused.
  void check_written(const std::string& path, const FileIdentity& file) const;
  void check_output_not_held(const std::string& path, const FileIdentity& file) const;
  void check_table(const std::string& path, const FileIdentity& table,
                   const FileIdentity& coefficient_file) const;

 private:
  struct Holder {
    int channel;
    std::string path;
    std::string role;
    std::uint32_t group = kNoGroup;
  };
  using Files = std::unordered_map<FileIdentity, Holder, FileIdentityHash>;

  void check_report_entry(const std::string& path, const FileIdentity& file, int channel,
                          const std::string& role) const;
  void add_write(const std::string& path, const FileIdentity& own_table, int channel,
                 const std::string& role, std::uint32_t group, bool elsewhere);

  bool ahead_;
  Files reads_;   // run lists and tables
  Files writes_;  // coefficient files and reference copies that exist
  FileIdentity spectral_list_;
  FileIdentity report_;
  std::optional<std::string> report_path_;
  // The report's folder and the name_key of its name, while it does not
  // exist.
  FileIdentity report_folder_;
  std::string report_key_;
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
  std::unordered_set<FileIdentity, FileIdentityHash> files_;  // outputs that exist
  std::unordered_set<std::uint64_t> entries_;                 // entry keys of the outputs' names
  bool doubt_ = false;                                        // an output could not be resolved
};

}  // namespace phasefit::driver
