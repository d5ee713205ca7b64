// Runs the built phasefit with one worker and with several on the same
// working directories and checks that nothing observable differs: the
// whole tree of files afterwards, standard output and error, the exit
// status, and when an operator pause appears.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << "status " << o.status << ", stdout '" << o.out << "', stderr '" << o.err << "'";
}

using Tree = std::map<std::string, std::string>;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A Henyey-Greenstein table in degrees; g = 0.85 at N = 300 makes svdcmp
// miss convergence once, which raises the operator pause.
std::string table_text(double g, int rows = 498) {
  std::ostringstream text;
  text << "10 0.55 0\n2.1 0.99 " << g << "\n";
  text.precision(9);
  for (int i = 0; i < rows; ++i) {
    const double theta = 180.0 * i / 497.0;
    const double mu = std::cos(theta * std::numbers::pi / 180.0);
    text << theta << ' ' << (1.0 - g * g) / std::pow(1.0 + g * g - 2.0 * g * mu, 1.5) << '\n';
  }
  return text.str();
}

int record_count(const std::string& content) {
  return static_cast<int>(std::count(content.begin(), content.end(), '\n'));
}

class Parallel : public ::testing::Test {
 protected:
  void SetUp() override {
    // A child that stops early must not kill the test through its stdin.
    std::signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/phasefit-par-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path work(const std::string& name) const { return root_ / name; }

  // Starts phasefit in `dir` with the options and arguments; standard input
  // and error are pipes, standard output a file.
  struct Child {
    pid_t pid = -1;
    int in = -1;
    int err = -1;
    fs::path out_path;
  };
  Child start(const fs::path& dir, const std::vector<std::string>& args) const {
    int in_pipe[2];
    int err_pipe[2];
    if (::pipe(in_pipe) != 0 || ::pipe(err_pipe) != 0) return {};
    Child child;
    child.out_path = root_ / (dir.filename().string() + ".stdout");
    child.pid = ::fork();
    if (child.pid == 0) {
      const int out = ::open(child.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || ::chdir(dir.c_str()) != 0) ::_exit(120);
      ::dup2(in_pipe[0], 0);
      ::dup2(out, 1);
      ::dup2(err_pipe[1], 2);
      ::close(in_pipe[1]);
      ::close(err_pipe[0]);
      std::vector<std::string> copies = args;
      std::vector<char*> argv;
      std::string program = PHASEFIT_EXECUTABLE;
      argv.push_back(program.data());
      for (auto& a : copies) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(PHASEFIT_EXECUTABLE, argv.data());
      ::_exit(122);
    }
    ::close(in_pipe[0]);
    ::close(err_pipe[1]);
    child.in = in_pipe[1];
    child.err = err_pipe[0];
    return child;
  }

  // Reads standard error until it holds `until` (or ends, or 60 s pass).
  static void read_err(const Child& child, std::string& err, const std::string& until = {}) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (until.empty() || err.find(until) == std::string::npos) {
      pollfd p{child.err, POLLIN, 0};
      if (std::chrono::steady_clock::now() > deadline || ::poll(&p, 1, 1000) < 0) return;
      if (p.revents == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(child.err, buffer, sizeof buffer);
      if (got <= 0) return;
      err.append(buffer, static_cast<std::size_t>(got));
    }
  }

  static Outcome finish(Child& child, std::string err) {
    ::close(child.in);
    read_err(child, err);
    ::close(child.err);
    int wait_status = 0;
    ::waitpid(child.pid, &wait_status, 0);
    return {WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1, read_file(child.out_path),
            err};
  }

  Outcome run(const fs::path& dir, const std::vector<std::string>& args,
              const std::string& input = "") const {
    Child child = start(dir, args);
    EXPECT_EQ(::write(child.in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    return finish(child, "");
  }

  // Every file under `dir` with its content; a link shows its target.
  static Tree tree(const fs::path& dir) {
    Tree files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      const std::string name = fs::relative(entry.path(), dir).string();
      if (entry.is_symlink())
        files[name] = "-> " + fs::read_symlink(entry.path()).string();
      else if (entry.is_regular_file())
        files[name] = read_file(entry.path());
    }
    return files;
  }

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
    const Tree files = tree(one);
    for (const std::string& count : worker_counts) {
      SCOPED_TRACE("-j " + count);
      const fs::path many = work("j" + count);
      fs::remove_all(many);
      prepare(many);
      std::vector<std::string> with_many = {"-j", count};
      with_many.insert(with_many.end(), args.begin(), args.end());
      EXPECT_EQ(run(many, with_many, input), outcome);
      EXPECT_EQ(tree(many), files);
    }
    return {outcome, files};
  }

  fs::path root_;
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
      if (name != skip) write_file(dir / "pf" / name, table_text(g));
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
       [](const fs::path& dir) { write_file(dir / "pf/WVN_0p87_DE_010.dat", table_text(0.7, 497)); },
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

TEST_F(Parallel, ALongPathAtALaterBandStopsAfterTheEarlierBandsAreWritten) {
  // 120 + 14 characters fit; the second band's 41-character names do not.
  const std::string output_dir = std::string(119, 'c') + "/";
  const auto prepare = [&](const fs::path& dir) {
    write_file(dir / "INPUT/input_re.dat", "2\n5\n10\n");
    write_file(dir / "INPUT/input_band.dat", "3\nB07\nABCDEFGHIJABCDEFGHIJABCDEFGHIJ\nB08\n");
    for (const char* band : {"B07", "ABCDEFGHIJABCDEFGHIJABCDEFGHIJ", "B08"})
      for (const char* size : {"005", "010"})
        write_file(dir / "pf" / (std::string(band) + "_DE_" + size + ".dat"), table_text(0.7));
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
      write_file(dir / "pf/WVN_0p87_DE_005.dat", table_text(0.7));
      write_file(dir / "pf/WVN_0p87_DE_020.dat", table_text(0.6));
      fs::create_directories(dir / "coef");
      if (existed) write_file(dir / "coef/WVN_0p87_DE_005.dat", table_text(0.5));
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
    write_file(dir / "pf/WVN_0p87_DE_005.dat", table_text(0.7));
    write_file(dir / "pf/WVN_0p87_DE_010.dat", table_text(0.6));
  };
  const auto [outcome, files] = expect_same_as_one_worker(prepare, {"pf/", "pf/./", "0", "8"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find("already open"), std::string::npos) << outcome.err;
  EXPECT_EQ(files.at("pf/WVN_0p87_DE_005.dat"), table_text(0.7));
}

// Three jobs at N = 300; the second pauses once in svdcmp.
void pause_batch(const fs::path& dir) {
  write_file(dir / "INPUT/input_re.dat", "3\n5\n10\n20\n");
  write_file(dir / "INPUT/wl.dat", "1\n0.87\n");
  write_file(dir / "pf/WVN_0p87_DE_005.dat", table_text(0.7));
  write_file(dir / "pf/WVN_0p87_DE_010.dat", table_text(0.85));
  write_file(dir / "pf/WVN_0p87_DE_020.dat", table_text(0.6));
  write_file(dir / "coef/WVN_0p87_DE_020.dat", "sentinel\n");
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
  Child child = start(dir, {"-j", "4", "pf/", "coef/", "0", "300"});
  std::string err;
  read_err(child, err, kPause);
  ASSERT_EQ(err, kPause);
  // While the operator is asked: the job before is complete, the pausing
  // job's file exists and is empty, the later job's file is untouched.
  EXPECT_EQ(record_count(read_file(dir / "coef/WVN_0p87_DE_005.dat")), 311);
  EXPECT_EQ(read_file(dir / "coef/WVN_0p87_DE_010.dat"), "");
  EXPECT_EQ(read_file(dir / "coef/WVN_0p87_DE_020.dat"), "sentinel\n");
  ASSERT_EQ(::write(child.in, "go\n", 3), 3);
  const Outcome outcome = finish(child, err);
  EXPECT_EQ(outcome, (Outcome{0, "         300\n", kPause}));
  EXPECT_EQ(record_count(read_file(dir / "coef/WVN_0p87_DE_020.dat")), 311);
}

TEST_F(Parallel, WorkerCountOptionsComeBeforeThePositionalArguments) {
  const fs::path dir = work("options");
  write_file(dir / "INPUT/input_re.dat", "2\n5\n10\n");
  write_file(dir / "INPUT/wl.dat", "1\n0.87\n");
  write_file(dir / "pf/WVN_0p87_DE_005.dat", table_text(0.7));
  write_file(dir / "pf/WVN_0p87_DE_010.dat", table_text(0.6));
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
    const Tree files = tree(dir / "coef");
    EXPECT_EQ(files.size(), 2u);
    if (!first) first = files;
    EXPECT_EQ(files, *first);
  }
  const std::vector<std::vector<std::string>> refused = {
      {"-j", "0", "pf/", "coef/", "0", "8"},     {"-j", "x", "pf/", "coef/", "0", "8"},
      {"-j", "", "pf/", "coef/", "0", "8"},      {"--jobs=", "pf/", "coef/", "0", "8"},
      {"-j", "1025", "pf/", "coef/", "0", "8"},  {"-j2x", "pf/", "coef/", "0", "8"},
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
