#include "driver/progress.hpp"

#include <cmath>
#include <cstdio>

#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

constexpr std::string_view kClearToEnd = "\033[K";

std::string duration_text(double seconds) {
  const auto whole = static_cast<long long>(std::ceil(seconds));
  char buffer[32];
  if (whole >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", whole / 60, whole % 60);
  }
  return buffer;
}

}  // namespace

ProgressLine::ProgressLine(std::ostream& out, bool enabled, std::size_t total, std::size_t columns)
    : out_(&out),
      enabled_(enabled),
      total_(total),
      columns_(columns < 2 ? 2 : columns),
      start_(Clock::now()),
      last_draw_(start_ - kRedrawInterval) {}

ProgressLine::~ProgressLine() { erase(); }

std::string ProgressLine::text(std::size_t done, std::size_t total, std::string_view name,
                               std::chrono::duration<double> elapsed) {
  std::string line = "phasefit: " + std::to_string(done) + "/" + std::to_string(total) + " jobs";
  // The name comes from a run list: control bytes in it must not act on
  // the terminal.
  if (!name.empty()) line += "  " + textio::printable(name);
  const double seconds = elapsed.count();
  if (done > 0 && seconds > 0.0) {
    const double rate = static_cast<double>(done) / seconds;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "  %.1f jobs/s", rate);
    line += buffer;
    line += "  " + duration_text(static_cast<double>(total - done) / rate) + " left";
  }
  return line;
}

void ProgressLine::draw_if_due() {
  const Clock::time_point now = Clock::now();
  if (now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  std::string line = text(done_, total_, name_, now - start_);
  if (line.size() > columns_ - 1) line.resize(columns_ - 1);
  *out_ << '\r' << line << kClearToEnd << std::flush;
  shown_ = true;
}

void ProgressLine::job_started(std::string_view name) {
  if (!enabled_) return;
  const std::lock_guard lock(mutex_);
  name_ = name;
  draw_if_due();
}

void ProgressLine::job_finished() {
  if (!enabled_) return;
  const std::lock_guard lock(mutex_);
  ++done_;
  draw_if_due();
}

void ProgressLine::erase() {
  if (!enabled_) return;
  const std::lock_guard lock(mutex_);
  if (!shown_) return;
  *out_ << '\r' << kClearToEnd << std::flush;
  shown_ = false;
  last_draw_ = Clock::now() - kRedrawInterval;
}

}  // namespace phasefit::driver
