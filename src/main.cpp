// phasefit: expands tabulated phase functions into delta-fit Legendre
// coefficients, one file per spectral point and particle size.
//
//   phasefit [options] INPUT_DIR OUTPUT_DIR SPECTRAL_MODE N
//
// See `phasefit --help` for the options (worker threads, --keep-going,
// --on-pause, --report, --no-progress).
//
// Exit status: 0 every job written; 2 an input or output failure (the
// diagnostic names the channel, the file and the cause), or with
// --keep-going some jobs failed; 3 the run ended at a numerical pause.

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <exception>
#include <iostream>

#include "driver/driver.hpp"
#include "driver/operator_pause.hpp"
#include "textio/run_error.hpp"

int main(int argc, char** argv) {
  // A write beyond the file-size limit must fail with a diagnostic, not
  // kill the run silently.
  std::signal(SIGXFSZ, SIG_IGN);
  // The progress line is for a person watching a terminal; a log file or
  // a pipe never sees it.
  const bool err_is_terminal = ::isatty(STDERR_FILENO) == 1;
  std::size_t columns = 80;
  winsize size{};
  if (err_is_terminal && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    columns = size.ws_col;
  try {
    return phasefit::driver::run(argc, argv, std::cin, std::cout, std::cerr, err_is_terminal,
                                 columns);
  } catch (const phasefit::textio::RunError& error) {
    std::cerr << error.what() << '\n';
    return 2;
  } catch (const phasefit::driver::RunEndedByOperator& ended) {
    std::cerr << ended.what() << '\n';
    return 3;
  } catch (const std::exception& error) {
    std::cerr << "phasefit: " << error.what() << '\n';
    return 2;
  }
}
