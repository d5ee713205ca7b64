#include "driver/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

std::string system_reason(const char* action) {
  return std::string(action) + " failed: " + std::strerror(errno);
}

// Writes all of `content`; false (errno set) on a failure.
bool write_all(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// The file a replacement renames over: `path` itself, or, when `path` is a
// symbolic link, the file it leads to, so that the link survives. Empty
// (errno set) when the link cannot be followed.
std::string replaced_file(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string resolved(real);
  std::free(real);
  return resolved;
}

// Numbers the temporary files of this process; with the process id it
// makes their names unique.
std::atomic<unsigned long> temporary_count{0};

// The temporary file being written, for remove_pending_temporary_file. Only
// the committing thread writes files, one at a time. The name is stored
// before the file is created and the flag cleared once it has been renamed
// or removed, so a signal at any moment finds either no name or the name of
// a file that is there or not yet (or no longer) there; unlinking a name
// that does not exist is harmless.
char pending_temporary[4096];
std::atomic<bool> temporary_pending{false};

void note_pending(const std::string& path) {
  if (path.size() >= sizeof pending_temporary) return;
  path.copy(pending_temporary, path.size());
  pending_temporary[path.size()] = '\0';
  temporary_pending.store(true);
}

void clear_pending() { temporary_pending.store(false); }

// A temporary file beside the file it will replace, created exclusively and
// readable by the owner only until its permissions are set. It is removed
// unless its path has been cleared (after the rename).
struct TemporaryFile {
  std::string path;
  int fd = -1;
  std::string failure;

  TemporaryFile(const std::string& directory, const std::string& name) {
    // Long names are cut so that the temporary name stays within the
    // system's limit for one path component.
    const std::string stem =
        directory + "." + name.substr(0, 200) + ".tmp." + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
      path = stem + std::to_string(temporary_count++);
      note_pending(path);
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0 || errno != EEXIST) break;
    }
    if (fd < 0) {
      failure = system_reason("creating a temporary file beside it");
      path.clear();
      clear_pending();
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd >= 0) ::close(fd);
    if (!path.empty()) ::unlink(path.c_str());
    clear_pending();
  }

  // Ends the replacement with the reason of the failed `action`; the
  // destructor then removes the file.
  [[noreturn]] void fail(int channel, const std::string& target, const char* action) {
    throw textio::RunError(channel, target, system_reason(action));
  }
};

}  // namespace

AtomicFile::AtomicFile(std::string path, int channel) : path_(std::move(path)), channel_(channel) {
  // Opening for writing creates an absent file empty and fails at once on a
  // file that may not be written, before any expansion is done for it.
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) throw textio::RunError(channel_, path_, system_reason("open"));
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    const std::string reason = system_reason("stat");
    ::close(fd_);
    fd_ = -1;
    throw textio::RunError(channel_, path_, reason);
  }
  identity_ = {info.st_dev, info.st_ino, true};
  regular_ = S_ISREG(info.st_mode);
  permissions_ = info.st_mode & 07777;
  owner_ = info.st_uid;
  group_ = info.st_gid;
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
}

void AtomicFile::replace_content(std::string_view content) {
  if (!regular_) {
    write_in_place(content);
    return;
  }
  const std::string target = replaced_file(path_);
  if (target.empty()) throw textio::RunError(channel_, path_, system_reason("resolving the link"));
  const std::size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);

  TemporaryFile temporary(directory, name);
  if (temporary.fd < 0) throw textio::RunError(channel_, path_, temporary.failure);
  // Best effort: a file system without owners or modes keeps what it has.
  struct stat info {};
  if (::fstat(temporary.fd, &info) == 0 && (info.st_uid != owner_ || info.st_gid != group_))
    static_cast<void>(::fchown(temporary.fd, owner_, group_));
  static_cast<void>(::fchmod(temporary.fd, permissions_));

  if (!write_all(temporary.fd, content)) temporary.fail(channel_, path_, "write");
  if (::fsync(temporary.fd) != 0) temporary.fail(channel_, path_, "flush to disk");
  const int fd = temporary.fd;
  temporary.fd = -1;
  if (::close(fd) != 0) temporary.fail(channel_, path_, "close");
  if (::rename(temporary.path.c_str(), target.c_str()) != 0)
    temporary.fail(channel_, path_, "rename");
  temporary.path.clear();

  // The rename itself lasts only once the directory is on the disk. A
  // directory that cannot be opened for reading is left to the system.
  const int dir_fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    const bool synced = ::fsync(dir_fd) == 0 || errno == EINVAL;
    const std::string reason = synced ? "" : system_reason("flush of the directory");
    ::close(dir_fd);
    if (!synced) throw textio::RunError(channel_, path_, reason);
  }
}

void remove_pending_temporary_file() noexcept {
  if (temporary_pending.load()) ::unlink(pending_temporary);
}

void AtomicFile::write_in_place(std::string_view content) {
  if (!write_all(fd_, content)) throw textio::RunError(channel_, path_, system_reason("write"));
}

void AtomicFile::close() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw textio::RunError(channel_, path_, system_reason("close"));
}

}  // namespace phasefit::driver
