// Runs the built phasefit in a fresh working directory per test and checks
// the exit status, the standard output and error, and exactly which files
// exist afterwards with what content.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driver/tool_runner.hpp"

namespace {

using namespace phasefit::testing;

// A forward-peaked Henyey-Greenstein table of `rows` rows in degrees,
// normalised so that half its integral over the cosine is 1.
std::string table_text(int rows = 498) { return hg_table_text(0.7, rows); }

class EndToEnd : public TempDirTest<> {
 protected:
  EndToEnd() : TempDirTest("e2e") {}
  void SetUp() override {
    TempDirTest::SetUp();
    if (HasFatalFailure()) return;
    work_ = root_ / "work";
    fs::create_directories(work_);
  }

  // Runs phasefit in the working directory with standard input from
  // /dev/null, so an operator pause can never wait. `file_size_limit`
  // lowers RLIMIT_FSIZE in the child.
  Outcome run(const std::vector<std::string>& args, std::optional<rlim_t> file_size_limit = {}) {
    return run_tool(work_, args, with_file_size_limit(file_size_limit));
  }

  // The run lists: sizes, and wavelengths (mode 0) or band names (mode 1).
  void sizes(const std::string& text) { write_file(work_ / "INPUT/input_re.dat", text); }
  void wavelengths(const std::string& text) { write_file(work_ / "INPUT/wl.dat", text); }
  void bands(const std::string& text) { write_file(work_ / "INPUT/input_band.dat", text); }
  void table(const std::string& name, const std::string& text = table_text()) {
    write_file(work_ / "pf" / name, text);
  }

  // Every regular file under `dir` (relative to the working directory) with
  // its content.
  std::map<std::string, std::string> files_in(const std::string& dir) const {
    std::map<std::string, std::string> files;
    if (!fs::exists(work_ / dir)) return files;
    for (const auto& entry : fs::directory_iterator(work_ / dir))
      if (entry.is_regular_file())
        files[entry.path().filename().string()] = read_file(entry.path());
    return files;
  }

  static void expect_failure(const Outcome& outcome, int channel, const std::string& file) {
    EXPECT_EQ(outcome.status, 2) << outcome.err;
    EXPECT_NE(outcome.err.find("channel " + std::to_string(channel)), std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find(file), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
  }

  fs::path work_;
};

constexpr int kOrder = 8;
const std::string kOrderArg = std::to_string(kOrder);
const char* const kTwoByThree[] = {"WVN_0p55_DE_005.dat", "WVN_0p55_DE_010.dat",
                                   "WVN_0p55_DE_020.dat", "WVN_0p87_DE_005.dat",
                                   "WVN_0p87_DE_010.dat", "WVN_0p87_DE_020.dat"};

TEST_F(EndToEnd, WavelengthRunWritesEveryJobAndTheReferenceCopies) {
  sizes("3\n5\n10\n20\n");
  wavelengths("2\n0.55\n.87\n");
  for (const char* name : kTwoByThree) table(name);
  fs::create_directories(work_ / "coef");
  const Outcome outcome = run({"pf/", "coef/", "0", kOrderArg});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "           8\n");
  EXPECT_EQ(outcome.err, "");
  const auto files = files_in("coef");
  EXPECT_EQ(files.size(), 9u);
  for (const char* name : kTwoByThree) {
    ASSERT_EQ(files.count(name), 1u) << name;
    EXPECT_EQ(record_count(files.at(name)), kOrder + 11) << name;
  }
  for (const char* size : {"005", "010", "020"})
    EXPECT_EQ(files.at(std::string("WN_REF_RE_") + size + ".dat"),
              files.at(std::string("WVN_0p55_DE_") + size + ".dat"))
        << size;
  // The tables are all the same, so every job writes the same content.
  EXPECT_EQ(files.at("WVN_0p87_DE_020.dat"), files.at("WVN_0p55_DE_005.dat"));
  EXPECT_NE(files.at("WVN_0p55_DE_005.dat").find("           8 coefficients\n   1   1.0000000\n"),
            std::string::npos);
}

TEST_F(EndToEnd, AnExistingCoefficientFileHoldsOnlyTheNewRecords) {
  sizes("1\n5\n");
  wavelengths("1\n0.87\n");
  table("WVN_0p87_DE_005.dat");
  write_file(work_ / "coef/WVN_0p87_DE_005.dat", std::string(100000, 'x') + "\n");
  const Outcome outcome = run({"pf/", "coef/", "0", kOrderArg});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::string content = files_in("coef").at("WVN_0p87_DE_005.dat");
  EXPECT_EQ(record_count(content), kOrder + 11);
  EXPECT_EQ(content.find('x'), std::string::npos);
}

TEST_F(EndToEnd, BandRunNamesFilesAfterTheBandsAndWritesNoReferenceCopy) {
  sizes("2\n5\n10\n");
  bands("2\nB07 thermal window\n'ch4.3um'\n");
  for (const char* name :
       {"B07_DE_005.dat", "B07_DE_010.dat", "ch4.3um_DE_005.dat", "ch4.3um_DE_010.dat"})
    table(name);
  fs::create_directories(work_ / "coef");
  const Outcome outcome = run({"pf/", "coef/", "1", kOrderArg});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const auto files = files_in("coef");
  std::vector<std::string> names;
  for (const auto& [name, content] : files) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"B07_DE_005.dat", "B07_DE_010.dat",
                                             "ch4.3um_DE_005.dat", "ch4.3um_DE_010.dat"}));
}

TEST_F(EndToEnd, DirectoriesAreJoinedWithoutSeparatorAndMayBeEmpty) {
  sizes("1\n5\n");
  wavelengths("1\n0.87\n");
  write_file(work_ / "WVN_0p87_DE_005.dat", table_text());
  const Outcome outcome = run({"", "out", "0", kOrderArg});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(record_count(read_file(work_ / "outWVN_0p87_DE_005.dat")), kOrder + 11);

  // A folder given without its '/' is still a prefix; the failure names
  // what was probably meant.
  table("WVN_0p87_DE_005.dat");
  const Outcome folder = run({"pf", "out", "0", kOrderArg});
  expect_failure(folder, 8, "pfWVN_0p87_DE_005.dat");
  EXPECT_NE(folder.err.find("(the input prefix 'pf' is a folder: did you mean 'pf/'?)"),
            std::string::npos)
      << folder.err;
}

TEST_F(EndToEnd, MissingTableInTheMiddleStopsTheRunAndKeepsEarlierFiles) {
  for (const bool existed : {false, true}) {
    SCOPED_TRACE(existed ? "coefficient file existed" : "coefficient file was new");
    fs::remove_all(work_);
    sizes("3\n5\n10\n20\n");
    wavelengths("2\n0.55\n0.87\n");
    for (const char* name : kTwoByThree)
      if (std::string(name) != "WVN_0p87_DE_010.dat") table(name);
    fs::create_directories(work_ / "coef");
    if (existed) write_file(work_ / "coef/WVN_0p87_DE_010.dat", "old content\n");
    const Outcome outcome = run({"pf/", "coef/", "0", kOrderArg});
    expect_failure(outcome, 8, "pf/WVN_0p87_DE_010.dat");
    const auto files = files_in("coef");
    // Jobs run point by point, size by size: the four before the missing
    // table are written, the one after it never starts.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(record_count(files.at(kTwoByThree[i])), kOrder + 11) << i;
    EXPECT_EQ(files.at("WVN_0p87_DE_010.dat"), existed ? "old content\n" : "");
    EXPECT_EQ(files.count("WVN_0p87_DE_020.dat"), 0u);
    EXPECT_EQ(files.size(), 8u);  // 5 job files and 3 reference copies
  }
}

TEST_F(EndToEnd, UnreadableTablesStopTheRunOnTheTableChannel) {
  const std::string good = table_text();
  const std::string letters = good.substr(0, good.find('\n', good.find('\n', 40) + 1) + 1) +
                              "abc 1.0\n" +
                              good.substr(good.find('\n', good.find('\n', 40) + 1) + 1);
  const std::map<std::string, std::string> tables = {
      {"497 rows", table_text(497)},
      {"letters for a number", letters},
      {"header only", "1 2 3 4 5\n"},
      {"empty", ""},
  };
  for (const auto& [what, text] : tables) {
    SCOPED_TRACE(what);
    fs::remove_all(work_);
    sizes("1\n5\n");
    wavelengths("1\n0.87\n");
    table("WVN_0p87_DE_005.dat", text);
    fs::create_directories(work_ / "coef");
    const Outcome outcome = run({"pf/", "coef/", "0", kOrderArg});
    expect_failure(outcome, 8, "pf/WVN_0p87_DE_005.dat");
    EXPECT_EQ(files_in("coef"), (std::map<std::string, std::string>{{"WVN_0p87_DE_005.dat", ""}}));
    EXPECT_EQ(read_file(work_ / "pf/WVN_0p87_DE_005.dat"), text);
  }
}

TEST_F(EndToEnd, ATableThatIsThisJobsCoefficientFileIsLeftIntact) {
  const char* outputs[] = {"pf/", "pf/./", "pf//", "link/"};
  fs::create_directories(work_ / "pf");
  fs::create_directory_symlink("pf", work_ / "link");
  for (const char* output_dir : outputs) {
    SCOPED_TRACE(output_dir);
    sizes("1\n5\n");
    wavelengths("1\n0.87\n");
    const std::string text = table_text();
    table("WVN_0p87_DE_005.dat", text);
    const Outcome outcome = run({"pf/", output_dir, "0", kOrderArg});
    expect_failure(outcome, 8, "pf/WVN_0p87_DE_005.dat");
    EXPECT_NE(outcome.err.find("already open"), std::string::npos) << outcome.err;
    EXPECT_EQ(read_file(work_ / "pf/WVN_0p87_DE_005.dat"), text);
  }
}

TEST_F(EndToEnd, AFailedWriteStopsTheRunOnTheCoefficientChannel) {
  sizes("1\n5\n");
  wavelengths("1\n0.87\n");
  table("WVN_0p87_DE_005.dat");
  fs::create_directories(work_ / "coef");
  const Outcome outcome = run({"pf/", "coef/", "0", kOrderArg}, rlim_t{100});
  expect_failure(outcome, 9, "coef/WVN_0p87_DE_005.dat");
  EXPECT_LE(read_file(work_ / "coef/WVN_0p87_DE_005.dat").size(), 100u);
}

TEST_F(EndToEnd, PathsThatWouldNameAnotherFileStopBeforeItIsOpened) {
  sizes("1\n5\n");
  wavelengths("1\n0.87\n");
  table("WVN_0p87_DE_005.dat");
  // 131 + 19 = 150 characters is allowed; one more is not.
  const std::string fits = std::string(130, 'a') + "/";
  const std::string too_long = std::string(131, 'b') + "/";
  fs::create_directories(work_ / fits);
  fs::create_directories(work_ / too_long);
  Outcome outcome = run({"pf/", too_long, "0", kOrderArg});
  expect_failure(outcome, 9, too_long + "WVN_0p87_DE_005.dat");
  EXPECT_TRUE(files_in(too_long).empty());
  outcome = run({"pf/", fits, "0", kOrderArg});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(files_in(fits).size(), 1u);

  // A NUL in a quoted band name would end the path there: the system would
  // open out/WVN_0p87_DE_005.dat, another job's file.
  write_file(work_ / "out/WVN_0p87_DE_005.dat", "sentinel\n");
  bands(std::string("1\n'WVN_0p87_DE_005.dat") + '\0' + "x'\n");
  outcome = run({"pf/", "out/", "1", kOrderArg});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find("channel 9, file 'out/WVN_0p87_DE_005.dat\\x00x_DE_005.dat': path "
                             "holds a NUL byte"),
            std::string::npos)
      << outcome.err;
  EXPECT_EQ(read_file(work_ / "out/WVN_0p87_DE_005.dat"), "sentinel\n");
}

TEST_F(EndToEnd, RunListFailuresNameTheirChannel) {
  struct Case {
    const char* what;
    const char* size_list;  // nullptr: absent
    const char* spectral_list;
    int channel;
    const char* file;
  };
  const Case cases[] = {
      {"size list absent", nullptr, "1\n0.87\n", 111, "./INPUT/input_re.dat"},
      {"spectral list absent", "1\n5\n", nullptr, 112, "./INPUT/wl.dat"},
      {"fewer sizes than the count", "3\n5\n10\n", "1\n0.87\n", 111, "./INPUT/input_re.dat"},
      {"size of letters", "1\nten\n", "1\n0.87\n", 111, "./INPUT/input_re.dat"},
      {"size a fraction", "1\n1.5\n", "1\n0.87\n", 111, "./INPUT/input_re.dat"},
      {"wavelength of letters", "1\n5\n", "1\nabc\n", 112, "./INPUT/wl.dat"},
      {"count of letters", "x\n", "1\n0.87\n", 111, "./INPUT/input_re.dat"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(work_);
    fs::create_directories(work_ / "INPUT");
    if (c.size_list) sizes(c.size_list);
    if (c.spectral_list) wavelengths(c.spectral_list);
    table("WVN_0p87_DE_005.dat");
    const Outcome outcome = run({"pf/", "coef/", "0", kOrderArg});
    expect_failure(outcome, c.channel, c.file);
    EXPECT_EQ(outcome.out, "           8\n");
    EXPECT_FALSE(fs::exists(work_ / "coef"));
    // A list the run found absent has been created empty, and stays; the
    // diagnostic says so.
    if (!c.size_list) {
      EXPECT_EQ(read_file(work_ / "INPUT/input_re.dat"), "");
    }
    if (!c.spectral_list) {
      EXPECT_EQ(read_file(work_ / "INPUT/wl.dat"), "");
    }
    EXPECT_EQ(outcome.err.find("did not exist, so the run created it empty") != std::string::npos,
              !c.size_list || !c.spectral_list)
        << outcome.err;
  }
}

TEST_F(EndToEnd, AFileWithoutLineEndsFailsOnItsChannel) {
  struct Case {
    const char* file;  // made 16 MiB of NUL bytes, sparse
    int channel;
  };
  const Case cases[] = {
      {"pf/WVN_0p87_DE_005.dat", 8},
      {"INPUT/input_re.dat", 111},
      {"INPUT/wl.dat", 112},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    fs::remove_all(work_);
    sizes("1\n5\n");
    wavelengths("1\n0.87\n");
    table("WVN_0p87_DE_005.dat");
    fs::create_directories(work_ / "coef");
    fs::resize_file(work_ / c.file, 0);
    fs::resize_file(work_ / c.file, std::uintmax_t{16} << 20);
    const Outcome outcome = run({"pf/", "coef/", "0", kOrderArg});
    expect_failure(outcome, c.channel, c.file);
    EXPECT_NE(outcome.err.find(": line 1 is longer than 1048576 bytes\n"), std::string::npos)
        << outcome.err.substr(0, 200);
  }
}

TEST_F(EndToEnd, MissingInputFolderStopsAtTheSizeList) {
  const Outcome outcome = run({"pf/", "coef/", "0", kOrderArg});
  expect_failure(outcome, 111, "./INPUT/input_re.dat");
  EXPECT_FALSE(fs::exists(work_ / "INPUT"));
}

TEST_F(EndToEnd, FewerSpectralLinesThanTheCountStopAfterEarlierPoints) {
  sizes("2\n5\n10\n");
  bands("3\nB07\n");
  table("B07_DE_005.dat");
  table("B07_DE_010.dat");
  fs::create_directories(work_ / "coef");
  const Outcome outcome = run({"pf/", "coef/", "1", kOrderArg});
  expect_failure(outcome, 112, "./INPUT/input_band.dat");
  const auto files = files_in("coef");
  EXPECT_EQ(files.size(), 2u);
  EXPECT_EQ(record_count(files.at("B07_DE_010.dat")), kOrder + 11);
}

TEST_F(EndToEnd, EmptyListsRunNoJobsButSpectralEntriesAreStillRead) {
  sizes("0\n");
  wavelengths("2\n0.55\nbad\n");
  Outcome outcome = run({"pf/", "coef/", "0", "300"});
  expect_failure(outcome, 112, "./INPUT/wl.dat");
  EXPECT_EQ(outcome.out, "         300\n");
  wavelengths("1\n0.55\n");
  outcome = run({"pf/", "coef/", "0", "300"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "         300\n");
  EXPECT_FALSE(fs::exists(work_ / "coef"));
}

TEST_F(EndToEnd, BadCommandLinesStopBeforeAnythingIsWrittenOrOpened) {
  const std::vector<std::vector<std::string>> command_lines = {
      {"pf/", "coef/", "0", "2"},
      {"pf/", "coef/", "0", "301"},
      {"pf/", "coef/", "0", "-5"},
      {"pf/", "coef/", "0", "12345678901"},
      {"pf/", "coef/", "2", "8"},
      {"pf/", "coef/", "-1", "8"},
      {"pf/", "coef/", "0", ""},
      {"pf/", "coef/", "0", "  "},
      {"pf/", "coef/", "0", "1.5"},
      {"pf/", "coef/", "0", "8x"},
      {"pf/", "coef/", "zero", "8"},
      {"pf/", "coef/", "0"},
      {},
  };
  fs::create_directories(work_ / "INPUT");
  for (const auto& args : command_lines) {
    std::string shown;
    for (const auto& a : args) shown += "'" + a + "' ";
    SCOPED_TRACE(shown);
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, 2) << outcome.err;
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_TRUE(outcome.err.ends_with(
        "(usage: phasefit [options] INPUT_DIR OUTPUT_DIR SPECTRAL_MODE N; see phasefit --help)\n"))
        << outcome.err;
    EXPECT_TRUE(fs::is_empty(work_ / "INPUT"));
  }
}

TEST_F(EndToEnd, ArgumentsAreReadFromTheirFields) {
  sizes("0\n");
  wavelengths("0\n");
  bands("0\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"pf/", "coef/", " 0", " 300"}, "         300\n"},
      {{"pf/", "coef/", "1 2", "4 5"}, "           4\n"},
      {{"pf/", "coef/", "1,", "3/"}, "           3\n"},
  };
  for (const auto& [args, echo] : cases) {
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, echo);
  }
}

}  // namespace
