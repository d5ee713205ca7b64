#include "driver/file_identity.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "driver/naming.hpp"

namespace phasefit::driver {

FileIdentity identity_of_path(const std::string& path) {
  // A NUL would end the name early: such a path names no file.
  struct stat info {};
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0) return {};
  return {info.st_dev, info.st_ino, true};
}

std::uint64_t entry_key_of_path(const std::string& path, FolderKeys* folders) {
  std::string entry = path;
  // Links are followed as the system follows them when the file is opened,
  // up to its limit of 40 (a longer chain or a loop fails to open anyway).
  for (int hop = 0; hop < 40; ++hop) {
    char target[4096];
    const ssize_t length = ::readlink(entry.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) break;
    const std::string_view link(target, static_cast<std::size_t>(length));
    const auto slash = entry.rfind('/');
    entry = link.front() == '/' || slash == std::string::npos
                ? std::string(link)
                : entry.substr(0, slash + 1) + std::string(link);
  }
  const auto slash = entry.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : entry.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? entry : entry.substr(slash + 1);
  const auto folder_key = [&folder] {
    const FileIdentity identity = identity_of_path(folder);
    return identity.known
               ? "folder " + std::to_string(identity.device) + " " + std::to_string(identity.inode)
               : "path " + folder;
  };
  std::string where;
  if (folders) {
    auto known = folders->find(folder);
    if (known == folders->end()) known = folders->emplace(folder, folder_key()).first;
    where = known->second;
  } else {
    where = folder_key();
  }
  return std::hash<std::string>{}(where + '\0' + name_key(name));
}

}  // namespace phasefit::driver
