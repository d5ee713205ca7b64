// Fault injection on the built phasefit: writes that fail part-way, kills at
// random moments, missing and truncated tables at random jobs, an output
// directory that is a file. After each, the output directory must hold a
// state a run could have reached by writing whole files in job order:
//   - every file of a job before the one in flight is the clean run's,
//   - the file in flight is unchanged (or, if it is new, empty),
//   - every file the run never reached is untouched,
// so no truncated or mixed coefficient file exists anywhere, and a handled
// failure leaves no temporary file behind. Each case runs with one worker
// and with two.
//
// The random choices come from one seed, printed at the start; set
// PHASEFIT_FAULT_SEED to repeat a run. PHASEFIT_FAULT_KILLS sets the number
// of runs ended by a signal per worker count: 10 by default, to keep
// `make test` short; CI runs 40. PHASEFIT_FAULT_ORDER (default 300) shortens
// the runs for sanitizer builds, where a job takes ten times as long.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <regex>
#include <thread>

#include "driver/tool_runner.hpp"

namespace phasefit::testing {
namespace {

// A positive integer from the environment, or `otherwise`.
int setting(const char* name, int otherwise) {
  const char* text = std::getenv(name);
  const int value = text ? std::atoi(text) : 0;
  return value > 0 ? value : otherwise;
}

const std::string kOrderArg = std::to_string(setting("PHASEFIT_FAULT_ORDER", 300));
const std::vector<std::string> kSizes = {"005", "010", "020"};
struct Point {
  const char* value;  // in the wavelength list
  const char* label;  // in the file names
};
const std::vector<Point> kPoints = {
    {"0.87", "0p87"}, {"0.55", "0p55"}, {"1.6", "1p60"}, {"2.13", "2p13"}};
const std::string kUnrelated = "notes.txt";
const std::string kUnrelatedContent = "not a coefficient file\n";

// One file written by the run, in the order the run writes them.
struct Write {
  std::string name;   // in the output directory
  std::string table;  // the table of its job, in the table directory
};

std::vector<Write> write_order() {
  std::vector<Write> writes;
  for (const Point& point : kPoints) {
    for (const std::string& size : kSizes) {
      const std::string name = std::string("WVN_") + point.label + "_DE_" + size + ".dat";
      writes.push_back({name, name});
      if (std::string(point.label) == "0p55")
        writes.push_back({"WN_REF_RE_" + size + ".dat", name});
    }
  }
  return writes;
}

std::uint64_t chosen_seed() {
  if (const char* text = std::getenv("PHASEFIT_FAULT_SEED"))
    return std::strtoull(text, nullptr, 10);
  return static_cast<std::uint64_t>(std::random_device{}());
}

bool is_temporary_name(const std::string& name) {
  static const std::regex pattern(R"(\..+\.tmp\.[0-9]+\.[0-9]+)");
  return std::regex_match(name, pattern);
}

class FaultInjection : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() {
    seed_ = chosen_seed();
    std::cout << "fault injection seed: " << seed_ << " (PHASEFIT_FAULT_SEED)" << std::endl;
    root_ = make_temp_dir("fault");
    ASSERT_FALSE(root_.empty()) << "mkdtemp failed";
    writes_ = write_order();
    // The clean run, timed, in a directory of its own.
    const fs::path clean = root_ / "clean";
    prepare(clean, {});
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = run_tool(clean, {"-j", "1", "pf/", "coef/", "0", kOrderArg});
    clean_seconds_ =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    ASSERT_EQ(outcome.err, "");
    clean_ = tree_of(clean / "coef");
    clean_.erase(kUnrelated);
    std::cout << "clean run: " << writes_.size() << " files at N = " << kOrderArg << " in "
              << clean_seconds_ << " s" << std::endl;
  }
  static void TearDownTestSuite() { remove_tree(root_); }

  void SetUp() override {
    ASSERT_FALSE(clean_.empty());
    rng_.seed(
        seed_ + static_cast<std::uint64_t>(GetParam()) * 7919 +
        std::hash<std::string>{}(::testing::UnitTest::GetInstance()->current_test_info()->name()));
  }

  // A working directory with the run lists, a table per job, and in coef/
  // the unrelated file and sentinels in place of the files whose index is
  // in `sentinels`.
  static void prepare(const fs::path& dir, const std::vector<bool>& sentinels) {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    std::string sizes = std::to_string(kSizes.size()) + "\n";
    for (const auto& size : kSizes) sizes += size + "\n";
    write_file(dir / "INPUT/input_re.dat", sizes);
    std::string points = std::to_string(kPoints.size()) + "\n";
    for (const auto& point : kPoints) points += std::string(point.value) + "\n";
    write_file(dir / "INPUT/wl.dat", points);
    double g = 0.55;
    for (const Write& w : writes_) {
      if (!fs::exists(dir / "pf" / w.table)) write_file(dir / "pf" / w.table, hg_table_text(g));
      g += 0.015;
    }
    write_file(dir / "coef" / kUnrelated, kUnrelatedContent);
    for (std::size_t i = 0; i < sentinels.size(); ++i)
      if (sentinels[i]) write_file(dir / "coef" / writes_[i].name, sentinel(writes_[i].name));
  }
  static std::string sentinel(const std::string& name) { return "sentinel of " + name + "\n"; }

  std::vector<bool> random_sentinels() {
    std::vector<bool> sentinels(writes_.size());
    for (std::size_t i = 0; i < sentinels.size(); ++i) sentinels[i] = rng_() % 2 == 0;
    return sentinels;
  }

  std::vector<std::string> args() const {
    return {"-j", std::to_string(GetParam()), "pf/", "coef/", "0", kOrderArg};
  }

  // Checks that `dir`'s output directory holds the state of a run that
  // wrote the first k files of the write order whole and stopped in file k,
  // and returns k. `in_flight` is the k a handled failure must give (its
  // file then exists: it was opened); `temporaries` counts leftover
  // temporary files, which only a kill may leave.
  std::size_t check_state(const fs::path& dir, const std::vector<bool>& sentinels,
                          std::optional<std::size_t> in_flight, int* temporaries) {
    Tree after = tree_of(dir / "coef");
    int leftovers = 0;
    for (auto it = after.begin(); it != after.end();) {
      if (is_temporary_name(it->first)) {
        ++leftovers;
        it = after.erase(it);
      } else {
        ++it;
      }
    }
    if (temporaries) {
      *temporaries = leftovers;
    } else {
      EXPECT_EQ(leftovers, 0) << "temporary files left after a handled failure";
    }
    EXPECT_EQ(after[kUnrelated], kUnrelatedContent);
    after.erase(kUnrelated);

    const auto initial = [&](std::size_t i) -> std::optional<std::string> {
      if (sentinels[i]) return sentinel(writes_[i].name);
      return std::nullopt;
    };
    const auto state = [&](std::size_t i) -> std::optional<std::string> {
      const auto it = after.find(writes_[i].name);
      if (it == after.end()) return std::nullopt;
      return it->second;
    };
    std::size_t k = 0;
    while (k < writes_.size() && state(k) == clean_.at(writes_[k].name)) ++k;
    if (k < writes_.size()) {
      const auto now = state(k);
      const bool unchanged = now == initial(k);
      const bool new_and_empty = !sentinels[k] && now == std::string();
      EXPECT_TRUE(unchanged || new_and_empty)
          << writes_[k].name << " is neither its old content nor empty-and-new: "
          << now.value_or("(absent)").substr(0, 200);
      if (in_flight && !sentinels[k]) {
        EXPECT_TRUE(new_and_empty) << writes_[k].name << " was opened, so it exists";
      }
    }
    for (std::size_t j = k + 1; j < writes_.size(); ++j)
      EXPECT_EQ(state(j), initial(j)) << writes_[j].name << " was touched after file " << k;
    for (const Write& w : writes_) after.erase(w.name);
    EXPECT_TRUE(after.empty()) << "unexpected file " << after.begin()->first;
    if (in_flight) {
      EXPECT_EQ(k, *in_flight) << "the run stopped elsewhere than expected";
    }
    return k;
  }

  // Temporary files anywhere in the working directory.
  static int temporaries_in(const fs::path& dir) {
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
      if (is_temporary_name(entry.path().filename().string())) ++count;
    return count;
  }

  static void expect_diagnostic(const Outcome& outcome, int channel, const std::string& file,
                                const std::string& cause = "") {
    EXPECT_EQ(outcome.status, 2) << outcome.err;
    EXPECT_NE(outcome.err.find("channel " + std::to_string(channel)), std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find(file), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(cause), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
  }

  fs::path work() const { return root_ / ("work-j" + std::to_string(GetParam())); }
  int end_at_random_moments(int signal_number, int runs);

  static inline std::uint64_t seed_ = 0;
  static inline fs::path root_;
  static inline std::vector<Write> writes_;
  static inline Tree clean_;
  static inline double clean_seconds_ = 0.0;
  std::mt19937_64 rng_;
};

TEST_P(FaultInjection, SeveralWorkersWriteWhatOneWrites) {
  prepare(work(), random_sentinels());
  const Outcome outcome = run_tool(work(), args());
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  Tree written = tree_of(work() / "coef");
  written.erase(kUnrelated);
  EXPECT_EQ(written, clean_);
}

// A file-size limit makes the first coefficient file's write fail at
// several points of the file.
TEST_P(FaultInjection, AWriteThatFailsPartWayKeepsTheOldFileWhole) {
  const std::size_t size = clean_.at(writes_[0].name).size();
  const rlim_t limits[] = {16, 17, static_cast<rlim_t>(size / 3), static_cast<rlim_t>(size / 2),
                           static_cast<rlim_t>(size - 1)};
  for (const rlim_t limit : limits) {
    for (const bool existed : {false, true}) {
      SCOPED_TRACE("limit " + std::to_string(limit) + (existed ? ", file existed" : ", new file"));
      std::vector<bool> sentinels = random_sentinels();
      sentinels[0] = existed;
      prepare(work(), sentinels);
      const Outcome outcome = run_tool(work(), args(), with_file_size_limit(limit));
      expect_diagnostic(outcome, 9, "coef/" + writes_[0].name, "File too large");
      check_state(work(), sentinels, 0, nullptr);
      EXPECT_EQ(temporaries_in(work()), 0);
    }
  }
}

TEST_P(FaultInjection, AMissingOrTruncatedTableAtARandomJobStopsThere) {
  for (int repetition = 0; repetition < 6; ++repetition) {
    // Jobs, not reference copies, read tables: pick a job's own file.
    std::size_t k = 0;
    do {
      k = rng_() % writes_.size();
    } while (writes_[k].name != writes_[k].table);
    const bool truncate = repetition % 2 == 1;
    const std::vector<bool> sentinels = random_sentinels();
    prepare(work(), sentinels);
    const fs::path table = work() / "pf" / writes_[k].table;
    std::string cut;
    if (truncate) {
      // Cut before the last row starts, so at most 497 rows remain.
      const std::string text = read_file(table);
      const std::size_t last_row = text.rfind('\n', text.size() - 2) + 1;
      cut = text.substr(0, rng_() % last_row);
      write_file(table, cut);
    } else {
      fs::remove(table);
    }
    SCOPED_TRACE((truncate ? "table cut to " + std::to_string(cut.size()) + " bytes at "
                           : std::string("missing table at ")) +
                 writes_[k].table);
    const Outcome outcome = run_tool(work(), args());
    expect_diagnostic(outcome, 8, "pf/" + writes_[k].table);
    check_state(work(), sentinels, k, nullptr);
    EXPECT_EQ(temporaries_in(work()), 0);
    if (truncate) {
      EXPECT_EQ(read_file(table), cut);
    }
  }
}

TEST_P(FaultInjection, AnOutputDirectoryThatIsAFileStopsAtTheFirstFile) {
  prepare(work(), {});
  fs::remove_all(work() / "coef");
  write_file(work() / "coef", kUnrelatedContent);
  const Outcome outcome = run_tool(work(), args());
  expect_diagnostic(outcome, 9, "coef/" + writes_[0].name, "Not a directory");
  EXPECT_EQ(read_file(work() / "coef"), kUnrelatedContent);
  EXPECT_EQ(temporaries_in(work()), 0);
}

// Ends runs with `signal_number` at random moments. Returns how many
// temporary files the runs left, and checks after each run that every
// coefficient file is whole (or untouched, or new and empty).
int FaultInjection::end_at_random_moments(int signal_number, int runs) {
  const double span = clean_seconds_ / GetParam() + 0.05;
  std::map<std::size_t, int> stopped_at;
  int leftovers = 0;
  for (int run = 0; run < runs; ++run) {
    const auto delay =
        std::chrono::duration<double>(span * static_cast<double>(rng_() % 1000) / 1000.0);
    SCOPED_TRACE("run " + std::to_string(run) + ", signal " + std::to_string(signal_number) +
                 " after " + std::to_string(delay.count()) + " s");
    const std::vector<bool> sentinels = random_sentinels();
    prepare(work(), sentinels);
    ToolRun child(work(), args());
    EXPECT_TRUE(child.started());
    if (!child.started()) break;
    std::this_thread::sleep_for(delay);
    child.kill(signal_number);
    const Outcome outcome = child.wait();
    // A run the signal missed has ended normally.
    if (outcome.signal == 0) {
      EXPECT_EQ(outcome.status, 0) << outcome.err;
    } else {
      EXPECT_EQ(outcome.signal, signal_number);
    }
    int temporaries = 0;
    const std::size_t k = check_state(work(), sentinels, std::nullopt, &temporaries);
    ++stopped_at[k];
    leftovers += temporaries;
    if (::testing::Test::HasFailure()) break;
  }
  std::cout << "-j " << GetParam() << ": " << runs << " runs ended by signal " << signal_number
            << "; files whole before it:";
  for (const auto& [k, count] : stopped_at) std::cout << ' ' << k << "x" << count;
  std::cout << "; temporary files left: " << leftovers << std::endl;
  return leftovers;
}

// Kills at random moments of a run. A kill between a temporary file's
// creation and its rename may leave that file (nothing can remove it), but
// never a coefficient file that is not whole.
TEST_P(FaultInjection, AKillAtAnyMomentLeavesOnlyWholeFiles) {
  end_at_random_moments(SIGKILL, setting("PHASEFIT_FAULT_KILLS", 10));
}

// An interrupt or a termination request ends the run as the signal does,
// but first removes the temporary file being written: only whole files and
// no temporary file remain.
TEST_P(FaultInjection, AnInterruptOrTerminationLeavesNoTemporaryFile) {
  const int runs = setting("PHASEFIT_FAULT_KILLS", 10) / 2;
  EXPECT_EQ(end_at_random_moments(SIGTERM, runs), 0);
  EXPECT_EQ(end_at_random_moments(SIGINT, runs), 0);
}

INSTANTIATE_TEST_SUITE_P(Workers, FaultInjection, ::testing::Values(1, 2),
                         [](const auto& param_info) {
                           return "j" + std::to_string(param_info.param);
                         });

}  // namespace
}  // namespace phasefit::testing
