#pragma once
// phasefit as a library: the delta-fit expansion of one tabulated phase
// function, the same computation the phasefit tool runs for each job of a
// run, without its files.
//
//   phasefit::FitScratch scratch;   // one per thread, reused call after call
//   phasefit::FitResult result;
//   phasefit::fit(angles, values, 32, scratch, result);
//   // result.coefficients[0..32], result.ft, ...
//
// The table (any number of rows from kMinAngles to kMaxAngles, angles in
// any order) is resampled by a natural cubic spline onto a fixed
// 1000-point Gauss-Legendre grid; its Legendre moments chi_0..chi_N come
// from quadrature on that grid; chi_3..chi_(N-1) and the truncation factor
// ft are fitted by least squares (single-precision SVD), and the
// coefficients are rescaled as c_l = (fitted_l - ft) / (1 - ft). Every step
// runs in single precision in a fixed order, so a result is reproducible to
// the bit: for the 498 values of a table file it is the tool's job on that
// file, bit for bit.
//
// Nothing is printed and nothing is read from standard input. The constant
// data every call shares (the grid and its Legendre table) is built once
// per process, on first use, and only read afterwards; calls on different
// threads with different FitScratch objects are independent.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace phasefit {

inline constexpr int kMinOrder = 3;
inline constexpr int kMaxOrder = 300;
// Two rows are the fewest a natural cubic spline is defined on (it is the
// straight line through them then); the resampling and the checks accept
// any count from there up to kMaxAngles.
inline constexpr std::size_t kMinAngles = 2;
inline constexpr std::size_t kMaxAngles = 100000;

// degrees: angles in degrees, used as they are.
// cosines: cosines of the angles, each in [-1, 1], converted to degrees as
//   the tool converts a table of cosines: acos(x) * 180 / 3.1415925, each
//   step rounded to single precision. The library never guesses the unit.
enum class AngleUnit { degrees, cosines };

// What a numerical pause does (the SVD does not converge in 30 passes, or
// the spline meets an interval of zero width).
// raise: fit() throws FitError naming the pause.
// go: the computation carries on where it stopped, exactly as the tool
//   does with --on-pause=go, and the result says so (resumed_after_pause,
//   pauses and the flag of that name).
enum class OnPause { raise, go };

// Which SVD kernels solve the fit: the vectorised ones or the
// one-element-at-a-time reference loops. Both give the same bits; the
// reference ones are slower and serve as a check.
enum class Kernels { fast, reference };

struct FitOptions {
  AngleUnit angle_unit = AngleUnit::degrees;
  OnPause on_pause = OnPause::raise;
  // Compute FitResult::diagnostics and the flags (what the tool's --report
  // writes). Costs about one more pass over the grid; changes no bit of
  // the moments, coefficients or ft.
  bool diagnostics = false;
  Kernels kernels = Kernels::fast;
};

// How well the expansion represents the table: the columns of the tool's
// fit-quality report.
struct FitDiagnostics {
  // chi_0 summed over the grid before the moments were normalised (1 for a
  // normalised table).
  float chi0_sum = 0.0f;
  // |chi0_sum - 1| > 0.05: the resampled table was divided by chi0_sum
  // before the fit.
  bool renormalised = false;
  // Relative deviations (P_i - Pfit(mu_i)) / P_i of the rescaled expansion
  // from the resampled table over the 1000 grid points, in double: their
  // root mean square and the one of largest magnitude (signed).
  double rms_deviation = 0.0;
  double max_deviation = 0.0;
  // Grid points where the resampled table is below 0.
  std::int32_t negative_points = 0;
  // Grid points outside the table's range of angles, where the resampling
  // continues the end interval's cubic.
  std::int32_t extrapolated_points = 0;
  // ft < -5e-7 (a zero ft carries rounding noise below that) or ft >= 1.
  bool ft_outside_0_1 = false;
  // The rescaled series is below 0 at some grid point.
  bool negative_reconstruction = false;
  // Some |c_l| exceeds 10.
  bool large_coefficient = false;
  // The tool's coefficient file could not show ft (F9.6) or some c_l
  // (F12.7): that field would hold asterisks.
  bool field_overflow = false;
};

// Bit i of FitResult::flags is set when the i-th flag of flag_names()
// holds.
enum FitFlag : unsigned {
  flag_ft_outside_0_1 = 1u << 0,
  flag_negative_reconstruction = 1u << 1,
  flag_large_coefficient = 1u << 2,
  flag_extrapolated = 1u << 3,
  flag_renormalised = 1u << 4,
  flag_field_overflow = 1u << 5,
  flag_resumed_after_pause = 1u << 6,
};

// Indices 0..order of the arrays are set; the rest are 0.
struct FitResult {
  int order = 0;  // N
  // chi_0..chi_N, chi_0 = 1.
  std::array<float, kMaxOrder + 1> moments{};
  // Before rescaling, as the tool's job holds them: chi_0..chi_2 at 0..2,
  // the fitted coefficients of degrees 3..N-1, and ft at index N.
  std::array<float, kMaxOrder + 1> fitted_coefficients{};
  // Rescaled, c_0..c_N (c_0 = 1 and c_N = 0 exactly): what the tool's
  // coefficient file shows.
  std::array<float, kMaxOrder + 1> coefficients{};
  float ft = 0.0f;
  // OnPause::go carried on past at least one pause (`pauses` of them).
  bool resumed_after_pause = false;
  int pauses = 0;
  // Valid when FitOptions::diagnostics was set; zero otherwise.
  FitDiagnostics diagnostics{};
  // Bit i = the i-th name of flag_names() (see FitFlag). The flags that
  // come from the diagnostics are set only when they were asked for;
  // resumed_after_pause always.
  unsigned flags = 0;
};

// The names of the flags as the tool's report writes them, in its order:
// ft_outside_0_1, negative_reconstruction, large_coefficient, extrapolated,
// renormalised, field_overflow, resumed_after_pause.
std::span<const std::string_view> flag_names();

// What fit() refuses, with its cause: a non-finite angle or value, two
// equal angles (after conversion to degrees), an order outside
// kMinOrder..kMaxOrder, too few or too many values, angles and values of
// different extents, a cosine outside [-1, 1], a numerical pause under
// OnPause::raise, and a table the expansion cannot use (a zero phase
// value on the grid, a zero normalisation, ft = 1, a non-finite result).
// what() is the cause. Causes that name a row count rows from 1, as the
// tool's diagnostics for a table file do; index() counts from 0.
class FitError : public std::runtime_error {
 public:
  FitError(std::string cause, std::ptrdiff_t index);

  // The offending element's index into the caller's arrays (0-based), or
  // -1 where no single element is to blame.
  std::ptrdiff_t index() const { return index_; }
  const std::string& cause() const { return cause_; }

 private:
  std::string cause_;
  std::ptrdiff_t index_;
};

namespace detail {
struct ScratchData;
}

// The work arrays of fit() (about 5 MB, plus 12 bytes per table row): one
// per thread. It grows to the largest table it has seen; from then on a
// call allocates nothing. A moved-from scratch starts afresh when used.
class FitScratch {
 public:
  FitScratch();
  ~FitScratch();
  FitScratch(FitScratch&&) noexcept;
  FitScratch& operator=(FitScratch&&) noexcept;
  FitScratch(const FitScratch&) = delete;
  FitScratch& operator=(const FitScratch&) = delete;

 private:
  friend void fit(std::span<const float> angles, std::span<const float> values, int order,
                  FitScratch& scratch, FitResult& result, const FitOptions& options);

  std::unique_ptr<detail::ScratchData> data_;
};

// Fits one tabulated phase function to order `order` (kMinOrder..
// kMaxOrder). angles and values have the same extent, kMinAngles..
// kMaxAngles; the angles may come in any order (they are sorted with their
// values in the scratch; the caller's arrays are only read). The values
// need not be normalised. `result` is overwritten whole on success; after
// a FitError its content is unspecified. Throws FitError (see above); a
// scratch that must grow may throw std::bad_alloc.
//
// For 498 values the result is bit for bit the tool's job on a table file
// holding the same values, in the same unit.
void fit(std::span<const float> angles, std::span<const float> values, int order,
         FitScratch& scratch, FitResult& result, const FitOptions& options = {});

}  // namespace phasefit
