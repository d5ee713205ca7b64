#pragma once
// The identity of a file (device and inode), to tell when two names reach
// one file: through a link, a hard link or another spelling of the path.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace phasefit::driver {

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

}  // namespace phasefit::driver
