#pragma once
// The progress line shown on a terminal: one line that overwrites itself
// ("\r", the text, clear to the end of the line) with the jobs done of the
// total, the current data file, jobs per second and the time left. It is
// erased before anything else is written to the same stream (a diagnostic,
// an operator pause) and when the run ends, so the terminal is left as a
// run without it would leave it. A disabled line writes nothing at all.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace phasefit::driver {

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;

  // Redraws are at least this far apart, so a fast run does not spend its
  // time writing to the terminal.
  static constexpr std::chrono::milliseconds kRedrawInterval{100};

  // `columns`: width of the terminal; the line is cut to one less, so that
  // it never wraps. With `enabled` false every call does nothing.
  ProgressLine(std::ostream& out, bool enabled, std::size_t total, std::size_t columns = 80);
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine();

  // The job on data file `name` begins; finished: it has been committed (or
  // has failed and the run goes on). Both redraw when the last redraw is
  // old enough. Safe to call from any thread.
  void job_started(std::string_view name);
  void job_finished();
  // Removes the line, if shown; the next update draws it again at once.
  void erase();

  // The text of the line (without control characters) after `done` of
  // `total` jobs in `elapsed`, on data file `name`.
  static std::string text(std::size_t done, std::size_t total, std::string_view name,
                          std::chrono::duration<double> elapsed);

 private:
  void draw_if_due();  // mutex_ held

  std::ostream* out_;
  bool enabled_;
  std::size_t total_;
  std::size_t columns_;
  std::mutex mutex_;
  std::size_t done_ = 0;
  std::string name_;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

}  // namespace phasefit::driver
