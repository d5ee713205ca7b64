#include "driver/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/test_files.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

using phasefit::testing::read_file;
using phasefit::testing::TempDirTest;
using phasefit::testing::write_file;

class AtomicFileTest : public TempDirTest<> {
 protected:
  AtomicFileTest() : TempDirTest("atomic") {}
  void SetUp() override {
    TempDirTest::SetUp();
    dir_ = root_.string();
    path_ = dir_ + "/coef.dat";
  }

  std::string content() const { return read_file(path_); }
  void write(const std::string& text) const { write_file(path_, text); }

  // The names in the directory, sorted.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static mode_t permissions(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }

  std::string dir_;
  std::string path_;
};

TEST_F(AtomicFileTest, ANewFileIsCreatedEmptyAtOpen) {
  { AtomicFile file(path_, textio::kCoefficientChannel); }
  EXPECT_EQ(::access(path_.c_str(), F_OK), 0);
  EXPECT_EQ(content(), "");
}

TEST_F(AtomicFileTest, AnExistingFileKeepsItsContentUntilTheNewContentIsWritten) {
  const std::string old_content(5000, 'x');
  write(old_content);
  AtomicFile file(path_, textio::kCoefficientChannel);
  EXPECT_EQ(content(), old_content);
  file.replace_content("new\n");
  file.close();
  EXPECT_EQ(content(), "new\n");
}

TEST_F(AtomicFileTest, SameFileIsRecognisedUnderAnotherSpelling) {
  AtomicFile file(path_, textio::kCoefficientChannel);
  EXPECT_TRUE(identity_of_path(dir_ + "/./coef.dat").same_as(file.identity()));
  EXPECT_FALSE(identity_of_path(dir_ + "/other.dat").same_as(file.identity()));
}

TEST_F(AtomicFileTest, AnOpenThatFailsNamesTheChannelAndTheFile) {
  const std::string missing_dir = dir_ + "/missing/coef.dat";
  try {
    AtomicFile file(missing_dir, textio::kCoefficientChannel);
    FAIL() << "opened " << missing_dir;
  } catch (const textio::RunError& error) {
    EXPECT_EQ(error.channel(), textio::kCoefficientChannel);
    EXPECT_EQ(error.file(), missing_dir);
  }
}

TEST_F(AtomicFileTest, AReplacementLeavesNoTemporaryFileAndKeepsThePermissions) {
  struct Case {
    const char* what;
    bool existed;
    mode_t mode;  // of the existing file
  };
  const Case cases[] = {
      {"new file", false, 0},
      {"existing 0640", true, 0640},
      {"existing 0604", true, 0604},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(path_.c_str());
    if (c.existed) {
      write("old\n");
      ASSERT_EQ(::chmod(path_.c_str(), c.mode), 0);
    }
    const mode_t umask_now = ::umask(022);
    AtomicFile file(path_, textio::kCoefficientChannel);
    file.replace_content("new\n");
    file.close();
    ::umask(umask_now);
    EXPECT_EQ(content(), "new\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"coef.dat"});
    EXPECT_EQ(permissions(path_), c.existed ? c.mode : mode_t{0644});
  }
}

TEST_F(AtomicFileTest, ALinkStaysALinkAndItsDestinationIsReplaced) {
  const std::string real = dir_ + "/real.dat";
  for (const bool dangling : {false, true}) {
    SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
    ::unlink(real.c_str());
    ::unlink(path_.c_str());
    if (!dangling) std::ofstream(real) << "old\n";
    ASSERT_EQ(::symlink("real.dat", path_.c_str()), 0);
    AtomicFile file(path_, textio::kCoefficientChannel);
    file.replace_content("new\n");
    file.close();
    struct stat info {};
    ASSERT_EQ(::lstat(path_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(content(), "new\n");
    EXPECT_EQ(entries(), (std::vector<std::string>{"coef.dat", "real.dat"}));
  }
}

TEST_F(AtomicFileTest, ADeviceIsWrittenInPlaceNeverReplaced) {
  AtomicFile file("/dev/null", textio::kCoefficientChannel);
  file.replace_content("new\n");
  file.close();
  struct stat info {};
  ASSERT_EQ(::stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

// A write that fails part-way (here at a file-size limit, in a child
// process so the limit stays there) keeps the old file whole, leaves a new
// one empty, removes the temporary file and names the cause.
TEST_F(AtomicFileTest, AFailedWriteKeepsTheOldContentAndLeavesNoTemporaryFile) {
  const std::string old_content = "old content\n";
  const std::string new_content(10000, 'n');
  for (const bool existed : {false, true}) {
    for (const rlim_t limit : {rlim_t{0}, rlim_t{1}, rlim_t{4096}, rlim_t{9999}}) {
      SCOPED_TRACE((existed ? "existing file, limit " : "new file, limit ") +
                   std::to_string(limit));
      ::unlink(path_.c_str());
      if (existed) write(old_content);
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit fsize{limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &fsize) != 0) ::_exit(10);
        try {
          AtomicFile file(path_, textio::kCoefficientChannel);
          file.replace_content(new_content);
          file.close();
        } catch (const textio::RunError& error) {
          const std::string text = error.what();
          const bool named = error.channel() == textio::kCoefficientChannel &&
                             error.file() == path_ &&
                             text.find("write failed") != std::string::npos;
          ::_exit(named ? 2 : 11);
        }
        ::_exit(0);
      }
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 2);
      EXPECT_EQ(content(), existed ? old_content : "");
      EXPECT_EQ(entries(), std::vector<std::string>{"coef.dat"});
    }
  }
}

TEST_F(AtomicFileTest, ATemporaryFileThatCannotBeCreatedStopsWithTheTargetNamed) {
  // A directory that may not be written refuses the temporary file even
  // to a writable target; root writes everywhere, so this needs a user.
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
  write("old\n");
  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
  AtomicFile file(path_, textio::kCoefficientChannel);
  EXPECT_THROW(file.replace_content("new\n"), textio::RunError);
  ::chmod(dir_.c_str(), 0755);
  EXPECT_EQ(content(), "old\n");
}

}  // namespace
}  // namespace phasefit::driver
