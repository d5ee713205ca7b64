#include <array>
#include <cmath>
#include <cstddef>
#include <phasefit/fit.hpp>
#include <string>

#include "expansion/delta_fit.hpp"
#include "expansion/diagnostics.hpp"
#include "expansion/fault.hpp"
#include "expansion/fit_core.hpp"
#include "expansion/grid.hpp"
#include "expansion/moments.hpp"
#include "expansion/resample.hpp"
#include "expansion/table.hpp"
#include "numerics/sort.hpp"
#include "textio/edit.hpp"

namespace phasefit {
namespace detail {

struct ScratchData {
  expansion::FitWorkspace workspace;
};

}  // namespace detail

namespace expansion {
namespace {

std::string count_text(std::size_t count) { return std::to_string(count); }

void require_finite(std::span<const float> data, const char* what) {
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (!std::isfinite(data[i]))
      throw TableFault(std::string(what) + " " + count_text(i) + " is not finite (" +
                           format_value(data[i]) + ")",
                       static_cast<std::ptrdiff_t>(i));
  }
}

// Where the table's angles repeat `degrees`: the index (into the caller's
// arrays) of its second occurrence, the row a table without it would lack.
std::ptrdiff_t second_occurrence(std::span<const float> angles, AngleUnit unit, float degrees) {
  bool seen = false;
  for (std::size_t j = 0; j < angles.size(); ++j) {
    const float angle = unit == AngleUnit::cosines ? degrees_from_cosine(angles[j]) : angles[j];
    if (angle != degrees) continue;
    if (seen) return static_cast<std::ptrdiff_t>(j);
    seen = true;
  }
  return -1;
}

// A grid point with a zero phase value has every entry of its row of the
// design matrix divided by zero.
void require_nonzero_phase(const QuadratureGrid& grid,
                           std::span<const float, kGridPoints> phase_grid) {
  for (std::size_t i = 0; i < phase_grid.size(); ++i) {
    if (phase_grid[i] == 0.0f)
      throw TableFault("phase function is 0 at grid angle " + format_value(grid.theta_grid[i]) +
                       " degrees: the fit divides by it");
  }
}

void require_finite_result(const FitResult& result, int n) {
  if (!std::isfinite(result.ft))
    throw TableFault("the truncation factor ft is not finite (" + format_value(result.ft) + ")");
  for (int l = 0; l <= n; ++l) {
    const float value = result.coefficients[static_cast<std::size_t>(l)];
    if (!std::isfinite(value))
      throw TableFault("coefficient " + std::to_string(l) + " is not finite (" +
                       format_value(value) + ")");
  }
}

// Whether the coefficient file would show a field of asterisks: ft in F9.6
// or a coefficient in F12.7 too wide for its field. Values well inside the
// fields are passed over without formatting them.
bool any_field_overflows(const FitResult& result, int n) {
  if (std::abs(result.ft) >= 1.0f &&
      textio::edit_f(static_cast<double>(result.ft), 9, 6).find('*') != std::string::npos)
    return true;
  for (int l = 0; l <= n; ++l) {
    const float value = result.coefficients[static_cast<std::size_t>(l)];
    if (std::abs(value) >= 100.0f &&
        textio::edit_f(static_cast<double>(value), 12, 7).find('*') != std::string::npos)
      return true;
  }
  return false;
}

unsigned flags_of(const FitDiagnostics& d) {
  unsigned flags = 0;
  if (d.ft_outside_0_1) flags |= flag_ft_outside_0_1;
  if (d.negative_reconstruction) flags |= flag_negative_reconstruction;
  if (d.large_coefficient) flags |= flag_large_coefficient;
  if (d.extrapolated_points > 0) flags |= flag_extrapolated;
  if (d.renormalised) flags |= flag_renormalised;
  if (d.field_overflow) flags |= flag_field_overflow;
  return flags;
}

template <class T>
void grow(std::vector<T>& data, std::size_t size) {
  if (data.size() < size) data.resize(size);
}

}  // namespace

const FitPlan& fit_plan() {
  static const FitPlan plan = [] {
    FitPlan built;
    build_quadrature_grid(built.grid);
    built.apl.resize(static_cast<std::size_t>(kLegendreRows) * kGridPoints);
    fill_legendre_table(built.grid.mu_grid, kMaxOrder, built.apl);
    return built;
  }();
  return plan;
}

void fit_values(std::span<const float> angles, std::span<const float> values, int order,
                FitWorkspace& workspace, FitResult& result, const FitOptions& options,
                const numerics::PauseHandler& pause) {
  const int n = order;
  if (n < kMinOrder || n > kMaxOrder)
    throw TableFault("expansion order " + std::to_string(n) + " outside " +
                     std::to_string(kMinOrder) + ".." + std::to_string(kMaxOrder));
  const std::size_t rows = angles.size();
  if (values.size() != rows)
    throw TableFault("angles and values differ in extent (" + count_text(rows) + " and " +
                     count_text(values.size()) + ")");
  if (rows < kMinAngles)
    throw TableFault(count_text(rows) + " values: the spline needs at least " +
                     count_text(kMinAngles));
  if (rows > kMaxAngles)
    throw TableFault(count_text(rows) + " values: at most " + count_text(kMaxAngles) +
                     " are accepted");
  require_finite(angles, "angle");
  require_finite(values, "value");

  result = FitResult{};
  result.order = n;
  // Counts the pauses the handler returned from; the lambda is small
  // enough for std::function to hold it without allocating.
  const numerics::PauseHandler counted = [&pause, &result](std::string_view message) {
    pause(message);
    ++result.pauses;
  };

  grow(workspace.table_x, rows);
  grow(workspace.table_y, rows);
  grow(workspace.spline_work, 2 * rows);
  const std::span<float> table_x = std::span<float>(workspace.table_x).first(rows);
  const std::span<float> table_y = std::span<float>(workspace.table_y).first(rows);
  std::copy(angles.begin(), angles.end(), table_x.begin());
  std::copy(values.begin(), values.end(), table_y.begin());
  if (options.angle_unit == AngleUnit::cosines) convert_cosines_to_degrees(table_x);

  const FitPlan& plan = fit_plan();
  const QuadratureGrid& grid = plan.grid;
  FitDiagnostics* diagnostics = options.diagnostics ? &result.diagnostics : nullptr;

  numerics::sort2(static_cast<int>(rows), table_x, table_y, counted);
  // Two rows at one angle make an interval of zero width: the spline
  // divides by it and spreads infinities over the whole grid.
  if (const std::size_t i = first_repeated_abscissa(table_x); i != 0)
    throw TableFault("rows with equal angles (" + format_value(table_x[i]) +
                         " degrees): the spline is undefined",
                     second_occurrence(angles, options.angle_unit, table_x[i]));
  std::array<float, kGridPoints> phase_grid;
  resample_sorted(table_x, table_y, grid.theta_grid, phase_grid,
                  std::span<float>(workspace.spline_work).first(2 * rows), counted);
  if (diagnostics)
    diagnostics->extrapolated_points = count_extrapolated_points(table_x, grid.theta_grid);

  const auto orders = static_cast<std::size_t>(n) + 1;
  const std::span<float> moments = std::span<float>(result.moments).first(orders);
  const std::span<float> fitted = std::span<float>(result.fitted_coefficients).first(orders);
  const std::span<float> coefficients = std::span<float>(result.coefficients).first(orders);

  const float chi0 = calmom_on_table(phase_grid, grid.weight_grid, n, moments, plan.apl);
  if (diagnostics) {
    diagnostics->chi0_sum = chi0;
    diagnostics->renormalised = renormalisation_fires(chi0);
  }
  require_nonzero_phase(grid, phase_grid);

  calfit(phase_grid, n, moments, fitted, plan.apl, workspace, options.kernels, counted);

  if (fitted[static_cast<std::size_t>(n)] == 1.0f)
    throw TableFault("the truncation factor ft is 1: the rescaling divides by 1 - ft = 0");
  result.ft = rescale(fitted, n, coefficients);
  require_finite_result(result, n);

  result.resumed_after_pause = result.pauses > 0;
  if (diagnostics) {
    assess_fit(phase_grid, plan.apl, n, coefficients, result.ft, *diagnostics);
    diagnostics->field_overflow = any_field_overflows(result, n);
    result.flags = flags_of(*diagnostics);
  }
  if (result.resumed_after_pause) result.flags |= flag_resumed_after_pause;
}

}  // namespace expansion

std::span<const std::string_view> flag_names() {
  static constexpr std::array<std::string_view, 7> names = {
      "ft_outside_0_1", "negative_reconstruction", "large_coefficient",  "extrapolated",
      "renormalised",   "field_overflow",          "resumed_after_pause"};
  return names;
}

FitError::FitError(std::string cause, std::ptrdiff_t index)
    : std::runtime_error(cause), cause_(std::move(cause)), index_(index) {}

FitScratch::FitScratch() : data_(std::make_unique<detail::ScratchData>()) {}
FitScratch::~FitScratch() = default;
FitScratch::FitScratch(FitScratch&&) noexcept = default;
FitScratch& FitScratch::operator=(FitScratch&&) noexcept = default;

void fit(std::span<const float> angles, std::span<const float> values, int order,
         FitScratch& scratch, FitResult& result, const FitOptions& options) {
  const numerics::PauseHandler raise = [](std::string_view message) {
    throw FitError("numerical pause: " + std::string(message), -1);
  };
  const numerics::PauseHandler go = [](std::string_view) {};
  if (!scratch.data_) scratch.data_ = std::make_unique<detail::ScratchData>();
  try {
    expansion::fit_values(angles, values, order, scratch.data_->workspace, result, options,
                          options.on_pause == OnPause::go ? go : raise);
  } catch (const expansion::TableFault& fault) {
    throw FitError(fault.what(), fault.index());
  }
}

}  // namespace phasefit
