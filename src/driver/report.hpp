#pragma once
// The fit-quality report (--report FILE): a tab-separated table with a
// header row and one row per job, in job order, written and flushed as each
// job is committed so that it survives a run that ends early. Columns:
//
//   spectral_label  the job's label (0p55, B07, ...)
//   size            the particle size from the size list
//   data_file       the data-file name shared by table and coefficient file
//   N               the expansion order
//   ft              the truncation factor (shortest text that reads back as
//                   the single-precision value)
//   chi0_sum        chi0 summed over the grid before normalisation
//   renormalised    yes when phase_grid was divided by chi0_sum, else no
//   rms_deviation   root mean square of the relative deviations
//                   (P_i - Pfit(mu_i)) / P_i over the 1000 grid points
//   max_deviation   the relative deviation of largest magnitude (signed)
//   negative_points grid points where phase_grid < 0
//   flags           comma-separated, or "-":
//                     ft_outside_0_1  ft < -5e-7 (what F9.6 shows as
//                       -0.000001 or less; values closer to 0 are the
//                       rounding noise of a zero ft) or ft >= 1
//                     negative_reconstruction  the rescaled series is
//                       negative at some grid point
//                     large_coefficient  some |c_l| exceeds 10
//                     extrapolated  some grid angles lie outside the
//                       table's range of angles, so the fit saw the end
//                       intervals' cubics continued there
//                     renormalised  as the column of that name
//                     field_overflow  the coefficient file holds a field of
//                       asterisks (ft or a coefficient too wide for it)
//                     resumed_after_pause  the fit went on after a pause
//   status          ok, or the cause of the job's failure
//   job             the job's place (1, 2, ...) in the whole run's job
//                   order, also in the report of one shard (--shard), so
//                   that the shards' reports merge in job order by sorting
//                   on it
//
// A failed job has "-" in every column from ft to flags. In the text
// columns a tab or line end becomes a blank and any other control byte is
// written as \xHH, as in the diagnostics.

#include <fstream>
#include <string>
#include <string_view>

#include "driver/run_plan.hpp"
#include "expansion/diagnostics.hpp"
#include "expansion/job_result.hpp"

namespace phasefit::driver {

class FitReport {
 public:
  // Creates (or empties) the file and writes the header row. A file that
  // cannot be created throws textio::RunError naming it.
  explicit FitReport(std::string path);

  // The row of a job whose coefficient file has been written.
  // `field_overflow`: the file holds a field of asterisks.
  void job_written(const Job& job, int n, const expansion::JobResult& result,
                   const expansion::FitDiagnostics& diagnostics, bool resumed, bool field_overflow);
  // The row of a job that failed with `cause`.
  void job_failed(const Job& job, int n, std::string_view cause);

  // The header row, without its line end.
  static std::string header();

 private:
  void write_row(const std::string& row);

  std::string path_;
  std::ofstream out_;
};

}  // namespace phasefit::driver
