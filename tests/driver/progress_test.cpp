// The text of the progress line and how it cleans up after itself.

#include "driver/progress.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

namespace phasefit {
namespace {

TEST(ProgressLineText, ShowsDoneOfTotalTheFileRateAndTimeLeft) {
  using std::chrono::duration;
  EXPECT_EQ(driver::ProgressLine::text(0, 20, "a.dat", duration<double>(0.0)),
            "phasefit: 0/20 jobs  a.dat");
  EXPECT_EQ(driver::ProgressLine::text(5, 20, "b.dat", duration<double>(2.0)),
            "phasefit: 5/20 jobs  b.dat  2.5 jobs/s  0:06 left");
  EXPECT_EQ(driver::ProgressLine::text(1, 10000, "c.dat", duration<double>(1.0)),
            "phasefit: 1/10000 jobs  c.dat  1.0 jobs/s  2:46:39 left");
  // A band name's control bytes must not act on the terminal.
  EXPECT_EQ(driver::ProgressLine::text(0, 2, "B\x1b[2J\r_DE_005.dat", duration<double>(0.0)),
            "phasefit: 0/2 jobs  B\\x1b[2J\\x0d_DE_005.dat");
}

TEST(ProgressLineText, ADisabledLineWritesNothingAndAnEnabledOneCleansUp) {
  std::ostringstream quiet;
  {
    driver::ProgressLine line(quiet, false, 3);
    line.job_started("a.dat");
    line.job_finished();
  }
  EXPECT_EQ(quiet.str(), "");
  std::ostringstream shown;
  {
    driver::ProgressLine line(shown, true, 3, 20);
    line.job_started("a-rather-long-name.dat");
    line.erase();
    line.erase();
  }
  // Cut to one less than the width; erased once only.
  EXPECT_EQ(shown.str(), "\rphasefit: 0/3 jobs \033[K\r\033[K");
}

}  // namespace
}  // namespace phasefit
