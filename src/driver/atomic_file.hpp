#pragma once
// The atomic replacement through which the run writes its coefficient
// files: opened with status "unknown" (created if absent), never rewritten
// in place, and no temporary file left behind by a handled failure or an
// ending signal.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "driver/file_registry.hpp"

namespace phasefit::driver {

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
class AtomicFile {
 public:
  AtomicFile(std::string path, int channel);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  // Closes a file still open, silently: only reached when the run is
  // already ending with another failure.
  ~AtomicFile();

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
