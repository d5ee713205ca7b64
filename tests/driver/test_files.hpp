#pragma once
// Files for the driver tests: scratch directories under /tmp, whole files
// read and written, generated Henyey-Greenstein tables and snapshots of a
// directory tree.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "henyey_greenstein.hpp"

namespace phasefit::testing {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const fs::path& path, const std::string& text) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The number of records (lines) in a file's content.
inline int record_count(const std::string& content) {
  return static_cast<int>(std::count(content.begin(), content.end(), '\n'));
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every file under `dir`, by its path relative to `dir`, with its content;
// a symbolic link shows its target instead ("-> target"). Empty when `dir`
// is not a directory.
using Tree = std::map<std::string, std::string>;
inline Tree tree_of(const fs::path& dir) {
  Tree tree;
  if (!fs::is_directory(dir)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(entry.path(), dir).string();
    if (entry.is_symlink())
      tree[name] = "-> " + fs::read_symlink(entry.path()).string();
    else if (entry.is_regular_file())
      tree[name] = read_file(entry.path());
  }
  return tree;
}

// A fresh directory /tmp/phasefit-<tag>-XXXXXX; empty when none could be made.
inline fs::path make_temp_dir(const std::string& tag) {
  std::string pattern = "/tmp/phasefit-" + tag + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

inline void remove_tree(const fs::path& dir) {
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

// A fixture with a fresh scratch directory `root_` for each test, removed
// with everything in it afterwards. A derived SetUp calls this one first
// and returns if it failed.
template <class Base = ::testing::Test>
class TempDirTest : public Base {
 protected:
  explicit TempDirTest(std::string tag) : tag_(std::move(tag)) {}
  void SetUp() override {
    root_ = make_temp_dir(tag_);
    ASSERT_FALSE(root_.empty()) << "mkdtemp failed";
  }
  void TearDown() override { remove_tree(root_); }

  fs::path root_;

 private:
  std::string tag_;
};

}  // namespace phasefit::testing
