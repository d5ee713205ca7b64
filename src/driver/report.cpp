#include "driver/report.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <phasefit/fit.hpp>
#include <span>

#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

constexpr char kTab = '\t';

// Shortest text that reads back as the same value.
template <class T>
std::string shortest(T value) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return error == std::errc() ? std::string(buffer, end) : std::string("?");
}

std::string scientific(double value) {
  char buffer[64];
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 6);
  return error == std::errc() ? std::string(buffer, end) : std::string("?");
}

// A field holds no tab or line end, so that every row stays one row of
// the same columns; those become blanks. Other control bytes are shown as
// the diagnostics show them, so that a report printed on a terminal sends
// it nothing but text.
std::string field(std::string_view text) {
  std::string clean(text);
  for (char& c : clean)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return clean.empty() ? std::string("-") : textio::printable(clean);
}

std::string job_columns(const Job& job, int n) {
  return field(job.label) + kTab + std::to_string(job.size) + kTab + field(job.name) + kTab +
         std::to_string(n);
}

}  // namespace

FitReport::FitReport(std::string path) : path_(std::move(path)) {
  errno = 0;
  out_.open(path_, std::ios::binary | std::ios::trunc);
  if (!out_) {
    throw textio::RunError(textio::kNoChannel, path_,
                           std::string("cannot create the report: ") +
                               (errno != 0 ? std::strerror(errno) : "open failed"));
  }
  write_row(header());
}

std::string FitReport::header() {
  return "spectral_label\tsize\tdata_file\tN\tft\tchi0_sum\trenormalised\trms_deviation\t"
         "max_deviation\tnegative_points\tflags\tstatus\tjob";
}

void FitReport::write_row(const std::string& row) {
  out_ << row << '\n';
  out_.flush();
  if (!out_) throw textio::RunError(textio::kNoChannel, path_, "cannot write the report");
}

void FitReport::job_written(const Job& job, int n, const expansion::JobResult& result,
                            const expansion::FitDiagnostics& diagnostics, bool resumed,
                            bool field_overflow) {
  // The flags in the order and with the names the library gives them.
  unsigned flags = 0;
  if (diagnostics.ft_outside_0_1) flags |= phasefit::flag_ft_outside_0_1;
  if (diagnostics.negative_reconstruction) flags |= phasefit::flag_negative_reconstruction;
  if (diagnostics.large_coefficient) flags |= phasefit::flag_large_coefficient;
  if (diagnostics.extrapolated_points > 0) flags |= phasefit::flag_extrapolated;
  if (diagnostics.renormalised) flags |= phasefit::flag_renormalised;
  if (field_overflow) flags |= phasefit::flag_field_overflow;
  if (resumed) flags |= phasefit::flag_resumed_after_pause;
  std::string flag_text;
  const std::span<const std::string_view> names = phasefit::flag_names();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if ((flags & (1u << i)) == 0) continue;
    if (!flag_text.empty()) flag_text += ',';
    flag_text += names[i];
  }
  write_row(job_columns(job, n) + kTab + shortest(result.ft) + kTab +
            shortest(diagnostics.chi0_sum) + kTab + (diagnostics.renormalised ? "yes" : "no") +
            kTab + scientific(diagnostics.rms_deviation) + kTab +
            scientific(diagnostics.max_deviation) + kTab +
            std::to_string(diagnostics.negative_points) + kTab + field(flag_text) + kTab + "ok" +
            kTab + std::to_string(job.index));
}

void FitReport::job_failed(const Job& job, int n, std::string_view cause) {
  write_row(job_columns(job, n) + "\t-\t-\t-\t-\t-\t-\t-\t" + field(cause) + kTab +
            std::to_string(job.index));
}

}  // namespace phasefit::driver
