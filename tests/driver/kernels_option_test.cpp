// --kernels=reference runs the slow reference SVD kernels; the whole output
// of a run must be the same bytes as with the fast ones, whatever the
// worker count. A bad value is refused before anything is written.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/tool_runner.hpp"

namespace {

using namespace phasefit::testing;

class KernelsOption : public TempDirTest<> {
 protected:
  KernelsOption() : TempDirTest("kernels") {}

  // Three sizes at two wavelengths with one table missing: the run fails
  // at that job, or skips it under -k.
  fs::path batch(const std::string& name) const {
    const fs::path dir = root_ / name;
    write_file(dir / "INPUT/input_re.dat", "3\n5\n10\n20\n");
    write_file(dir / "INPUT/wl.dat", "2\n0.55\n0.87\n");
    const double g[] = {0.3, 0.6, 0.85};
    const char* sizes[] = {"005", "010", "020"};
    for (int s = 0; s < 3; ++s) {
      write_file(dir / (std::string("pf/WVN_0p55_DE_") + sizes[s] + ".dat"), hg_table_text(g[s]));
      if (s != 1)
        write_file(dir / (std::string("pf/WVN_0p87_DE_") + sizes[s] + ".dat"),
                   hg_table_text(g[s] * 0.9));
    }
    fs::create_directories(dir / "coef");
    return dir;
  }
};

TEST_F(KernelsOption, ReferenceKernelsWriteTheSameTreeAsTheFastOnes) {
  const std::vector<std::vector<std::string>> variants = {
      {"-j", "1"},
      {"-j", "2"},
      {"-j", "1", "--kernels=reference"},
      {"--kernels", "reference", "-j2"},
      {"--kernels=fast", "-j", "2"},
  };
  for (const bool keep_going : {false, true}) {
    SCOPED_TRACE(keep_going ? "with -k" : "without -k");
    std::vector<Tree> trees;
    std::vector<Outcome> outcomes;
    for (std::size_t v = 0; v < variants.size(); ++v) {
      std::vector<std::string> args = variants[v];
      if (keep_going) args.push_back("-k");
      for (const char* a : {"--on-pause=go", "pf/", "coef/", "0", "64"}) args.emplace_back(a);
      const fs::path dir = batch((keep_going ? "k" : "s") + std::to_string(v));
      outcomes.push_back(run_tool(dir, args));
      trees.push_back(tree_of(dir));
    }
    // The batch itself must have produced coefficient files, and fail at
    // the missing table (or skip it under -k).
    ASSERT_EQ(outcomes[0].status, 2) << outcomes[0].err;
    EXPECT_TRUE(trees[0].contains("coef/WVN_0p55_DE_020.dat"));
    EXPECT_NE(trees[0]["coef/WVN_0p55_DE_005.dat"], "");
    EXPECT_EQ(trees[0].contains("coef/WVN_0p87_DE_020.dat"), keep_going);
    for (std::size_t v = 1; v < variants.size(); ++v) {
      SCOPED_TRACE(::testing::PrintToString(variants[v]));
      EXPECT_EQ(outcomes[v].status, outcomes[0].status);
      EXPECT_EQ(outcomes[v].out, outcomes[0].out);
      EXPECT_EQ(outcomes[v].err, outcomes[0].err);
      EXPECT_TRUE(trees[v] == trees[0]);
    }
  }
}

TEST_F(KernelsOption, ABadValueIsRefusedBeforeAnythingIsWritten) {
  for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
           {"--kernels=slow"}, {"--kernels="}, {"--kernels"}, {"--kernels", "Reference"}}) {
    SCOPED_TRACE(::testing::PrintToString(options));
    const fs::path dir = batch("bad");
    const Tree before = tree_of(dir);
    std::vector<std::string> args = options;
    for (const char* a : {"pf/", "coef/", "0", "16"}) args.emplace_back(a);
    const Outcome outcome = run_tool(dir, args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find("--kernels"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("see phasefit --help"), std::string::npos) << outcome.err;
    EXPECT_TRUE(tree_of(dir) == before);
    fs::remove_all(dir);
  }
}

TEST_F(KernelsOption, TheHelpDescribesIt) {
  const Outcome outcome = run_tool(root_, {"--help"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_NE(outcome.out.find("--kernels=fast|reference"), std::string::npos);
}

}  // namespace
