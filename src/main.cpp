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

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <exception>
#include <iostream>

#include "driver/atomic_file.hpp"
#include "driver/operator_pause.hpp"
#include "driver/run.hpp"
#include "textio/run_error.hpp"

namespace {

// An interrupted or terminated run ends as the signal would end it, but
// first removes the temporary file of a coefficient file being replaced, so
// that only complete files are left (the previous one or the new one).
// The signal stays blocked until the handler returns, so the handler does
// return to the interrupted code for a moment: it keeps that code's errno.
extern "C" void end_on_signal(int signal_number) {
  const int saved_errno = errno;
  phasefit::driver::remove_pending_temporary_file();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
  errno = saved_errno;
}

}  // namespace

int main(int argc, char** argv) {
  // A write beyond the file-size limit must fail with a diagnostic, not
  // kill the run silently.
  std::signal(SIGXFSZ, SIG_IGN);
  // A signal the run was started with ignored (nohup, a background job)
  // stays ignored.
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (::sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
      std::signal(signal_number, end_on_signal);
  }
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
    std::cerr << "phasefit: " << phasefit::textio::printable(error.what()) << '\n';
    return 2;
  }
}
