// Sharding: the shard of a Slurm array task, and runs of the built tool
// split into M shards, whose files together must be one run's, with no file
// written by two shards.

#include "driver/shards.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driver/tool_runner.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

using namespace phasefit::testing;

TEST(ShardOption, KOfMAndTheSlurmArrayTaskOrAClearRefusal) {
  EXPECT_EQ(parse_shard("2/7"), (Shard{2, 7}));
  for (const char* bad : {"0/3", "4/3", "3", "1/", "/2", "a/b", "1/2/3", "-1/2", "1/2000000"})
    EXPECT_FALSE(parse_shard(bad)) << bad;

  struct Case {
    const char* what;
    std::map<std::string, std::string> env;  // ID, MIN, STEP, COUNT
    std::optional<Shard> want;               // nothing: refused
  };
  const auto array = [](const char* id, const char* min, const char* step, const char* count) {
    return std::map<std::string, std::string>{{"SLURM_ARRAY_TASK_ID", id},
                                              {"SLURM_ARRAY_TASK_MIN", min},
                                              {"SLURM_ARRAY_TASK_STEP", step},
                                              {"SLURM_ARRAY_TASK_COUNT", count}};
  };
  const Case cases[] = {
      {"first task of 0-3", array("0", "0", "1", "4"), Shard{1, 4}},
      {"task 7 of 5-8", array("7", "5", "1", "4"), Shard{3, 4}},
      // --array=0-9:3 gives the IDs 0, 3, 6, 9: the fourth of four.
      {"stepped array", array("9", "0", "3", "4"), Shard{4, 4}},
      {"an ID between the steps", array("4", "0", "3", "4"), std::nullopt},
      {"an ID beyond the count", array("4", "0", "1", "4"), std::nullopt},
      {"an ID below the minimum", array("1", "2", "1", "4"), std::nullopt},
      {"a count that is no number", array("1", "0", "1", "four"), std::nullopt},
      // ID - MIN wraps around in 64 bits.
      {"an ID and a minimum too far apart",
       array("9223372036854775807", "-9223372036854775807", "1", "4"), std::nullopt},
      {"outside an array task", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto lookup = [&](const char* name) -> const char* {
      const auto it = c.env.find(name);
      return it == c.env.end() ? nullptr : it->second.c_str();
    };
    if (c.want) {
      EXPECT_EQ(shard_from_slurm(lookup), *c.want);
    } else {
      try {
        shard_from_slurm(lookup);
        ADD_FAILURE() << "not refused";
      } catch (const textio::RunError& error) {
        EXPECT_NE(std::string(error.what()).find("SLURM_ARRAY_TASK"), std::string::npos)
            << error.what();
      }
    }
  }
}

TEST(ShardReportPath, TheShardIsMarkedBeforeTheLastExtensionOfTheName) {
  const std::pair<const char*, const char*> cases[] = {
      {"report.tsv", "report.2-of-14.tsv"},
      {"a.b/rep", "a.b/rep.2-of-14"},
      {".rep", ".rep.2-of-14"},
      {"..rep.tsv", "..rep.2-of-14.tsv"},
      {"r/fit.x.tsv", "r/fit.x.2-of-14.tsv"},
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(shard_report_path(path, {2, 14}), want);
}

class Sharding : public ToolTest {
 protected:
  Sharding() : ToolTest("shard") {}
};

// Two wavelengths labelled 0p87, three reference points (0.55, 0.549 and
// 0.551) of which 0.549 has its own tables, a size listed twice, and one
// table that pauses at N = 300: 6 points x 4 sizes = 24 jobs.
void shard_batch(const fs::path& dir) {
  write_file(dir / "INPUT/input_re.dat", "4\n5\n10\n5\n20\n");
  write_file(dir / "INPUT/wl.dat", "6\n0.55\n0.87\n0.549\n0.874\n1.6\n0.551\n");
  double g = 0.5;
  for (const char* label : {"0p55", "0p87", "1p60"})
    for (const char* size : {"005", "010", "020"})
      write_file(dir / "pf" / (std::string("WVN_") + label + "_DE_" + size + ".dat"),
                 hg_table_text(g += 0.02));
  write_file(dir / "pf/WVN_0p87_DE_010.dat", hg_table_text(0.85));
  write_file(dir / "coef/WVN_1p60_DE_020.dat", "old content\n");
}

// The files a run changed or created: `after` less what `before` holds.
Tree changes(const Tree& before, const Tree& after) {
  Tree changed;
  for (const auto& [name, content] : after) {
    const auto it = before.find(name);
    if (it == before.end() || it->second != content) changed[name] = content;
  }
  return changed;
}

TEST_F(Sharding, TheShardsTogetherWriteOneRunsFilesAndNoFileTwice) {
  const std::vector<std::string> args = {"--on-pause=go", "pf/", "coef/", "0", "300"};
  shard_batch(work("whole"));
  const Tree before = tree_of(work("whole"));
  std::vector<std::string> whole_args = {"--report", "report.tsv"};
  whole_args.insert(whole_args.end(), args.begin(), args.end());
  const Outcome whole = run(work("whole"), whole_args);
  ASSERT_EQ(whole.status, 0) << whole.err;
  Tree one_run = changes(before, tree_of(work("whole")));
  const std::string whole_report = one_run["report.tsv"];
  one_run.erase("report.tsv");

  for (const int m : {1, 2, 3, 7}) {
    Tree merged;
    std::vector<std::string> report_rows;
    for (int k = 1; k <= m; ++k) {
      const std::string shard = std::to_string(k) + "/" + std::to_string(m);
      SCOPED_TRACE("--shard " + shard);
      const fs::path dir = work("shard" + std::to_string(m) + "-" + std::to_string(k));
      shard_batch(dir);
      std::vector<std::string> shard_args = {"--shard", shard, "--report", "report.tsv"};
      shard_args.insert(shard_args.end(), args.begin(), args.end());
      const Outcome outcome = run(dir, shard_args);
      EXPECT_EQ(outcome.status, 0) << outcome.err;
      EXPECT_EQ(outcome.out, "         300\n");
      Tree written = changes(before, tree_of(dir));
      const std::string report =
          "report." + std::to_string(k) + "-of-" + std::to_string(m) + ".tsv";
      const std::vector<std::string> rows = lines_of(written[report]);
      ASSERT_FALSE(rows.empty());
      report_rows.insert(report_rows.end(), rows.begin() + 1, rows.end());
      written.erase(report);
      for (const auto& [name, content] : written)
        EXPECT_TRUE(merged.emplace(name, content).second) << name << " written by two shards";
    }
    SCOPED_TRACE("M = " + std::to_string(m));
    EXPECT_EQ(merged, one_run);
    // Merged on the job column, the shards' reports are the one run's.
    const auto job_of = [](const std::string& row) {
      return std::stoul(row.substr(row.rfind('\t') + 1));
    };
    std::sort(report_rows.begin(), report_rows.end(),
              [&](const auto& a, const auto& b) { return job_of(a) < job_of(b); });
    std::string merged_report = lines_of(whole_report).at(0) + "\n";
    for (const std::string& row : report_rows) merged_report += row + "\n";
    EXPECT_EQ(merged_report, whole_report);
  }
}

// Nine jobs (0.87, 1.6, 0.55 x 5, 10, 20) whose output names are linked:
// two are hard links of one old file, two are symbolic links to one file
// that does not exist yet, and the table of job 8 is a symbolic link to the
// coefficient file job 3 writes (which, being no table, fails the job once
// job 3 has written it).
void linked_batch(const fs::path& dir) {
  write_file(dir / "INPUT/input_re.dat", "3\n5\n10\n20\n");
  write_file(dir / "INPUT/wl.dat", "3\n0.87\n1.6\n0.55\n");
  double g = 0.5;
  for (const char* label : {"0p87", "1p60", "0p55"})
    for (const char* size : {"005", "010", "020"})
      write_file(dir / "pf" / (std::string("WVN_") + label + "_DE_" + size + ".dat"),
                 hg_table_text(g += 0.03));
  write_file(dir / "coef/WVN_0p87_DE_005.dat", "old\n");
  fs::create_hard_link(dir / "coef/WVN_0p87_DE_005.dat", dir / "coef/WVN_0p55_DE_020.dat");
  fs::create_symlink("same.dat", dir / "coef/WVN_0p87_DE_010.dat");
  fs::create_symlink("same.dat", dir / "coef/WVN_1p60_DE_020.dat");
  fs::remove(dir / "pf/WVN_0p55_DE_010.dat");
  fs::create_symlink("../coef/WVN_0p87_DE_020.dat", dir / "pf/WVN_0p55_DE_010.dat");
}

// Every shard must make the plan of the others, whatever they have written
// already: the shards run one after the other, in either order, or at once,
// and leave one run's files and, merged, its report.
TEST_F(Sharding, LinkedOutputsGiveOneRunWhateverTheOrderOfTheShards) {
  const std::vector<std::string> args = {"-k", "pf/", "coef/", "0", "16"};
  linked_batch(work("one"));
  std::vector<std::string> one_args = {"--report", "report.tsv"};
  one_args.insert(one_args.end(), args.begin(), args.end());
  const Outcome one = run(work("one"), one_args);
  ASSERT_EQ(one.status, 2) << one.err;
  ASSERT_NE(one.err.find("1 of 9 jobs failed"), std::string::npos) << one.err;
  Tree one_run = tree_of(work("one"));
  const std::string one_report = one_run["report.tsv"];
  one_run.erase("report.tsv");

  const auto shard_args = [&](int k) {
    std::vector<std::string> shard = {"--shard", std::to_string(k) + "/2", "--report",
                                      "report.tsv"};
    shard.insert(shard.end(), args.begin(), args.end());
    return shard;
  };
  for (const char* order : {"1 then 2", "2 then 1", "both at once"}) {
    SCOPED_TRACE(order);
    const fs::path dir = work(std::string("shards ") + order);
    linked_batch(dir);
    std::vector<Outcome> outcomes;
    if (order[0] == 'b') {
      ToolRun first(dir, shard_args(1));
      ToolRun second(dir, shard_args(2));
      outcomes = {first.wait(), second.wait()};
    } else {
      const int k = order[0] - '0';
      outcomes = {run(dir, shard_args(k)), run(dir, shard_args(3 - k))};
    }
    // The shard of job 8 fails it as the one run does; the other runs whole.
    EXPECT_EQ(outcomes[0].status + outcomes[1].status, 2) << outcomes[0].err << "\n"
                                                          << outcomes[1].err;
    Tree shards = tree_of(dir);
    std::vector<std::string> rows;
    for (const char* report : {"report.1-of-2.tsv", "report.2-of-2.tsv"}) {
      const std::vector<std::string> lines = lines_of(shards[report]);
      ASSERT_FALSE(lines.empty()) << report;
      rows.insert(rows.end(), lines.begin() + 1, lines.end());
      shards.erase(report);
    }
    EXPECT_EQ(shards, one_run);
    const auto job_of = [](const std::string& row) {
      return std::stoul(row.substr(row.rfind('\t') + 1));
    };
    std::sort(rows.begin(), rows.end(),
              [&](const auto& a, const auto& b) { return job_of(a) < job_of(b); });
    std::string merged = lines_of(one_report).at(0) + "\n";
    for (const std::string& row : rows) merged += row + "\n";
    EXPECT_EQ(merged, one_report);
  }
}

}  // namespace
}  // namespace phasefit::driver
