#include "driver/file_identity.hpp"

#include <sys/stat.h>

namespace phasefit::driver {

FileIdentity identity_of_path(const std::string& path) {
  // A NUL would end the name early: such a path names no file.
  struct stat info {};
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0) return {};
  return {info.st_dev, info.st_ino, true};
}

}  // namespace phasefit::driver
