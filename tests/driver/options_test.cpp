// The options that make phasefit usable in batches: --help and --version,
// the usage hint, the progress line on a terminal, --on-pause, --keep-going
// and --report. Runs the built executable; checks that none of them changes
// a byte of the files or of standard output, and what each adds.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "driver/tool_runner.hpp"

namespace {

using namespace phasefit::testing;

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const auto tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

// The ft printed in record 9 of a coefficient file.
double file_ft(const std::string& content) {
  return std::stod(lines_of(content).at(8).substr(0, 9));
}

const std::string kPause = "phasefit: PAUSE: no convergence in svdcmp\n";
const std::string kAsk =
    kPause + "phasefit: type 'go' and press Enter to resume; anything else ends the run\n";

class Options : public ToolTest {
 protected:
  Options() : ToolTest("opt") {}

  // Prepares `dir` afresh and runs phasefit there; returns the outcome and
  // the tree left.
  std::pair<Outcome, Tree> fresh_run(const std::string& name,
                                     const std::function<void(const fs::path&)>& prepare,
                                     const std::vector<std::string>& args,
                                     const std::string& input = "", bool terminal = false) {
    const fs::path dir = work(name);
    fs::remove_all(dir);
    prepare(dir);
    const Outcome outcome = run(dir, args, input, terminal);
    return {outcome, tree_of(dir)};
  }
};

std::vector<std::string> with(std::vector<std::string> options,
                              const std::vector<std::string>& args) {
  options.insert(options.end(), args.begin(), args.end());
  return options;
}

const char* const kLabels[] = {"0p55", "0p87", "1p60"};
const char* const kSizes[] = {"005", "010", "020"};

std::string job_name(const char* label, const char* size) {
  return std::string("WVN_") + label + "_DE_" + size + ".dat";
}

// Three wavelengths (0.55 with its reference copies) by three sizes, a
// different table for each job.
void batch(const fs::path& dir) {
  write_file(dir / "INPUT/input_re.dat", "3\n5\n10\n20\n");
  write_file(dir / "INPUT/wl.dat", "3\n0.55\n0.87\n1.6\n");
  double g = 0.5;
  for (const char* label : kLabels)
    for (const char* size : kSizes)
      write_file(dir / "pf" / job_name(label, size), hg_table_text(g += 0.02));
  fs::create_directories(dir / "coef");
}

// The batch with two bad tables: one missing in the middle (its old
// coefficient file must stay), one too short (no coefficient file before,
// none after).
void failing_batch(const fs::path& dir) {
  batch(dir);
  fs::remove(dir / "pf/WVN_0p87_DE_010.dat");
  write_file(dir / "coef/WVN_0p87_DE_010.dat", "sentinel\n");
  write_file(dir / "pf/WVN_1p60_DE_005.dat", hg_table_text(0.7, 497));
}

const std::vector<std::string> kArgs = {"pf/", "coef/", "0", "8"};

TEST_F(Options, HelpAndVersionPrintToStandardOutputAndExitZero) {
  const fs::path dir = work("help");
  fs::create_directories(dir);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"-j", "2", "--help", "pf/", "coef/", "0", "8"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome outcome = run(dir, args);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    for (const char* part : {"Usage: phasefit [options] INPUT_DIR OUTPUT_DIR SPECTRAL_MODE N",
                             "INPUT/input_re.dat", "--keep-going", "--on-pause=ask|go|stop",
                             "--report FILE", "--no-progress", "Exit status", "Example"})
      EXPECT_NE(outcome.out.find(part), std::string::npos) << part;
  }
  // Every option form the help names is in the manual page too.
  const std::string help = run(dir, {"--help"}).out;
  std::string manual = read_file(PHASEFIT_MANUAL_PAGE);
  for (std::size_t at = 0; (at = manual.find("\\-", at)) != std::string::npos;)
    manual.replace(at, 2, "-");
  const std::regex option_form("(^|[ ,])(--?[a-z][a-z-]*(=[a-z|]+)?)");
  int forms = 0;
  for (auto it = std::sregex_iterator(help.begin(), help.end(), option_form);
       it != std::sregex_iterator(); ++it, ++forms)
    EXPECT_NE(manual.find((*it)[2].str()), std::string::npos) << (*it)[2].str();
  EXPECT_GT(forms, 15);

  const Outcome version = run(dir, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.err, "");
  EXPECT_TRUE(std::regex_match(version.out, std::regex("phasefit [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(Options, ABadCommandLineEndsItsOneDiagnosticLineWithTheUsageHint) {
  const fs::path dir = work("bad");
  fs::create_directories(dir / "INPUT");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "spectral mode (argument 3)"},
      {{"pf/", "coef/", "0"}, "expansion order (argument 4)"},
      {{"pf/", "coef/", "0", "x"}, "'x' is not an integer"},
      {{"pf/", "coef/", "0", "301"}, "expansion order (argument 4) is 301"},
      {{"--on-pause=maybe", "pf/", "coef/", "0", "8"}, "--on-pause is 'maybe'"},
      {{"--report"}, "--report needs a value"},
      {{"--report=", "pf/", "coef/", "0", "8"}, "--report needs a file name"},
      {{"--bogus", "pf/", "coef/", "0", "8"}, "unknown option '--bogus'"},
      {{"-k", "-x", "pf/", "coef/", "0", "8"}, "unknown option '-x'"},
  };
  for (const auto& [args, cause] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const Outcome outcome = run(dir, args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(record_count(outcome.err), 1) << outcome.err;
    EXPECT_NE(outcome.err.find(cause), std::string::npos) << outcome.err;
    EXPECT_TRUE(outcome.err.ends_with(
        " (usage: phasefit [options] INPUT_DIR OUTPUT_DIR SPECTRAL_MODE N; see phasefit --help)\n"))
        << outcome.err;
    EXPECT_TRUE(fs::is_empty(dir / "INPUT"));
  }
}

TEST_F(Options, ReportKeepGoingAndProgressChangeNoFileAndNoOutput) {
  const fs::path report = root_ / "report.tsv";
  for (const char* workers : {"1", "4"}) {
    SCOPED_TRACE(std::string("-j ") + workers);
    const auto [plain, plain_files] = fresh_run("plain", batch, with({"-j", workers}, kArgs));
    ASSERT_EQ(plain, (Outcome{0, "           8\n", ""}));
    ASSERT_EQ(plain_files.size(), 2u + 9u + 3u + 9u);  // run lists, tables, copies, files
    struct Variant {
      const char* what;
      std::vector<std::string> options;
      bool terminal;
    };
    const Variant variants[] = {
        {"--report", {"--report", report.string()}, false},
        {"--keep-going", {"--keep-going"}, false},
        {"progress", {}, true},
        {"all", {"-k", "--report=" + report.string(), "--on-pause=go"}, true},
    };
    for (const Variant& v : variants) {
      SCOPED_TRACE(v.what);
      std::vector<std::string> options = {"-j", workers};
      options.insert(options.end(), v.options.begin(), v.options.end());
      const auto [outcome, files] =
          fresh_run("variant", batch, with(options, kArgs), "", v.terminal);
      EXPECT_EQ(outcome.status, 0);
      EXPECT_EQ(outcome.out, plain.out);
      EXPECT_EQ(files, plain_files);
      if (!v.terminal) {
        EXPECT_EQ(outcome.err, "");
      }
    }
  }
}

TEST_F(Options, TheProgressLineOverwritesItselfOnATerminalAndIsErasedAtTheEnd) {
  const auto [shown, files] = fresh_run("shown", batch, with({"-j", "1"}, kArgs), "", true);
  ASSERT_EQ(shown.status, 0) << shown.err;
  // Every draw starts at the line's beginning and clears what an older,
  // longer one left; the last thing written erases the line.
  EXPECT_TRUE(
      std::regex_search(shown.err, std::regex("\r[^\r\n]*[0-9]/9 jobs  WVN_0p55_DE_005\\.dat")))
      << shown.err;
  EXPECT_TRUE(shown.err.starts_with("\r")) << shown.err;
  EXPECT_TRUE(shown.err.ends_with("\r\033[K")) << shown.err;
  EXPECT_EQ(shown.err.find('\n'), std::string::npos) << shown.err;

  const auto [off, off_files] = fresh_run("off", batch, with({"--no-progress"}, kArgs), "", true);
  EXPECT_EQ(off, (Outcome{0, "           8\n", ""}));
  EXPECT_EQ(off_files, files);
}

TEST_F(Options, OnATerminalTheLineIsErasedBeforeADiagnostic) {
  const auto [outcome, files] = fresh_run("failed", failing_batch, kArgs, "", true);
  EXPECT_EQ(outcome.status, 2);
  const std::string diagnostic = "phasefit: channel 8, file 'pf/WVN_0p87_DE_010.dat'";
  const auto at = outcome.err.find(diagnostic);
  ASSERT_NE(at, std::string::npos) << outcome.err;
  EXPECT_TRUE(outcome.err.substr(0, at).ends_with("\r\033[K")) << outcome.err;
  // The terminal turns the line end into carriage return and line feed.
  EXPECT_TRUE(outcome.err.ends_with("\r\n")) << outcome.err;
}

TEST_F(Options, KeepGoingSkipsFailedTablesReportsEachAndCountsThem) {
  const auto [one, one_files] = fresh_run("j1", failing_batch, with({"-k", "-j", "1"}, kArgs));
  const auto [four, four_files] =
      fresh_run("j4", failing_batch, with({"--keep-going", "-j", "4"}, kArgs));
  EXPECT_EQ(four, one);
  EXPECT_EQ(four_files, one_files);

  EXPECT_EQ(one.status, 2);
  EXPECT_EQ(one.out, "           8\n");
  const std::vector<std::string> err = lines_of(one.err);
  ASSERT_EQ(err.size(), 3u) << one.err;
  EXPECT_TRUE(err[0].starts_with("phasefit: channel 8, file 'pf/WVN_0p87_DE_010.dat': ")) << err[0];
  EXPECT_TRUE(err[1].starts_with("phasefit: channel 8, file 'pf/WVN_1p60_DE_005.dat': ")) << err[1];
  EXPECT_EQ(err[2], "phasefit: 2 of 9 jobs failed");

  // The failed jobs' files: the old one unchanged, none created.
  EXPECT_EQ(one_files.at("coef/WVN_0p87_DE_010.dat"), "sentinel\n");
  EXPECT_EQ(one_files.count("coef/WVN_1p60_DE_005.dat"), 0u);
  // Every other job wrote what a run without failures writes.
  const auto [plain, plain_files] = fresh_run("plain", batch, kArgs);
  ASSERT_EQ(plain.status, 0);
  int written = 0;
  for (const auto& [name, content] : plain_files) {
    if (!name.starts_with("coef/") || name == "coef/WVN_0p87_DE_010.dat" ||
        name == "coef/WVN_1p60_DE_005.dat")
      continue;
    ++written;
    EXPECT_EQ(one_files.at(name), content) << name;
  }
  EXPECT_EQ(written, 7 + 3);
}

TEST_F(Options, KeepGoingStillEndsTheRunOnFailuresOfTheRunItself) {
  const auto no_output_dir = [](const fs::path& dir) {
    failing_batch(dir);
    fs::remove_all(dir / "coef");
  };
  const auto bad_spectral_entry = [](const fs::path& dir) {
    batch(dir);
    write_file(dir / "INPUT/wl.dat", "3\n0.55\nbad\n1.6\n");
  };
  for (const char* workers : {"1", "4"}) {
    SCOPED_TRACE(std::string("-j ") + workers);
    auto [outcome, files] = fresh_run("run", no_output_dir, with({"-k", "-j", workers}, kArgs));
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(record_count(outcome.err), 1) << outcome.err;
    EXPECT_NE(outcome.err.find("channel 9, file 'coef/WVN_0p55_DE_005.dat'"), std::string::npos)
        << outcome.err;
    std::tie(outcome, files) =
        fresh_run("run", bad_spectral_entry, with({"-k", "-j", workers}, kArgs));
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(record_count(outcome.err), 1) << outcome.err;
    EXPECT_NE(outcome.err.find("channel 112"), std::string::npos) << outcome.err;
    EXPECT_EQ(record_count(files.at("coef/WVN_0p55_DE_020.dat")), 19);
  }
}

TEST_F(Options, OnPauseGoResumesAndStopEndsWithoutReadingTheInput) {
  const std::vector<std::string> args = {"pf/", "coef/", "0", "300"};
  // What an operator typing "go", or closing the input, makes of the run.
  const auto [asked_go, asked_go_files] =
      fresh_run("ask", pause_batch, with({"-j", "1"}, args), "go\n");
  ASSERT_EQ(asked_go, (Outcome{0, "         300\n", kAsk}));
  const auto [asked_end, asked_end_files] = fresh_run("ask", pause_batch, with({"-j", "1"}, args));
  ASSERT_EQ(asked_end.status, 3);

  for (const char* workers : {"1", "4"}) {
    SCOPED_TRACE(std::string("-j ") + workers);
    // The input would end the run if it were read.
    const auto [go, go_files] =
        fresh_run("go", pause_batch, with({"--on-pause=go", "-j", workers}, args), "stop\n");
    EXPECT_EQ(go, (Outcome{0, "         300\n",
                           kPause + "phasefit: resumed without asking (--on-pause=go)\n"}));
    EXPECT_EQ(go_files, asked_go_files);

    const auto [stop, stop_files] =
        fresh_run("stop", pause_batch, with({"--on-pause", "stop", "-j", workers}, args), "go\n");
    EXPECT_EQ(stop.status, 3);
    EXPECT_EQ(stop.out, "         300\n");
    EXPECT_EQ(stop.err, kPause +
                            "phasefit: run ended at the pause (--on-pause=stop): no convergence "
                            "in svdcmp\n");
    EXPECT_EQ(stop_files, asked_end_files);
    EXPECT_EQ(stop_files.at("coef/WVN_0p87_DE_010.dat"), "");
    EXPECT_EQ(stop_files.at("coef/WVN_0p87_DE_020.dat"), "sentinel\n");
  }
}

TEST_F(Options, TheReportHasOneRowPerJobInJobOrder) {
  const fs::path report = root_ / "report.tsv";
  const auto prepare = [](const fs::path& dir) {
    pause_batch(dir);
    write_file(dir / "INPUT/input_re.dat", "4\n5\n10\n20\n40\n");
    // A table at twice the normalisation is renormalised by the fit.
    std::string doubled;
    for (const std::string& line : lines_of(hg_table_text(0.6))) {
      const auto blank = line.find(' ', 0);
      if (record_count(doubled) < 2) {
        doubled += line + "\n";
      } else {
        doubled += line.substr(0, blank) + " " +
                   std::to_string(2.0 * std::stod(line.substr(blank + 1))) + "\n";
      }
    }
    write_file(dir / "pf/WVN_0p87_DE_020.dat", doubled);
  };
  for (const char* workers : {"1", "4"}) {
    SCOPED_TRACE(std::string("-j ") + workers);
    const auto [outcome, files] = fresh_run("report", prepare,
                                            {"-k", "--on-pause=go", "--report", report.string(),
                                             "-j", workers, "pf/", "coef/", "0", "300"});
    EXPECT_EQ(outcome.status, 2) << outcome.err;
    const std::vector<std::string> rows = lines_of(read_file(report));
    ASSERT_EQ(rows.size(), 5u) << read_file(report);
    // Readers find the columns by the header's names: every row must have
    // a field under each of them, and each field must be what its name says.
    const std::vector<std::string> columns = split_tabs(rows[0]);
    const auto field = [&](const std::vector<std::string>& row, std::string_view name) {
      const auto column = std::find(columns.begin(), columns.end(), name);
      EXPECT_NE(column, columns.end()) << "no column " << name << " in " << rows[0];
      return column == columns.end() ? std::string()
                                     : row.at(static_cast<std::size_t>(column - columns.begin()));
    };
    const char* const names[] = {"WVN_0p87_DE_005.dat", "WVN_0p87_DE_010.dat",
                                 "WVN_0p87_DE_020.dat", "WVN_0p87_DE_040.dat"};
    const char* const sizes[] = {"5", "10", "20", "40"};
    for (std::size_t job = 0; job < 4; ++job) {
      const std::vector<std::string> row = split_tabs(rows[job + 1]);
      ASSERT_EQ(row.size(), columns.size()) << rows[job + 1];
      EXPECT_EQ(field(row, "job"), std::to_string(job + 1));
      EXPECT_EQ(field(row, "spectral_label"), "0p87");
      EXPECT_EQ(field(row, "size"), sizes[job]);
      EXPECT_EQ(field(row, "data_file"), names[job]);
      EXPECT_EQ(field(row, "N"), "300");
      if (job == 3) {  // no table
        for (const char* name : {"ft", "chi0_sum", "renormalised", "rms_deviation", "max_deviation",
                                 "negative_points", "flags"})
          EXPECT_EQ(field(row, name), "-") << name;
        EXPECT_NE(field(row, "status").find("cannot open"), std::string::npos) << rows[job + 1];
        continue;
      }
      EXPECT_EQ(field(row, "status"), "ok");
      const std::string content = files.at(std::string("coef/") + names[job]);
      EXPECT_NEAR(std::stod(field(row, "ft")), file_ft(content), 5.1e-7) << rows[job + 1];
      EXPECT_EQ(field(row, "renormalised"), job == 2 ? "yes" : "no");
      EXPECT_NEAR(std::stod(field(row, "chi0_sum")), job == 2 ? 2.0 : 1.0, 0.02);
      const double rms = std::stod(field(row, "rms_deviation"));
      EXPECT_LT(rms, 0.05);
      EXPECT_LE(rms, std::abs(std::stod(field(row, "max_deviation"))));
      EXPECT_EQ(field(row, "negative_points"), "0");
      EXPECT_EQ(field(row, "flags").find("resumed_after_pause") != std::string::npos, job == 1)
          << rows[job + 1];
    }
  }
}

TEST_F(Options, WithoutKeepGoingTheFailingJobsRowIsTheLast) {
  const fs::path report = root_ / "report.tsv";
  const auto [outcome, files] =
      fresh_run("report", failing_batch, {"--report=" + report.string(), "pf/", "coef/", "0", "8"});
  EXPECT_EQ(outcome.status, 2);
  const std::vector<std::string> rows = lines_of(read_file(report));
  ASSERT_EQ(rows.size(), 1u + 5u);
  const std::vector<std::string> last = split_tabs(rows.back());
  EXPECT_EQ(last[2], "WVN_0p87_DE_010.dat");
  EXPECT_NE(outcome.err.find(last[11]), std::string::npos) << last[11];
}

TEST_F(Options, ControlBytesFromTheInputAreShownEscapedInDiagnosticsAndTheReport) {
  const fs::path report = root_ / "report.tsv";
  const auto prepare = [](const fs::path& dir) {
    write_file(dir / "INPUT/input_re.dat", "1\n5\n");
    // The first band's table is missing; line 103 of the second's holds a
    // NUL and an escape inside a number.
    write_file(dir / "INPUT/input_band.dat", "2\n'B\t\x1b[2J07'\nch4\n");
    std::vector<std::string> rows = lines_of(hg_table_text(0.7));
    rows.at(102) = std::string("11") + '\0' + ".5\x1b 1.0";
    std::string table;
    for (const std::string& row : rows) table += row + "\n";
    write_file(dir / "pf/ch4_DE_005.dat", table);
  };
  const auto [outcome, files] =
      fresh_run("escaped", prepare, {"-k", "--report", report.string(), "pf/", "coef/", "1", "8"});
  const std::string rows = read_file(report);
  const auto is_control = [](unsigned char c) {
    return c != '\n' && c != '\t' && (c < 0x20 || c == 0x7f);
  };
  EXPECT_EQ(std::count_if(outcome.err.begin(), outcome.err.end(), is_control), 0) << outcome.err;
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(), is_control), 0) << rows;

  EXPECT_EQ(outcome.status, 2);
  const std::vector<std::string> err = lines_of(outcome.err);
  ASSERT_EQ(err.size(), 3u) << outcome.err;
  EXPECT_TRUE(err[0].starts_with("phasefit: channel 8, file 'pf/B\\x09\\x1b[2J07_DE_005.dat': "))
      << err[0];
  const std::string cause = "line 103: '11\\x00.5\\x1b' is not a valid real number";
  EXPECT_EQ(err[1], "phasefit: channel 8, file 'pf/ch4_DE_005.dat': " + cause);

  const std::vector<std::string> lines = lines_of(rows);
  ASSERT_EQ(lines.size(), 3u) << rows;
  const std::vector<std::string> missing = split_tabs(lines[1]);
  ASSERT_EQ(missing.size(), 13u);
  EXPECT_EQ(missing[0], "B \\x1b[2J07");
  EXPECT_EQ(missing[2], "B \\x1b[2J07_DE_005.dat");
  EXPECT_EQ(split_tabs(lines[2])[11], cause);
}

TEST_F(Options, AReportThatCannotBeCreatedEndsTheRunBeforeAnyJob) {
  const auto [outcome, files] =
      fresh_run("report", batch, {"--report", "no/such/dir/r.tsv", "pf/", "coef/", "0", "8"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.out, "           8\n");
  EXPECT_NE(outcome.err.find("no/such/dir/r.tsv"), std::string::npos) << outcome.err;
  EXPECT_EQ(record_count(outcome.err), 1);
  EXPECT_TRUE(fs::is_empty(work("report") / "coef"));
}

}  // namespace
