// The file registry's answers, from the files themselves: may a job write
// here, may its table be read ahead of the earlier jobs, and which jobs
// form one shard group, through links, hard links, other spellings, names
// that do not exist yet and names that differ only in case.

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
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

namespace fs = std::filesystem;

class FileRegistryTest : public phasefit::testing::TempDirTest<> {
 public:
  FileRegistryTest() : TempDirTest("registry") {}
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

// Each case adds its jobs in order to a ReadAheadGuard; `expected` holds
// its answer for each of them.
struct GuardCase {
  const char* what;
  std::function<void(FileRegistryTest&)> prepare;
  std::vector<Job> jobs;  // paths relative to the test folder
  std::vector<bool> expected;
  bool outputs_written_between = false;  // each job's output exists before the next is added
};

TEST_F(FileRegistryTest, ReadingAheadStopsAtTablesThatTheRunCouldHaveWritten) {
  const auto job = [](std::string in, std::string out, std::optional<std::string> ref = {}) {
    return Job{std::move(in), std::move(out), std::move(ref)};
  };
  const std::vector<GuardCase> cases = {
      {"separate folders, tables present",
       [](FileRegistryTest& t) {
         t.touch("pf/A.dat");
         t.touch("pf/B.dat");
       },
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "coef/B.dat")},
       {false, false}},
      {"a missing table in a folder the run does not write to",
       [](FileRegistryTest&) {},
       {job("pf/A.dat", "coef/A.dat")},
       {false}},
      {"the job's own file under another spelling",
       [](FileRegistryTest& t) { t.touch("pf/A.dat"); },
       {job("pf/A.dat", "pf/./A.dat")},
       {true}},
      {"an earlier job's new file through a linked folder",
       [](FileRegistryTest& t) {
         t.touch("pf/A.dat");
         fs::create_directory_symlink(t.root_ / "coef", t.root_ / "link");
       },
       {job("pf/A.dat", "coef/A.dat"), job("link/A.dat", "coef/B.dat")},
       {false, true}},
      {"an earlier job's existing file under another name (a hard link)",
       [](FileRegistryTest& t) {
         t.touch("pf/A.dat");
         t.touch("coef/A.dat");
         fs::create_hard_link(t.root_ / "coef/A.dat", t.root_ / "pf/B.dat");
       },
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "coef/B.dat")},
       {false, true}},
      {"an earlier job's reference copy",
       [](FileRegistryTest& t) {
         t.touch("pf/A.dat");
         fs::create_symlink(t.root_ / "coef/REF.dat", t.root_ / "pf/B.dat");
         t.touch("coef/REF.dat");
       },
       {job("pf/A.dat", "coef/A.dat", "coef/REF.dat"), job("pf/B.dat", "coef/B.dat")},
       {false, true}},
      {"a dangling link as the table",
       [](FileRegistryTest& t) { fs::create_symlink(t.root_ / "nowhere", t.root_ / "pf/A.dat"); },
       {job("pf/A.dat", "coef/A.dat")},
       {true}},
      {"a dangling link as an output",
       [](FileRegistryTest& t) {
         t.touch("pf/A.dat");
         fs::create_symlink(t.root_ / "nowhere", t.root_ / "coef/A.dat");
       },
       {job("pf/A.dat", "coef/A.dat")},
       {true}},
      {"a pipe as the table",
       [](FileRegistryTest& t) { ASSERT_EQ(::mkfifo(t.at("pf/A.dat").c_str(), 0600), 0); },
       {job("pf/A.dat", "coef/A.dat")},
       {true}},
      {"a missing table whose name differs only in case from an earlier output",
       [](FileRegistryTest& t) { t.touch("pf/A.dat"); },
       {job("pf/A.dat", "pf/b.dat"), job("pf/B.dat", "coef/B.dat")},
       {false, true}},
      {"a table created by an earlier job before this job is added",
       [](FileRegistryTest& t) { t.touch("pf/A.dat"); },
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

// The write check and the shard groups of one case: the jobs are added in
// order (with their groups and `elsewhere`) to a registry that holds the
// run lists and expects the report, and `refused` is the index of the job
// whose add is refused (none: -1); `groups` are the shard groups.
struct RegistryCase {
  const char* what;
  std::function<void(FileRegistryTest&)> prepare;
  std::vector<Job> jobs;  // paths relative to the test folder
  int refused;
  std::vector<std::uint32_t> groups;
  bool elsewhere = false;  // every job is run by another shard
  const char* report = "coef/report.tsv";
};

TEST_F(FileRegistryTest, WritesAndShardGroupsSeeLinksSpellingsCaseAndNamesNotYetThere) {
  const auto job = [](std::string in, std::string out, std::optional<std::string> ref = {}) {
    return Job{std::move(in), std::move(out), std::move(ref)};
  };
  const auto tables = [](FileRegistryTest& t) {
    t.touch("pf/A.dat");
    t.touch("pf/B.dat");
  };
  const std::vector<RegistryCase> cases = {
      {"separate folders",
       tables,
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "coef/B.dat")},
       -1,
       {0, 1}},
      {"an output that is an earlier table under another spelling",
       tables,
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "pf/./A.dat")},
       1,
       {0, 0}},
      {"an output that is an earlier table through a hard link (no group: names differ)",
       [&](FileRegistryTest& t) {
         tables(t);
         fs::create_hard_link(t.root_ / "pf/A.dat", t.root_ / "coef/B.dat");
       },
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "coef/B.dat")},
       1,
       {0, 1}},
      {"an existing output that is a later job's table",
       [&](FileRegistryTest& t) {
         tables(t);
         t.touch("coef/A.dat");
       },
       {job("pf/A.dat", "coef/A.dat"), job("coef/A.dat", "coef/B.dat")},
       1,
       {0, 0}},
      {"the same, both jobs run by another shard",
       [&](FileRegistryTest& t) {
         tables(t);
         t.touch("coef/A.dat");
       },
       {job("pf/A.dat", "coef/A.dat"), job("coef/A.dat", "coef/B.dat")},
       -1,
       {0, 0},
       true},
      {"a run list as an output",
       tables,
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "INPUT/../INPUT/list.dat")},
       1,
       {0, 1}},
      {"a table that is its own output, left to the job",
       tables,
       {job("pf/A.dat", "pf/A.dat")},
       -1,
       {0}},
      {"a table linked to an earlier output not written yet",
       [&](FileRegistryTest& t) {
         tables(t);
         fs::create_symlink(t.root_ / "coef/A.dat", t.root_ / "pf/C.dat");
       },
       {job("pf/A.dat", "coef/A.dat"), job("pf/C.dat", "coef/C.dat")},
       -1,
       {0, 0}},
      {"outputs one name through a linked folder",
       [&](FileRegistryTest& t) {
         tables(t);
         fs::create_directory_symlink(t.root_ / "coef", t.root_ / "link");
       },
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "link/A.dat")},
       -1,
       {0, 0}},
      {"outputs whose names differ only in case",
       tables,
       {job("pf/A.dat", "coef/X.dat"), job("pf/B.dat", "coef/x.dat")},
       -1,
       {0, 0}},
      {"a reference copy that is a later job's output",
       tables,
       {job("pf/A.dat", "coef/A.dat", "coef/REF.dat"), job("pf/B.dat", "coef/ref.dat")},
       -1,
       {0, 0}},
      {"an output named as the report, in another case, before either exists",
       tables,
       {job("pf/A.dat", "coef/A.dat"), job("pf/B.dat", "coef/Report.tsv")},
       1,
       {0, 1}},
      {"an existing table that is the report",
       [&](FileRegistryTest& t) {
         tables(t);
         t.touch("coef/report.tsv");
       },
       {job("pf/A.dat", "coef/A.dat"), job("coef/report.tsv", "coef/B.dat")},
       1,
       {0, 1}},
  };
  for (const RegistryCase& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root_);
    for (const char* folder : {"pf", "coef", "INPUT"}) fs::create_directories(root_ / folder);
    touch("INPUT/list.dat");
    c.prepare(*this);
    std::vector<Job> jobs = c.jobs;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      jobs[i].input_path = at(jobs[i].input_path);
      jobs[i].output_path = at(jobs[i].output_path);
      if (jobs[i].reference_path) jobs[i].reference_path = at(*jobs[i].reference_path);
      jobs[i].name = "job" + std::to_string(i);
      jobs[i].index = i + 1;
    }
    EXPECT_EQ(shard_groups(jobs), c.groups);
    FileRegistry files(true);
    files.hold_spectral_list(identity_of_path(at("INPUT/list.dat")), at("INPUT/list.dat"));
    files.expect_report(at(c.report));
    int refused = -1;
    for (std::size_t i = 0; i < jobs.size() && refused < 0; ++i) {
      try {
        files.add_job(jobs[i], c.groups[i], c.elsewhere);
      } catch (const textio::RunError& error) {
        refused = static_cast<int>(i);
        EXPECT_NE(std::string(error.what()).find("job" + std::to_string(i)), std::string::npos)
            << error.what();
      }
    }
    EXPECT_EQ(refused, c.refused);
  }
}

}  // namespace
}  // namespace phasefit::driver
