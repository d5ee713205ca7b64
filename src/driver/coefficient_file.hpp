#pragma once
// The coefficient file of one job (also the content of the reference copy)
// and the "unknown" open through which the driver writes it.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "driver/file_identity.hpp"
#include "expansion/job_result.hpp"

namespace phasefit::driver {

// The whole content of a coefficient file for order n (kMinOrder..kMaxOrder)
// from `result`: n + 11 records, each ending in a line feed:
//   1-4     empty
//   5       " Ce, omega0, g-factor, f-delta"
//   6       Ce, omega0, g, f_delta in E15.5, two blanks between fields
//   7       empty
//   8       " truncation = y  1-Jul-2002"
//   9       ft and f_delta in F9.6, each followed by a blank, then
//           "truncation factor (ft) and f-delta"
//   10      n right-aligned in 11 characters after a blank, a blank,
//           "coefficients"
//   11..    for l = 0..n: l + 1 in I4, coefficients[l] in F12.7
// Reads coefficients[0..n], ft, ce, omega0, g and f_delta of `result`.
std::string format_coefficient_file(int n, const expansion::JobResult& result);

// True when `content` (as format_coefficient_file writes it) holds a field
// of asterisks: a value too wide for its edit (an ft of 100 or more, or of
// -10 or less; a coefficient of 10000 or more, or of -1000 or less). The
// value is lost from the file, which still keeps the asterisks, as stored
// files do. None of the file's fixed text holds an asterisk, so any one
// marks such a field.
bool holds_overflowed_field(std::string_view content);

// A file opened with status "unknown" for writing: created empty if absent,
// an existing file opened without being emptied. Its old content gives way
// only when replace_content writes the new one, so a run that stops before
// then leaves an existing file unchanged and a new one empty. Every failure
// throws textio::RunError on `channel` naming the path and the system's
// reason.
//
// The new content never overwrites the old in place: it is written whole to
// a temporary file beside the target (".<name>.tmp.<pid>.<count>"), flushed
// to the disk and then renamed over the target, so that a failed write, a
// full disk or a killed process leaves either the old file or the complete
// new one. A handled failure removes the temporary file; only a process
// killed between its creation and the rename can leave one behind. A target
// reached through a symbolic link is replaced at the link's destination (the
// link stays a link); a target that is no regular file (a device, a pipe) is
// written directly. The new file takes the old one's permission bits.
class UnknownFile {
 public:
  UnknownFile(std::string path, int channel);
  UnknownFile(const UnknownFile&) = delete;
  UnknownFile& operator=(const UnknownFile&) = delete;
  // Closes a file still open, silently: only reached when the run is
  // already ending with another failure.
  ~UnknownFile();

  const std::string& path() const { return path_; }
  // The file the open found or created (before any replacement).
  FileIdentity identity() const { return identity_; }

  // Replaces the old content by `content`, all of it or, on a failure (a
  // full disk, a file-size limit), none of it: the file keeps its old
  // content and no temporary file remains.
  void replace_content(std::string_view content);
  // Closes the file; a failed close (delayed write error) is a failure.
  void close();

 private:
  void write_in_place(std::string_view content);

  std::string path_;
  int channel_;
  int fd_ = -1;
  FileIdentity identity_;
  bool regular_ = false;
  mode_t permissions_ = 0;
  uid_t owner_ = 0;
  gid_t group_ = 0;
};

// Removes the temporary file a replacement is writing at this moment, if
// any. Async-signal-safe: main calls it from the handler of the signals
// that end a run (interrupt, termination, hang-up), so that such an end
// leaves no temporary file behind, as a handled failure leaves none.
void remove_pending_temporary_file() noexcept;

}  // namespace phasefit::driver
