// phasefit._fit: the library's fit of one phase function, run over a batch
// of them on worker threads, and the tool's coefficient-file writer. The
// Python package (phasefit/fit.py) shapes arrays into the batch this module
// takes and the Dataset it returns; this file only computes.
//
// A batch is `values` (items x angles, float32, C order) with `angles`
// either shared (1 x angles) or one row per item. The GIL is released while
// the fits run. Each worker owns a FitScratch and a FitResult and takes the
// next item from a shared counter; an item's results depend on its own
// values only, so the arrays come out the same for every worker count.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <phasefit/fit.hpp>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "driver/coefficient_file.hpp"
#include "expansion/job_result.hpp"

namespace py = pybind11;

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// The first failure of a batch, by item index: whatever the workers' order,
// the item reported is the lowest one that fails.
struct BatchFailure {
  std::size_t item = 0;
  std::ptrdiff_t value_index = -1;
  std::string cause;
  bool fit_error = true;  // false: not a refusal of the input (memory, ...)
};

class FirstFailure {
 public:
  explicit FirstFailure(std::size_t items) : bound_(items) {}
  // Items above a failure need not be fitted: they cannot be the first.
  bool beyond(std::size_t item) const { return item > bound_.load(std::memory_order_relaxed); }
  void record(BatchFailure failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_ || failure.item < failure_->item) {
      bound_.store(failure.item, std::memory_order_relaxed);
      failure_ = std::move(failure);
    }
  }
  const std::optional<BatchFailure>& failure() const { return failure_; }

 private:
  std::atomic<std::size_t> bound_;
  std::mutex mutex_;
  std::optional<BatchFailure> failure_;
};

// Output arrays of a batch, filled row by row by the workers.
struct BatchOutput {
  BatchOutput(std::size_t items, int order, bool diagnostics)
      : moments({items, static_cast<std::size_t>(order) + 1}),
        fitted_coefficients({items, static_cast<std::size_t>(order) + 1}),
        coefficients({items, static_cast<std::size_t>(order) + 1}),
        ft(items),
        flags(items),
        pauses(items),
        chi0_sum(diagnostics ? items : 0),
        rms_deviation(diagnostics ? items : 0),
        max_deviation(diagnostics ? items : 0),
        negative_points(diagnostics ? items : 0),
        extrapolated_points(diagnostics ? items : 0) {}

  py::array_t<float> moments, fitted_coefficients, coefficients, ft;
  py::array_t<std::int32_t> flags, pauses;
  py::array_t<float> chi0_sum;
  py::array_t<double> rms_deviation, max_deviation;
  py::array_t<std::int32_t> negative_points, extrapolated_points;
};

// Raw pointers into BatchOutput, taken while the GIL is held.
struct OutputRows {
  explicit OutputRows(BatchOutput& out)
      : moments(out.moments.mutable_data()),
        fitted_coefficients(out.fitted_coefficients.mutable_data()),
        coefficients(out.coefficients.mutable_data()),
        ft(out.ft.mutable_data()),
        flags(out.flags.mutable_data()),
        pauses(out.pauses.mutable_data()),
        chi0_sum(out.chi0_sum.mutable_data()),
        rms_deviation(out.rms_deviation.mutable_data()),
        max_deviation(out.max_deviation.mutable_data()),
        negative_points(out.negative_points.mutable_data()),
        extrapolated_points(out.extrapolated_points.mutable_data()) {}

  void store(std::size_t item, const phasefit::FitResult& result, bool diagnostics) const {
    const auto count = static_cast<std::size_t>(result.order) + 1;
    const std::size_t row = item * count;
    std::copy_n(result.moments.begin(), count, moments + row);
    std::copy_n(result.fitted_coefficients.begin(), count, fitted_coefficients + row);
    std::copy_n(result.coefficients.begin(), count, coefficients + row);
    ft[item] = result.ft;
    flags[item] = static_cast<std::int32_t>(result.flags);
    pauses[item] = result.pauses;
    if (diagnostics) {
      const phasefit::FitDiagnostics& d = result.diagnostics;
      chi0_sum[item] = d.chi0_sum;
      rms_deviation[item] = d.rms_deviation;
      max_deviation[item] = d.max_deviation;
      negative_points[item] = d.negative_points;
      extrapolated_points[item] = d.extrapolated_points;
    }
  }

  float *moments, *fitted_coefficients, *coefficients, *ft;
  std::int32_t *flags, *pauses;
  float* chi0_sum;
  double *rms_deviation, *max_deviation;
  std::int32_t *negative_points, *extrapolated_points;
};

// fit_batch(angles, values, order, cosines, go, diagnostics, workers,
//           reference_kernels) -> (dict of arrays, failure or None)
// failure: (item, value index or -1, cause, refused) where refused tells a
// refusal of the input (FitError) from any other failure.
py::tuple fit_batch(const FloatArray& angles, const FloatArray& values, int order, bool cosines,
                    bool go, bool diagnostics, int workers, bool reference_kernels) {
  if (values.ndim() != 2 || angles.ndim() != 2)
    throw std::invalid_argument("fit_batch: angles and values must be 2-D");
  const auto items = static_cast<std::size_t>(values.shape(0));
  const auto points = static_cast<std::size_t>(values.shape(1));
  const auto angle_rows = static_cast<std::size_t>(angles.shape(0));
  if (static_cast<std::size_t>(angles.shape(1)) != points ||
      (angle_rows != 1 && angle_rows != items))
    throw std::invalid_argument("fit_batch: angles must have 1 or as many rows as values");

  phasefit::FitOptions options;
  options.angle_unit = cosines ? phasefit::AngleUnit::cosines : phasefit::AngleUnit::degrees;
  options.on_pause = go ? phasefit::OnPause::go : phasefit::OnPause::raise;
  options.diagnostics = diagnostics;
  options.kernels = reference_kernels ? phasefit::Kernels::reference : phasefit::Kernels::fast;

  // The library refuses an order outside its range, naming it, for every
  // item; the arrays are only sized to hold what it could return.
  BatchOutput out(items, std::clamp(order, 0, phasefit::kMaxOrder), diagnostics);
  const OutputRows rows(out);
  const float* angle_data = angles.data();
  const float* value_data = values.data();
  FirstFailure first(items);
  std::atomic<std::size_t> next{0};

  // Nothing may leave a worker thread: a scratch that cannot be allocated
  // ends the batch with that cause, like a refusal of the first item left.
  auto work = [&] {
    std::size_t item = 0;
    try {
      phasefit::FitScratch scratch;
      phasefit::FitResult result;
      for (;;) {
        item = next.fetch_add(1, std::memory_order_relaxed);
        if (item >= items || first.beyond(item)) return;
        const std::span<const float> angle_row(angle_data + (angle_rows == 1 ? 0 : item * points),
                                               points);
        const std::span<const float> value_row(value_data + item * points, points);
        try {
          phasefit::fit(angle_row, value_row, order, scratch, result, options);
          rows.store(item, result, diagnostics);
        } catch (const phasefit::FitError& error) {
          first.record({item, error.index(), error.cause(), true});
        }
      }
    } catch (const std::exception& error) {
      first.record({item, -1, error.what(), false});
    } catch (...) {
      first.record({item, -1, "unknown failure", false});
    }
  };

  {
    py::gil_scoped_release release;
    const auto threads = static_cast<std::size_t>(std::max(1, workers));
    const std::size_t started = std::min(threads, std::max<std::size_t>(items, 1));
    std::vector<std::thread> pool;
    try {
      for (std::size_t t = 1; t < started; ++t) pool.emplace_back(work);
    } catch (const std::system_error&) {
      // Fewer threads than asked for give the same results, only later.
    }
    work();
    for (std::thread& thread : pool) thread.join();
  }

  py::dict arrays;
  arrays["moments"] = out.moments;
  arrays["fitted_coefficients"] = out.fitted_coefficients;
  arrays["coefficients"] = out.coefficients;
  arrays["ft"] = out.ft;
  arrays["flags"] = out.flags;
  arrays["pauses"] = out.pauses;
  if (diagnostics) {
    arrays["chi0_sum"] = out.chi0_sum;
    arrays["rms_deviation"] = out.rms_deviation;
    arrays["max_deviation"] = out.max_deviation;
    arrays["negative_points"] = out.negative_points;
    arrays["extrapolated_points"] = out.extrapolated_points;
  }
  py::object failure = py::none();
  if (const auto& f = first.failure())
    failure = py::make_tuple(f->item, f->value_index, f->cause, f->fit_error);
  return py::make_tuple(arrays, failure);
}

// The tool's coefficient file for one fitted phase function, as text.
std::string coefficient_file(int order, float ce, float omega0, float g, float ft,
                             const FloatArray& coefficients) {
  if (order < phasefit::kMinOrder || order > phasefit::kMaxOrder)
    throw std::invalid_argument("coefficient_file: order " + std::to_string(order) + " outside " +
                                std::to_string(phasefit::kMinOrder) + ".." +
                                std::to_string(phasefit::kMaxOrder));
  if (coefficients.ndim() != 1 || coefficients.shape(0) != order + 1)
    throw std::invalid_argument("coefficient_file: " + std::to_string(order + 1) +
                                " coefficients needed");
  phasefit::expansion::JobResult result;
  std::copy_n(coefficients.data(), order + 1, result.coefficients.begin());
  result.ft = ft;
  result.ce = ce;
  result.omega0 = omega0;
  result.g = g;
  result.f_delta = 0.0f;
  return phasefit::driver::format_coefficient_file(order, result);
}

}  // namespace

PYBIND11_MODULE(_fit, m) {
  m.doc() = "phasefit's fit over a batch of phase functions (used by phasefit.fit)";
  m.attr("MIN_ORDER") = phasefit::kMinOrder;
  m.attr("MAX_ORDER") = phasefit::kMaxOrder;
  m.attr("MIN_ANGLES") = phasefit::kMinAngles;
  m.attr("MAX_ANGLES") = phasefit::kMaxAngles;
  std::vector<std::string> names;
  for (const std::string_view name : phasefit::flag_names()) names.emplace_back(name);
  m.attr("FLAG_NAMES") = py::tuple(py::cast(names));
  m.def("fit_batch", &fit_batch, py::arg("angles"), py::arg("values"), py::arg("order"),
        py::arg("cosines"), py::arg("go"), py::arg("diagnostics"), py::arg("workers"),
        py::arg("reference_kernels") = false);
  m.def("coefficient_file", &coefficient_file, py::arg("order"), py::arg("ce"), py::arg("omega0"),
        py::arg("g"), py::arg("ft"), py::arg("coefficients"));
}
