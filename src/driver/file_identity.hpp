#pragma once
// The identity of a file (device and inode), to tell when two names reach
// one file: through a link, a hard link or another spelling of the path.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

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

}  // namespace phasefit::driver
