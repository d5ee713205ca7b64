#include "driver/run_lists.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

// Creates the list if it is absent (status "unknown"), noting in `created`
// that it did so, and tells what the name reaches; the stream is opened on
// the same name afterwards.
FileIdentity open_unknown_for_reading(const std::string& path, int channel, bool& created) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0)
    throw textio::RunError(channel, path, std::string("open failed: ") + std::strerror(errno));
  struct stat info {};
  const bool known = ::fstat(fd, &info) == 0;
  ::close(fd);
  if (known && S_ISDIR(info.st_mode))
    throw textio::RunError(channel, path, "open failed: is a directory");
  if (!known) return {};
  return {info.st_dev, info.st_ino, true};
}

}  // namespace

RunList::RunList(std::string path, int channel)
    : path_(std::move(path)),
      channel_(channel),
      identity_(open_unknown_for_reading(path_, channel_, created_)),
      stream_(path_),
      reader_(stream_, channel_, path_) {
  if (!stream_) throw textio::RunError(channel_, path_, "open failed");
}

std::int32_t RunList::read_count() {
  std::int32_t count = 0;
  try {
    reader_.read(count);
  } catch (const textio::RunError& error) {
    if (!created_) throw;
    throw textio::RunError(
        channel_, path_, error.cause() + " (the file did not exist, so the run created it empty)");
  }
  return count;
}

std::vector<std::int32_t> read_size_list(const std::string& path) {
  RunList list(path, textio::kSizeListChannel);
  const std::int32_t count = list.read_count();
  std::vector<std::int32_t> sizes;
  for (std::int32_t i = 1; i <= count; ++i) {
    std::int32_t size = 0;
    list.reader().read(size);
    sizes.push_back(size);
  }
  return sizes;
}

}  // namespace phasefit::driver
