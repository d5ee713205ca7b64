#pragma once
// Keeps a run from writing over the files it reads. The run lists and every
// job's table are inputs a user may not be able to make again, and the
// report is the run's own record: a coefficient file or a reference copy
// that is one of them (through a symbolic link, a hard link or another
// spelling of its path) would destroy it. Files are compared by identity,
// so only files that exist are compared; a file the run creates cannot be
// one of its inputs.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "driver/file_identity.hpp"
#include "driver/jobs.hpp"

namespace phasefit::driver {

class OverwriteGuard {
 public:
  // `ahead`: every job is added before the first one runs. Otherwise jobs
  // are added as they come, after the earlier jobs have written their
  // files; a file replaced that way has a new identity (and its old one may
  // be reused), so the tables of later jobs cannot be compared with the
  // earlier writes: only writes are checked, against what has been added.
  explicit OverwriteGuard(bool ahead) : ahead_(ahead) {}

  // A run list (or another file the run reads) that no job may write.
  void protect(const FileIdentity& file, int channel, std::string path, std::string role);

  // The report the run will create at `path` (before any job is added). It
  // must not be a file the run reads or writes: an existing report is
  // compared by identity; one that does not exist yet by its folder and
  // name, with the tables and outputs that do not exist either.
  void expect_report(const std::string& path);

  // Adds the next job in job order. Its table becomes protected, and (when
  // added ahead) is checked against the files of the earlier jobs; its
  // coefficient file and reference copy are checked against every protected
  // file so far. A coefficient file that is the job's own table is left to
  // the job itself, which stops at its table before writing anything. A
  // conflict throws textio::RunError on the writing channel, naming the
  // file and both of its roles.
  //
  // In a sharded run every job is added with its group of the shard plan
  // (kNoGroup otherwise), and `elsewhere` when another shard runs it. A
  // conflict between two jobs of one group run elsewhere is left to the
  // shard that runs them: such a conflict can come from the files that
  // shard creates (a table that, through a link, is a coefficient file an
  // earlier job of the group writes exists only once it has run), and the
  // plan keeps every file of the group out of this shard's writes.
  static constexpr std::uint32_t kNoGroup = UINT32_MAX;
  void add_job(const Job& job, std::uint32_t group = kNoGroup, bool elsewhere = false);

  // Once the report exists, writes are also checked against it as they
  // happen (a file created by the run may only then be found to be it).
  void report_created(const FileIdentity& report) { report_ = report; }
  const FileIdentity& report() const { return report_; }

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
  FileIdentity report_;
  std::optional<std::string> report_path_;
  // The report's folder and the name_key of its name, while it does not
  // exist.
  FileIdentity report_folder_;
  std::string report_key_;
};

}  // namespace phasefit::driver
