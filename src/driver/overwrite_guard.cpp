#include "driver/overwrite_guard.hpp"

#include "driver/naming.hpp"
#include "textio/channels.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

using textio::RunError;

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

struct Entry {
  FileIdentity folder;
  std::string name;
};

// The folder that holds `path` and the name in it.
Entry entry_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {identity_of_path("."), path};
  return {identity_of_path(path.substr(0, slash + 1)), path.substr(slash + 1)};
}

}  // namespace

void OverwriteGuard::protect(const FileIdentity& file, int channel, std::string path,
                             std::string role) {
  if (file.known) reads_.try_emplace(file, Holder{channel, std::move(path), std::move(role)});
}

void OverwriteGuard::expect_report(const std::string& path) {
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
  const Entry entry = entry_of(path);
  report_folder_ = entry.folder;
  report_key_ = name_key(entry.name);
}

void OverwriteGuard::check_report_entry(const std::string& path, const FileIdentity& file,
                                        int channel, const std::string& role) const {
  if (!report_path_) return;
  bool same = file.same_as(report_);
  if (!file.known && !report_.known && report_folder_.known) {
    // Names are compared as the file system might: "Report.tsv" may be the
    // file "report.tsv" will be. The name is looked at first, as a folder
    // costs a call to the system.
    const auto slash = path.rfind('/');
    if (name_key(slash == std::string::npos ? path : path.substr(slash + 1)) == report_key_)
      same = entry_of(path).folder.same_as(report_folder_);
  }
  if (same) {
    throw RunError(textio::kNoChannel, *report_path_,
                   "the report (--report) is also " + described(channel, path, role) +
                       "; choose another report file");
  }
}

void OverwriteGuard::add_write(const std::string& path, const FileIdentity& own_table, int channel,
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

void OverwriteGuard::add_job(const Job& job, std::uint32_t group, bool elsewhere) {
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

}  // namespace phasefit::driver
