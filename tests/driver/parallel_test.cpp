// Runs the built phasefit with one worker and with several on the same
// working directories and checks that nothing observable differs: the
// whole tree of files afterwards, standard output and error, the exit
// status, and when an operator pause appears.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/tool_runner.hpp"

namespace {

using namespace phasefit::testing;

class Parallel : public ToolTest {
 protected:
  Parallel() : ToolTest("par") {}

  // Builds the same working directory twice, runs it with -j 1 and with
  // each other worker count, and expects identical outcomes and trees.
  // Returns the one-worker outcome and tree for further checks.
  std::pair<Outcome, Tree> expect_same_as_one_worker(
      const std::function<void(const fs::path&)>& prepare, const std::vector<std::string>& args,
      const std::vector<std::string>& worker_counts = {"4"}, const std::string& input = "") {
    const fs::path one = work("j1");
    fs::remove_all(one);
    prepare(one);
    std::vector<std::string> with_one = {"-j", "1"};
    with_one.insert(with_one.end(), args.begin(), args.end());
    const Outcome outcome = run(one, with_one, input);
    const Tree files = tree_of(one);
    for (const std::string& count : worker_counts) {
      SCOPED_TRACE("-j " + count);
      const fs::path many = work("j" + count);
      fs::remove_all(many);
      prepare(many);
      std::vector<std::string> with_many = {"-j", count};
      with_many.insert(with_many.end(), args.begin(), args.end());
      EXPECT_EQ(run(many, with_many, input), outcome);
      EXPECT_EQ(tree_of(many), files);
    }
    return {outcome, files};
  }
};

const char* const kLabels[] = {"0p55", "0p87", "1p60"};
const char* const kSizes[] = {"005", "010", "020"};

// Tables with a different g for every name, so that any mix-up of jobs
// changes some file.
void batch_tables(const fs::path& dir, const std::string& skip = "") {
  double g = 0.5;
  for (const char* label : kLabels) {
    for (const char* size : kSizes) {
      const std::string name = std::string("WVN_") + label + "_DE_" + size + ".dat";
      g += 0.02;
      if (name != skip) write_file(dir / "pf" / name, hg_table_text(g));
    }
  }
  fs::create_directories(dir / "coef");
}

// Two wavelengths with the label 0p87, two reference wavelengths (0.55 and
// 0.551) and a size listed twice: 5 points x 4 sizes = 20 jobs.
void duplicate_batch(const fs::path& dir) {
  write_file(dir / "INPUT/input_re.dat", "4\n5\n10\n5\n20\n");
  write_file(dir / "INPUT/wl.dat", "5\n0.55\n0.87\n0.551\n0.874\n1.6\n");
  batch_tables(dir);
}

TEST_F(Parallel, ABatchWithDuplicatesGivesTheSameTreeForEveryWorkerCount) {
  const auto [outcome, files] =
      expect_same_as_one_worker(duplicate_batch, {"pf/", "coef/", "0", "8"}, {"4", "3", "2"});
  EXPECT_EQ(outcome, (Outcome{0, "           8\n", ""}));
  int coefficient_files = 0;
  for (const auto& [name, content] : files)
    if (name.starts_with("coef/")) {
      ++coefficient_files;
      EXPECT_EQ(record_count(content), 19) << name;
    }
  EXPECT_EQ(coefficient_files, 9 + 3);
  EXPECT_EQ(files.at("coef/WN_REF_RE_010.dat"), files.at("coef/WVN_0p55_DE_010.dat"));
}

TEST_F(Parallel, AFailureAtOneJobLeavesTheSameFilesAndDiagnostic) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;  // applied after duplicate_batch
    int channel;
  };
  const Case cases[] = {
      {"a missing table in the middle",
       [](const fs::path& dir) { fs::remove(dir / "pf/WVN_0p87_DE_010.dat"); }, 8},
      {"a table of 497 rows",
       [](const fs::path& dir) {
         write_file(dir / "pf/WVN_0p87_DE_010.dat", hg_table_text(0.7, 497));
       },
       8},
      {"a bad spectral entry after two points",
       [](const fs::path& dir) {
         write_file(dir / "INPUT/wl.dat", "5\n0.55\n0.87\nbad\n0.874\n1.6\n");
       },
       112},
      {"a spectral list shorter than its count",
       [](const fs::path& dir) { write_file(dir / "INPUT/wl.dat", "5\n0.55\n0.87\n"); }, 112},
      {"a coefficient file that cannot be created",
       [](const fs::path& dir) { fs::create_directories(dir / "coef/WVN_0p87_DE_010.dat"); }, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto prepare = [&](const fs::path& dir) {
      duplicate_batch(dir);
      c.change(dir);
      // A file job k would rewrite, and files of later jobs.
      if (!fs::exists(dir / "coef/WVN_0p87_DE_010.dat"))
        write_file(dir / "coef/WVN_0p87_DE_010.dat", "old content\n");
      write_file(dir / "coef/WVN_0p87_DE_020.dat", "sentinel 1\n");
      write_file(dir / "coef/WVN_1p60_DE_005.dat", "sentinel 2\n");
    };
    const auto [outcome, files] =
        expect_same_as_one_worker(prepare, {"pf/", "coef/", "0", "8"}, {"4", "3"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("channel " + std::to_string(c.channel)), std::string::npos)
        << outcome.err;
    EXPECT_EQ(files.at("coef/WVN_1p60_DE_005.dat"), "sentinel 2\n");
    EXPECT_EQ(record_count(files.at("coef/WVN_0p55_DE_020.dat")), 19);
  }
}

TEST_F(Parallel, AWriteOverAFileTheRunReadsRefusesTheRunBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;  // applied after duplicate_batch
    std::vector<std::string> options;
    std::string diagnostic;  // names the file and both of its roles
  };
  const Case cases[] = {
      {"a reference copy that is its own job's table",
       [](const fs::path& dir) {
         fs::create_symlink("../pf/WVN_0p55_DE_005.dat", dir / "coef/WN_REF_RE_005.dat");
       },
       {},
       "channel 9, file 'coef/WN_REF_RE_005.dat': the reference copy of job WVN_0p55_DE_005.dat "
       "is also the table of job WVN_0p55_DE_005.dat (channel 8, file "
       "'pf/WVN_0p55_DE_005.dat')"},
      {"a coefficient file that is the size list",
       [](const fs::path& dir) {
         fs::create_symlink("../INPUT/input_re.dat", dir / "coef/WVN_1p60_DE_020.dat");
       },
       {},
       "the coefficient file of job WVN_1p60_DE_020.dat is also the size list (channel 111"},
      {"a coefficient file that is a later job's table (a hard link)",
       [](const fs::path& dir) {
         fs::create_hard_link(dir / "pf/WVN_1p60_DE_020.dat", dir / "coef/WVN_0p55_DE_010.dat");
       },
       {},
       "the coefficient file of job WVN_0p55_DE_010.dat is also the table of job "
       "WVN_1p60_DE_020.dat"},
      {"a report that is the spectral list",
       [](const fs::path&) {},
       {"--report", "INPUT/wl.dat"},
       "file 'INPUT/wl.dat': the report (--report) is also the spectral list (channel 112"},
      {"a report that a job would write",
       [](const fs::path&) {},
       {"--report=coef/WVN_1p60_DE_020.dat"},
       "the report (--report) is also the coefficient file of job WVN_1p60_DE_020.dat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto prepare = [&](const fs::path& dir) {
      duplicate_batch(dir);
      c.change(dir);
    };
    prepare(work("before"));
    const Tree before = tree_of(work("before"));
    for (const bool keep_going : {false, true}) {
      std::vector<std::string> args = c.options;
      if (keep_going) args.push_back("-k");
      for (const char* arg : {"pf/", "coef/", "0", "8"}) args.push_back(arg);
      const auto [outcome, files] = expect_same_as_one_worker(prepare, args);
      EXPECT_EQ(outcome.status, 2);
      EXPECT_EQ(outcome.out, "           8\n");
      EXPECT_EQ(record_count(outcome.err), 1) << outcome.err;
      EXPECT_NE(outcome.err.find(c.diagnostic), std::string::npos) << outcome.err;
      EXPECT_EQ(files, before);
    }
    fs::remove_all(work("before"));
  }
}

TEST_F(Parallel, ALongPathAtALaterBandStopsAfterTheEarlierBandsAreWritten) {
  // 120 + 14 characters fit; the second band's 41-character names do not.
  const std::string output_dir = std::string(119, 'c') + "/";
  const auto prepare = [&](const fs::path& dir) {
    write_file(dir / "INPUT/input_re.dat", "2\n5\n10\n");
    write_file(dir / "INPUT/input_band.dat", "3\nB07\nABCDEFGHIJABCDEFGHIJABCDEFGHIJ\nB08\n");
    for (const char* band : {"B07", "ABCDEFGHIJABCDEFGHIJABCDEFGHIJ", "B08"})
      for (const char* size : {"005", "010"})
        write_file(dir / "pf" / (std::string(band) + "_DE_" + size + ".dat"), hg_table_text(0.7));
    fs::create_directories(dir / output_dir);
    write_file(dir / output_dir / "B08_DE_005.dat", "sentinel\n");
  };
  const auto [outcome, files] = expect_same_as_one_worker(prepare, {"pf/", output_dir, "1", "8"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find("channel 9"), std::string::npos) << outcome.err;
  EXPECT_EQ(record_count(files.at(output_dir + "B07_DE_010.dat")), 19);
  EXPECT_EQ(files.at(output_dir + "B08_DE_005.dat"), "sentinel\n");
}

TEST_F(Parallel, ATableThatTheRunWritesIsReadOnlyAfterItIsWritten) {
  // The second job's table is a link to the first job's coefficient file,
  // existing before the run or created by it; the run must behave as if
  // the jobs ran one after another.
  for (const bool existed : {false, true}) {
    SCOPED_TRACE(existed ? "output existed" : "output created by the run");
    const auto prepare = [&](const fs::path& dir) {
      write_file(dir / "INPUT/input_re.dat", "3\n5\n10\n20\n");
      write_file(dir / "INPUT/wl.dat", "1\n0.87\n");
      write_file(dir / "pf/WVN_0p87_DE_005.dat", hg_table_text(0.7));
      write_file(dir / "pf/WVN_0p87_DE_020.dat", hg_table_text(0.6));
      fs::create_directories(dir / "coef");
      if (existed) write_file(dir / "coef/WVN_0p87_DE_005.dat", hg_table_text(0.5));
      fs::create_symlink("../coef/WVN_0p87_DE_005.dat", dir / "pf/WVN_0p87_DE_010.dat");
    };
    const auto [outcome, files] = expect_same_as_one_worker(prepare, {"pf/", "coef/", "0", "8"});
    // A coefficient file is no table: the second job stops the run.
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(files.count("coef/WVN_0p87_DE_020.dat"), 0u);
  }
}

TEST_F(Parallel, ATableThatIsItsOwnJobsOutputFallsBackToTheSameDiagnostic) {
  const auto prepare = [](const fs::path& dir) {
    write_file(dir / "INPUT/input_re.dat", "2\n5\n10\n");
    write_file(dir / "INPUT/wl.dat", "1\n0.87\n");
    write_file(dir / "pf/WVN_0p87_DE_005.dat", hg_table_text(0.7));
    write_file(dir / "pf/WVN_0p87_DE_010.dat", hg_table_text(0.6));
  };
  const auto [outcome, files] = expect_same_as_one_worker(prepare, {"pf/", "pf/./", "0", "8"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find("already open"), std::string::npos) << outcome.err;
  EXPECT_EQ(files.at("pf/WVN_0p87_DE_005.dat"), hg_table_text(0.7));
}

const std::string kPause =
    "phasefit: PAUSE: no convergence in svdcmp\n"
    "phasefit: type 'go' and press Enter to resume; anything else ends the run\n";

TEST_F(Parallel, AnOperatorPauseResumedOrEndedActsAsInTheOneWorkerRun) {
  {
    SCOPED_TRACE("resumed");
    const auto [outcome, files] =
        expect_same_as_one_worker(pause_batch, {"pf/", "coef/", "0", "300"}, {"4"}, "go\n");
    EXPECT_EQ(outcome, (Outcome{0, "         300\n", kPause}));
    for (const char* size : kSizes)
      EXPECT_EQ(record_count(files.at(std::string("coef/WVN_0p87_DE_") + size + ".dat")), 311);
  }
  {
    SCOPED_TRACE("ended by the end of the input");
    const auto [outcome, files] =
        expect_same_as_one_worker(pause_batch, {"pf/", "coef/", "0", "300"}, {"4"}, "");
    EXPECT_EQ(outcome.status, 3);
    EXPECT_TRUE(outcome.err.starts_with(kPause)) << outcome.err;
    EXPECT_EQ(record_count(files.at("coef/WVN_0p87_DE_005.dat")), 311);
    EXPECT_EQ(files.at("coef/WVN_0p87_DE_010.dat"), "");
    EXPECT_EQ(files.at("coef/WVN_0p87_DE_020.dat"), "sentinel\n");
  }
}

TEST_F(Parallel, ThePauseAppearsOnlyOnceEveryEarlierJobIsWritten) {
  const fs::path dir = work("interactive");
  pause_batch(dir);
  ToolRun child(dir, {"-j", "4", "pf/", "coef/", "0", "300"}, with_input(""));
  ASSERT_EQ(child.read_err_until(kPause), kPause);
  // While the operator is asked: the job before is complete, the pausing
  // job's file exists and is empty, the later job's file is untouched.
  EXPECT_EQ(record_count(read_file(dir / "coef/WVN_0p87_DE_005.dat")), 311);
  EXPECT_EQ(read_file(dir / "coef/WVN_0p87_DE_010.dat"), "");
  EXPECT_EQ(read_file(dir / "coef/WVN_0p87_DE_020.dat"), "sentinel\n");
  ASSERT_TRUE(child.send("go\n"));
  const Outcome outcome = child.wait();
  EXPECT_EQ(outcome, (Outcome{0, "         300\n", kPause}));
  EXPECT_EQ(record_count(read_file(dir / "coef/WVN_0p87_DE_020.dat")), 311);
}

// A spectral list that is a pipe (here standard input, through a link) is
// read only as the jobs reach its entries: its jobs, a failure at one of
// its entries and the files they leave are those of the list as a file,
// for every worker count; a sharded run, which must plan every job first,
// refuses it.
TEST_F(Parallel, ASpectralListThatIsAPipeIsReadAsTheJobsReachIt) {
  for (const char* list : {"5\n0.55\n0.87\n0.551\n0.874\n1.6\n", "5\n0.55\n0.87\nx\n1.6\n"}) {
    SCOPED_TRACE(list);
    const auto as_file = [&](const fs::path& dir) {
      duplicate_batch(dir);
      write_file(dir / "INPUT/wl.dat", list);
    };
    const auto [outcome, files] = expect_same_as_one_worker(as_file, {"pf/", "coef/", "0", "8"});
    const auto as_pipe = [](const fs::path& dir) {
      duplicate_batch(dir);
      fs::remove(dir / "INPUT/wl.dat");
      fs::create_symlink("/dev/stdin", dir / "INPUT/wl.dat");
    };
    const auto [piped, piped_files] =
        expect_same_as_one_worker(as_pipe, {"pf/", "coef/", "0", "8"}, {"4"}, list);
    EXPECT_EQ(piped, outcome);
    const auto written = [](const Tree& tree) {
      Tree coefficient_files;
      for (const auto& [name, content] : tree)
        if (name.starts_with("coef/")) coefficient_files.emplace(name, content);
      return coefficient_files;
    };
    EXPECT_FALSE(written(files).empty());
    EXPECT_TRUE(written(piped_files) == written(files));
  }
  const fs::path dir = work("shard");
  duplicate_batch(dir);
  fs::remove(dir / "INPUT/wl.dat");
  fs::create_symlink("/dev/stdin", dir / "INPUT/wl.dat");
  const Outcome sharded = run(dir, {"--shard", "1/2", "pf/", "coef/", "0", "8"}, "1\n0.87\n");
  EXPECT_EQ(sharded.status, 2);
  EXPECT_NE(sharded.err.find("channel 112"), std::string::npos) << sharded.err;
  EXPECT_TRUE(fs::is_empty(dir / "coef"));
}

TEST_F(Parallel, WorkerCountOptionsComeBeforeThePositionalArguments) {
  const fs::path dir = work("options");
  write_file(dir / "INPUT/input_re.dat", "2\n5\n10\n");
  write_file(dir / "INPUT/wl.dat", "1\n0.87\n");
  write_file(dir / "pf/WVN_0p87_DE_005.dat", hg_table_text(0.7));
  write_file(dir / "pf/WVN_0p87_DE_010.dat", hg_table_text(0.6));
  const std::vector<std::vector<std::string>> accepted = {
      {"-j", "3"}, {"-j3"}, {"--jobs", "2"}, {"--jobs=2"}, {"-j", "1", "--jobs=2"}, {"--"}, {}};
  std::optional<Tree> first;
  for (const auto& options : accepted) {
    std::vector<std::string> args = options;
    for (const char* a : {"pf/", "coef/", "0", "8"}) args.push_back(a);
    SCOPED_TRACE(::testing::PrintToString(args));
    fs::remove_all(dir / "coef");
    fs::create_directories(dir / "coef");
    EXPECT_EQ(run(dir, args), (Outcome{0, "           8\n", ""}));
    const Tree files = tree_of(dir / "coef");
    EXPECT_EQ(files.size(), 2u);
    if (!first) first = files;
    EXPECT_EQ(files, *first);
  }
  const std::vector<std::vector<std::string>> refused = {
      {"-j", "0", "pf/", "coef/", "0", "8"},      {"-j", "x", "pf/", "coef/", "0", "8"},
      {"-j", "", "pf/", "coef/", "0", "8"},       {"--jobs=", "pf/", "coef/", "0", "8"},
      {"-j", "1025", "pf/", "coef/", "0", "8"},   {"-j2x", "pf/", "coef/", "0", "8"},
      {"--jobs", "-3", "pf/", "coef/", "0", "8"}, {"-j"},
  };
  for (const auto& args : refused) {
    SCOPED_TRACE(::testing::PrintToString(args));
    fs::remove_all(dir / "coef");
    const Outcome outcome = run(dir, args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find("worker count"), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
    EXPECT_FALSE(fs::exists(dir / "coef"));
  }
}

}  // namespace
