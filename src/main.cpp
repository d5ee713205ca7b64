// phasefit: expands tabulated phase functions into delta-fit Legendre
// coefficients, one file per spectral point and particle size.
//
//   phasefit [-j N | --jobs N | --jobs=N] INPUT_DIR OUTPUT_DIR SPECTRAL_MODE N
//
// The jobs are computed on N worker threads (default: every hardware
// thread) and written in job order, exactly as one thread would.
//
// Exit status: 0 every job written; 2 an input or output failure (the
// diagnostic names the channel, the file and the cause); 3 the operator
// ended the run at a numerical pause.

#include <csignal>
#include <exception>
#include <iostream>

#include "driver/driver.hpp"
#include "driver/operator_pause.hpp"
#include "textio/run_error.hpp"

int main(int argc, char** argv) {
  // A write beyond the file-size limit must fail with a diagnostic, not
  // kill the run silently.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    return phasefit::driver::run(argc, argv, std::cin, std::cout, std::cerr);
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
