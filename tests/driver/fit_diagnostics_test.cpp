// The fit diagnostics that bfit fills for the report: asking for them
// changes no bit of the result, each quantity means what the report says,
// and the report's flags column raises what a table's fit needs to be told.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "driver/coefficient_file.hpp"
#include "driver/report.hpp"
#include "driver/test_files.hpp"
#include "expansion/bfit.hpp"
#include "expansion/diagnostics.hpp"
#include "expansion/grid.hpp"
#include "expansion/moments.hpp"
#include "textio/edit.hpp"

namespace phasefit {
namespace {

namespace fs = std::filesystem;
using expansion::FitDiagnostics;
using expansion::kGridPoints;

using testing::hg_table_text;

class FitDiagnosticsTest : public testing::TempDirTest<> {
 protected:
  FitDiagnosticsTest() : TempDirTest("diag") {}
  std::string table(const std::string& name, const std::string& text) {
    const fs::path path = root_ / name;
    testing::write_file(path, text);
    return path.string();
  }
};

const numerics::PauseHandler kResume = [](std::string_view) {};

std::vector<std::uint32_t> bits(const expansion::JobResult& r) {
  std::vector<std::uint32_t> all;
  for (const auto* array : {&r.moments, &r.fitted_coefficients, &r.coefficients})
    for (float v : *array) all.push_back(std::bit_cast<std::uint32_t>(v));
  for (float v : {r.ft, r.ce, r.omega0, r.g, r.f_delta})
    all.push_back(std::bit_cast<std::uint32_t>(v));
  return all;
}

TEST_F(FitDiagnosticsTest, AskingForThemChangesNoBitOfTheResult) {
  auto workspace = std::make_unique<expansion::FitWorkspace>();
  struct Case {
    const char* what;
    double g, scale;
    int n;
    bool renormalised;
  };
  const Case cases[] = {
      {"normalised, N = 16", 0.7, 1.0, 16, false},
      {"twice the normalisation, N = 16", 0.7, 2.0, 16, true},
      {"normalised, N = 300", 0.6, 1.0, 300, false},
      {"just inside the tolerance", 0.5, 1.04, 8, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = table("t.dat", hg_table_text(c.g, 498, c.scale));
    expansion::JobResult plain;
    expansion::bfit(path, c.n, plain, *workspace, kResume);
    expansion::JobResult with;
    FitDiagnostics diagnostics;
    expansion::bfit(path, c.n, with, *workspace, kResume, &diagnostics);
    EXPECT_EQ(bits(with), bits(plain));
    EXPECT_NEAR(diagnostics.chi0_sum, c.scale, 0.01 * c.scale);
    EXPECT_EQ(diagnostics.renormalised, c.renormalised);
    EXPECT_EQ(diagnostics.negative_points, 0);
    EXPECT_EQ(diagnostics.ft_outside_0_1,
              !(static_cast<double>(with.ft) >= -expansion::kFtRoundingNoise && with.ft < 1.0f))
        << with.ft;
    EXPECT_GT(diagnostics.rms_deviation, 0.0);
    EXPECT_LT(diagnostics.rms_deviation, 0.05);
    EXPECT_LE(diagnostics.rms_deviation, std::abs(diagnostics.max_deviation));
  }
}

// The isotropic phase function on the grid, its exact expansion, and the
// grid's Legendre table.
struct Isotropic {
  expansion::QuadratureGrid grid;
  std::array<float, kGridPoints> phase;
  std::vector<float> apl = std::vector<float>(expansion::kLegendreRows * kGridPoints);
  std::array<float, 9> coefficients{1.0f};
  static constexpr int n = 8;
  Isotropic() {
    expansion::build_quadrature_grid(grid);
    phase.fill(1.0f);
    expansion::fill_legendre_table(grid.mu_grid, n, apl);
  }
  FitDiagnostics assess(float ft) const {
    FitDiagnostics d;
    expansion::assess_fit(phase, apl, n, coefficients, ft, d);
    return d;
  }
};

TEST(AssessFit, EachQuantityAndFlagMeansWhatTheReportSays) {
  Isotropic iso;
  FitDiagnostics d = iso.assess(0.0f);
  EXPECT_EQ(d.rms_deviation, 0.0);
  EXPECT_EQ(d.max_deviation, 0.0);
  EXPECT_FALSE(d.ft_outside_0_1 || d.negative_reconstruction || d.large_coefficient);

  // (1 - ft) scales the expansion: every relative deviation is ft.
  d = iso.assess(0.25f);
  EXPECT_NEAR(d.rms_deviation, 0.25, 1e-12);
  EXPECT_NEAR(d.max_deviation, 0.25, 1e-12);
  for (float ft : {-0.01f, 1.0f, 1.5f}) EXPECT_TRUE(iso.assess(ft).ft_outside_0_1) << ft;
  EXPECT_FALSE(iso.assess(0.999f).ft_outside_0_1);
  // Below 0 only by rounding noise is 0: the flag is raised exactly when the
  // file's F9.6 shows ft below zero.
  const float bound = -5e-7f;
  for (float ft : {-1.3e-8f, std::nextafter(bound, 0.0f), bound, std::nextafter(bound, -1.0f)}) {
    const std::string shown = textio::edit_f(static_cast<double>(ft), 9, 6);
    EXPECT_EQ(iso.assess(ft).ft_outside_0_1, shown != "-0.000000") << ft << " shown " << shown;
  }
  EXPECT_TRUE(iso.assess(std::nextafter(bound, -1.0f)).ft_outside_0_1);

  // 1 + 3 c1 mu is negative in the backward hemisphere for c1 > 1/3.
  iso.coefficients[1] = 0.5f;
  EXPECT_TRUE(iso.assess(0.0f).negative_reconstruction);
  iso.coefficients[1] = 0.3f;
  EXPECT_FALSE(iso.assess(0.0f).negative_reconstruction);

  iso.coefficients[1] = 0.0f;
  iso.coefficients[5] = -10.5f;
  EXPECT_TRUE(iso.assess(0.0f).large_coefficient);
  iso.coefficients[5] = 10.0f;
  EXPECT_FALSE(iso.assess(0.0f).large_coefficient);
  // c_N counts too, although the series stops at N - 1.
  iso.coefficients[5] = 0.0f;
  iso.coefficients[8] = 11.0f;
  EXPECT_TRUE(iso.assess(0.0f).large_coefficient);

  iso.coefficients[8] = 0.0f;
  iso.phase[10] = -1.0f;
  iso.phase[20] = -2.0f;
  d = iso.assess(0.0f);
  EXPECT_EQ(d.negative_points, 2);
  EXPECT_EQ(d.max_deviation, 2.0);  // (-1 - 1) / -1, larger than (-2 - 1) / -2
}

// A table of 498 rows: row i at angle(i) degrees (or its cosine) with the
// value phase(angle) there.
std::string table_text(const std::function<double(int)>& angle,
                       const std::function<double(double)>& phase, bool cosines = false) {
  return testing::table_text("10 0.55 0\n2.1 0.99 0.7\n", expansion::kTableRows, angle, phase,
                             cosines);
}

double hg(double g, double theta) {
  return testing::henyey_greenstein(g, std::cos(theta * std::numbers::pi / 180.0));
}

TEST_F(FitDiagnosticsTest, TheFlagsColumnNamesWhatTheFitOfATableNeedsToTell) {
  expansion::QuadratureGrid grid;
  expansion::build_quadrature_grid(grid);
  std::int32_t below_one_degree = 0;
  for (float theta : grid.theta_grid) below_one_degree += theta < 1.0f ? 1 : 0;
  ASSERT_GT(below_one_degree, 0);

  const auto spanning = [](int i) { return 180.0 * i / 497.0; };
  const auto broad = [](double theta) { return hg(0.1, theta); };
  struct Case {
    const char* what;
    std::string text;
    std::int32_t extrapolated_points;
    const char* flags;
  };
  const Case cases[] = {
      // Without a forward peak ft is 0 give or take rounding: here -4e-8.
      {"Henyey-Greenstein g = 0.1, no peak to truncate", table_text(spanning, broad), 0, "-"},
      {"g = 0.1 in cosines from 1 to -1", table_text(spanning, broad, true), 0, "-"},
      {"twice the normalisation", table_text(spanning, [&](double t) { return 2.0 * broad(t); }), 0,
       "renormalised"},
      // The grid's backward hemisphere lies beyond the table's last angle.
      {"squeezed into 0 to 90 degrees",
       table_text([](int i) { return 90.0 * i / 497.0; },
                  [](double t) { return hg(0.7, 2.0 * t); }),
       500, "negative_reconstruction,extrapolated,renormalised"},
      {"starting at 1 degree", table_text([](int i) { return 1.0 + 179.0 * i / 497.0; }, broad),
       below_one_degree, "extrapolated"},
      // ft = -31.6 is too wide for F9.6: record 9 starts with asterisks.
      {"-3200 below 2 degrees",
       table_text(spanning, [](double t) { return t < 2.0 ? -3200.0 : hg(0.7, t); }), 0,
       "ft_outside_0_1,renormalised,field_overflow"},
  };
  auto workspace = std::make_unique<expansion::FitWorkspace>();
  const fs::path report_path = root_ / "report.tsv";
  driver::FitReport report(report_path.string());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = table("t.dat", c.text);
    expansion::JobResult result;
    FitDiagnostics diagnostics;
    expansion::bfit(path, 16, result, *workspace, kResume, &diagnostics);
    EXPECT_EQ(diagnostics.extrapolated_points, c.extrapolated_points);
    const std::string content = driver::format_coefficient_file(16, result);
    report.job_written(driver::Job{path, "out.dat", {}, "B07", 10, "t.dat"}, 16, result,
                       diagnostics, false, driver::holds_overflowed_field(content));
    const std::vector<std::string> rows = testing::lines_of(testing::read_file(report_path));
    // The flags are the third column from the end (status and job follow).
    const std::string& row = rows.back();
    const auto status_start = row.rfind('\t', row.rfind('\t') - 1);
    const auto flags_start = row.rfind('\t', status_start - 1) + 1;
    EXPECT_EQ(row.substr(flags_start, status_start - flags_start), c.flags)
        << "ft " << result.ft << '\n'
        << content;
  }
}

}  // namespace
}  // namespace phasefit
