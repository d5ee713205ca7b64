// Golden files: the complete coefficient files of one bundled example table
// at a low and at the highest order, as the tool wrote them when they were
// checked by hand (coefficients decaying from 1, the first moment equal to
// the table's asymmetry factor, 0 < ft < 1, the last coefficient 0). Any
// later change of a single rounding anywhere in the chain shows up here.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class Golden : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/phasefit-golden-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    work_ = pattern;
    fs::create_directories(work_ / "INPUT");
    fs::create_directories(work_ / "out");
    std::ofstream(work_ / "INPUT/input_re.dat") << "1\n10\n";
    std::ofstream(work_ / "INPUT/wl.dat") << "1\n0.55\n";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }
  fs::path work_;
};

TEST_P(Golden, ExampleTableGivesTheStoredCoefficientFile) {
  const int order = GetParam();
  const fs::path tables = fs::path(PHASEFIT_TEST_DATA) / "../../examples/tables/";
  const std::string command = "cd '" + work_.string() + "' && '" PHASEFIT_EXECUTABLE "' '" +
                              tables.string() + "' out/ 0 " + std::to_string(order) +
                              " </dev/null >stdout 2>stderr";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_file(work_ / "stderr");

  const std::string want = read_file(fs::path(PHASEFIT_TEST_DATA) / "golden" /
                                     ("WVN_0p55_DE_010_N" + std::to_string(order) + ".dat"));
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(read_file(work_ / "out/WVN_0p55_DE_010.dat"), want);
  EXPECT_EQ(read_file(work_ / "out/WN_REF_RE_010.dat"), want);
  EXPECT_EQ(read_file(work_ / "stderr"), "");
}

INSTANTIATE_TEST_SUITE_P(Orders, Golden, ::testing::Values(16, 300));

}  // namespace
