#include "driver/file_registry.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "driver/run_plan.hpp"
#include "driver/test_files.hpp"

namespace phasefit::driver {
namespace {

namespace fs = std::filesystem;

class ReadAheadGuardTest : public phasefit::testing::TempDirTest<> {
 public:
  ReadAheadGuardTest() : TempDirTest("guard") {}
  void SetUp() override {
    TempDirTest::SetUp();
    if (HasFatalFailure()) return;
    fs::create_directories(root_ / "pf");
    fs::create_directories(root_ / "coef");
  }
  std::string at(const std::string& relative) const { return (root_ / relative).string(); }
  void touch(const std::string& relative) const { std::ofstream(root_ / relative) << "x\n"; }

  using TempDirTest::root_;  // public: the cases prepare files through it
};

// Each case adds its jobs in order; `expected` holds the guard's answer for
// each of them.
struct GuardCase {
  const char* what;
  std::function<void(ReadAheadGuardTest&)> prepare;
  std::vector<Job> jobs;  // paths relative to the test folder
  std::vector<bool> expected;
  bool outputs_written_between = false;  // each job's output exists before the next is added
};

TEST_F(ReadAheadGuardTest, TablesThatTheRunCouldHaveWrittenAreFound) {
  const auto job = [](std::string in, std::string out, std::optional<std::string> ref = {}) {
    return Job{std::move(in), std::move(out), std::move(ref)};
  };
  const std::vector<GuardCase> cases = {
      {"separate folders, tables present",
       [](ReadAheadGuardTest& t) {
         t.touch("pf/A.dat");
         t.touch("pf/B.dat");
       },
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "coef/B.dat")},
       {false, false}},
      {"a missing table in a folder the run does not write to",
       [](ReadAheadGuardTest&) {},
       {job("pf/A.dat", "coef/A.dat")},
       {false}},
      {"the job's own file under another spelling",
       [](ReadAheadGuardTest& t) { t.touch("pf/A.dat"); },
       {job("pf/A.dat", "pf/./A.dat")},
       {true}},
      {"an earlier job's new file through a linked folder",
       [](ReadAheadGuardTest& t) {
         t.touch("pf/A.dat");
         fs::create_directory_symlink(t.root_ / "coef", t.root_ / "link");
       },
       {job("pf/A.dat", "coef/A.dat"), job("link/A.dat", "coef/B.dat")},
       {false, true}},
      {"an earlier job's existing file under another name (a hard link)",
       [](ReadAheadGuardTest& t) {
         t.touch("pf/A.dat");
         t.touch("coef/A.dat");
         fs::create_hard_link(t.root_ / "coef/A.dat", t.root_ / "pf/B.dat");
       },
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "coef/B.dat")},
       {false, true}},
      {"an earlier job's reference copy",
       [](ReadAheadGuardTest& t) {
         t.touch("pf/A.dat");
         fs::create_symlink(t.root_ / "coef/REF.dat", t.root_ / "pf/B.dat");
         t.touch("coef/REF.dat");
       },
       {job("pf/A.dat", "coef/A.dat", "coef/REF.dat"), job("pf/B.dat", "coef/B.dat")},
       {false, true}},
      {"a dangling link as the table",
       [](ReadAheadGuardTest& t) { fs::create_symlink(t.root_ / "nowhere", t.root_ / "pf/A.dat"); },
       {job("pf/A.dat", "coef/A.dat")},
       {true}},
      {"a dangling link as an output",
       [](ReadAheadGuardTest& t) {
         t.touch("pf/A.dat");
         fs::create_symlink(t.root_ / "nowhere", t.root_ / "coef/A.dat");
       },
       {job("pf/A.dat", "coef/A.dat")},
       {true}},
      {"a pipe as the table",
       [](ReadAheadGuardTest& t) { ASSERT_EQ(::mkfifo(t.at("pf/A.dat").c_str(), 0600), 0); },
       {job("pf/A.dat", "coef/A.dat")},
       {true}},
      {"a missing table whose name differs only in case from an earlier output",
       [](ReadAheadGuardTest& t) { t.touch("pf/A.dat"); },
       {job("pf/A.dat", "pf/b.dat"), job("pf/B.dat", "coef/B.dat")},
       {false, true}},
      {"a table created by an earlier job before this job is added",
       [](ReadAheadGuardTest& t) { t.touch("pf/A.dat"); },
       {job("pf/A.dat", "pf/B.dat"), job("pf/B.dat", "coef/B.dat")},
       {false, true},
       true},
  };
  for (const GuardCase& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root_);
    fs::create_directories(root_ / "pf");
    fs::create_directories(root_ / "coef");
    c.prepare(*this);
    ReadAheadGuard guard;
    for (std::size_t i = 0; i < c.jobs.size(); ++i) {
      Job added = c.jobs[i];
      added.input_path = at(added.input_path);
      added.output_path = at(added.output_path);
      if (added.reference_path) added.reference_path = at(*added.reference_path);
      EXPECT_EQ(guard.table_may_be_written_output(added), c.expected[i]) << "job " << i;
      if (c.outputs_written_between) std::ofstream(added.output_path) << "written\n";
    }
  }
}

}  // namespace
}  // namespace phasefit::driver
