// phasefit::fit, the library's way in, against the tool's job on the same
// tables: the same bits, the same refusals, the same pause policy.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <numbers>
#include <phasefit/fit.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "expansion/bfit.hpp"
#include "expansion/table.hpp"
#include "expansion_test_util.hpp"
#include "numerics/test_util.hpp"

// Counts the allocations of the whole program, so that a test can tell
// whether a call allocated.
namespace {
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace phasefit {
namespace {

namespace fs = std::filesystem;
using phasefit::testing::bits;
using phasefit::testing::ScratchDir;
using phasefit::testing::write_text;

const fs::path kRoot = fs::path(PHASEFIT_TEST_DATA) / ".." / "..";

// Evenly spaced Henyey-Greenstein table in degrees, as text. At g = 0.85
// and N = 300 the SVD misses convergence once.
std::string hg_table_text(double g) {
  std::ostringstream text;
  text << "10 0.55 0\n2.1 0.99 " << g << "\n";
  text.precision(9);
  for (int i = 0; i < 498; ++i) {
    const double theta = 180.0 * i / 497.0;
    const double mu = std::cos(theta * std::numbers::pi / 180.0);
    text << theta << ' ' << (1.0 - g * g) / std::pow(1.0 + g * g - 2.0 * g * mu, 1.5) << '\n';
  }
  return text.str();
}

// The tool's job on `path` (pauses resumed, as --on-pause=go) and
// phasefit::fit on the values the table reader read from it (OnPause::go),
// both with diagnostics; every array, ft, the diagnostics and the pause
// count must agree bit for bit.
void expect_fit_is_the_job(const std::string& path, int n, expansion::FitWorkspace& workspace,
                           FitScratch& scratch) {
  SCOPED_TRACE(path + " at N = " + std::to_string(n));
  int job_pauses = 0;
  expansion::JobResult job;
  FitDiagnostics job_diagnostics;
  expansion::bfit(
      path, n, job, workspace, [&](std::string_view) { ++job_pauses; }, &job_diagnostics);

  expansion::PhaseTable table;
  expansion::read_phase_table(path, table);
  FitOptions options;
  options.angle_unit =
      expansion::holds_cosines(table.angle) ? AngleUnit::cosines : AngleUnit::degrees;
  options.on_pause = OnPause::go;
  options.diagnostics = true;
  FitResult result;
  fit(table.angle, table.phase, n, scratch, result, options);

  EXPECT_EQ(result.order, n);
  for (std::size_t l = 0; l <= static_cast<std::size_t>(n); ++l) {
    ASSERT_EQ(bits(result.moments[l]), bits(job.moments[l])) << "moment " << l;
    ASSERT_EQ(bits(result.fitted_coefficients[l]), bits(job.fitted_coefficients[l])) << l;
    ASSERT_EQ(bits(result.coefficients[l]), bits(job.coefficients[l])) << "coefficient " << l;
  }
  EXPECT_EQ(bits(result.ft), bits(job.ft));
  EXPECT_EQ(result.pauses, job_pauses);
  const FitDiagnostics& d = result.diagnostics;
  EXPECT_EQ(bits(d.chi0_sum), bits(job_diagnostics.chi0_sum));
  EXPECT_EQ(d.rms_deviation, job_diagnostics.rms_deviation);
  EXPECT_EQ(d.max_deviation, job_diagnostics.max_deviation);
  EXPECT_EQ(d.negative_points, job_diagnostics.negative_points);
  EXPECT_EQ(d.extrapolated_points, job_diagnostics.extrapolated_points);
}

std::vector<std::string> tables_in(const fs::path& dir) {
  std::vector<std::string> paths;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().extension() == ".dat") paths.push_back(entry.path().string());
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(Fit, GivesTheBitsOfTheToolsJobOnEveryExampleAndRealTable) {
  std::vector<std::string> paths = tables_in(kRoot / "examples" / "tables");
  const fs::path real = kRoot / ".." / "shared" / "data" / "real" / "tables";
  if (fs::is_directory(real)) {
    for (std::string& path : tables_in(real)) paths.push_back(std::move(path));
  } else {
    std::cout << "[ SKIPPED  ] the real tables: " << real.string() << " is absent\n";
  }
  auto workspace = std::make_unique<expansion::FitWorkspace>();
  FitScratch scratch;
  for (const std::string& path : paths)
    for (int n : {16, 64, 300}) expect_fit_is_the_job(path, n, *workspace, scratch);
}

// A Henyey-Greenstein function tabulated at `count` angles (degrees,
// descending, so that the fit must sort them), at most 180 apart.
struct Tabulated {
  std::vector<float> angles;
  std::vector<float> values;
};
Tabulated hg_tabulated(double g, std::size_t count) {
  Tabulated t;
  for (std::size_t i = 0; i < count; ++i) {
    const double theta = 180.0 - 180.0 * static_cast<double>(i) / static_cast<double>(count - 1);
    const double mu = std::cos(theta * std::numbers::pi / 180.0);
    t.angles.push_back(static_cast<float>(theta));
    t.values.push_back(
        static_cast<float>((1.0 - g * g) / std::pow(1.0 + g * g - 2.0 * g * mu, 1.5)));
  }
  return t;
}

TEST(Fit, AnyCountOfAnglesInAnyOrderFitsTheFunctionAndAllocatesNothingOnceGrown) {
  const double g = 0.7;
  long before = allocations.load();
  FitScratch scratch;
  EXPECT_GT(allocations.load() - before, 0);  // the counter sees the scratch
  FitResult result;
  // The moments of a Henyey-Greenstein function are g^l; the resampling of
  // a sparse table misses them by more (two rows make a straight line: the
  // fit only has to run).
  const struct {
    std::size_t count;
    double tolerance;
  } cases[] = {{kMinAngles, 2.0}, {181, 2e-3}, {594, 2e-4}, {1801, 1e-4}, {kMaxAngles, 1e-4}};
  for (const auto& c : cases) {
    const Tabulated t = hg_tabulated(g, c.count);
    fit(t.angles, t.values, 32, scratch, result);
    for (int l = 1; l <= 32; ++l)
      EXPECT_NEAR(result.moments[static_cast<std::size_t>(l)], std::pow(g, l), c.tolerance)
          << c.count << " angles, l = " << l;
  }

  // The order of the rows plays no part, nor does a scratch that grew on a
  // larger table; and with the scratch grown nothing is allocated.
  Tabulated t = hg_tabulated(g, 1801);
  FitResult descending;
  fit(t.angles, t.values, 64, scratch, descending);
  std::reverse(t.angles.begin(), t.angles.end());
  std::reverse(t.values.begin(), t.values.end());
  FitOptions options;
  options.diagnostics = true;
  before = allocations.load();
  fit(t.angles, t.values, 64, scratch, result, options);
  EXPECT_EQ(allocations.load() - before, 0);
  for (std::size_t l = 0; l <= 64; ++l)
    ASSERT_EQ(bits(result.coefficients[l]), bits(descending.coefficients[l])) << l;
  EXPECT_EQ(result.flags, 0u);
}

TEST(Fit, RefusesBadInputNamingTheCauseAndIndex) {
  struct Case {
    const char* name;
    void (*spoil)(Tabulated&, int& order, AngleUnit& unit);
    std::string cause;
    std::ptrdiff_t index;
  };
  const Case cases[] = {
      {"NaN value",
       [](Tabulated& t, int&, AngleUnit&) {
         t.values[7] = std::numeric_limits<float>::quiet_NaN();
       },
       "value 7 is not finite (nan)", 7},
      {"infinite angle",
       [](Tabulated& t, int&, AngleUnit&) {
         t.angles[3] = -std::numeric_limits<float>::infinity();
       },
       "angle 3 is not finite (-inf)", 3},
      {"equal angles", [](Tabulated& t, int&, AngleUnit&) { t.angles[40] = t.angles[20]; },
       "equal angles", 40},
      {"order 2", [](Tabulated&, int& n, AngleUnit&) { n = 2; }, "order 2 outside 3..300", -1},
      {"order 301", [](Tabulated&, int& n, AngleUnit&) { n = 301; }, "order 301", -1},
      {"one value",
       [](Tabulated& t, int&, AngleUnit&) {
         t.angles.resize(1);
         t.values.resize(1);
       },
       "1 values: the spline needs at least 2", -1},
      {"extents differ", [](Tabulated& t, int&, AngleUnit&) { t.values.pop_back(); },
       "differ in extent", -1},
      {"cosine out of range",
       [](Tabulated& t, int&, AngleUnit& unit) {
         for (float& a : t.angles) a = std::cos(a * std::numbers::pi_v<float> / 180.0f);
         t.angles[5] = 1.5f;
         unit = AngleUnit::cosines;
       },
       "row 6: cosine 1.5 outside [-1, 1]", 5},
      {"zero phase value everywhere",
       [](Tabulated& t, int&, AngleUnit&) { std::fill(t.values.begin(), t.values.end(), 0.0f); },
       "normalisation (summed chi0) is 0", -1},
  };
  FitScratch scratch;
  for (const Case& c : cases) {
    Tabulated t = hg_tabulated(0.5, 181);
    int order = 16;
    AngleUnit unit = AngleUnit::degrees;
    c.spoil(t, order, unit);
    FitResult result;
    FitOptions options;
    options.angle_unit = unit;
    try {
      fit(t.angles, t.values, order, scratch, result, options);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const FitError& error) {
      EXPECT_NE(error.cause().find(c.cause), std::string::npos) << c.name << ": " << error.what();
      EXPECT_EQ(error.index(), c.index) << c.name;
    }
  }
}

TEST(Fit, NonConvergenceRaisesOrGoesOnAsTheToolDoes) {
  ScratchDir dir;
  const std::string path = dir.file("hg085.dat");
  write_text(path, hg_table_text(0.85));
  expansion::PhaseTable table;
  expansion::read_phase_table(path, table);
  FitScratch scratch;
  FitResult result;
  try {
    fit(table.angle, table.phase, 300, scratch, result);
    ADD_FAILURE() << "no pause";
  } catch (const FitError& error) {
    EXPECT_EQ(error.cause(), "numerical pause: no convergence in svdcmp");
    EXPECT_EQ(error.index(), -1);
  }
  auto workspace = std::make_unique<expansion::FitWorkspace>();
  expect_fit_is_the_job(path, 300, *workspace, scratch);
  FitOptions go;
  go.on_pause = OnPause::go;
  fit(table.angle, table.phase, 300, scratch, result, go);
  EXPECT_EQ(result.pauses, 1);
  EXPECT_TRUE(result.resumed_after_pause);
  EXPECT_EQ(result.flags, unsigned{flag_resumed_after_pause});
  EXPECT_EQ(flag_names()[6], "resumed_after_pause");
}

}  // namespace
}  // namespace phasefit
