#include "driver/help.hpp"

#ifndef PHASEFIT_VERSION
#error "PHASEFIT_VERSION must be defined by the build"
#endif

namespace phasefit::driver {

std::string help_text() {
  return R"(Usage: phasefit [options] INPUT_DIR OUTPUT_DIR SPECTRAL_MODE N

Expands tabulated phase functions into delta-fit Legendre coefficients: one
coefficient file per spectral point and particle size. Run it in a working
directory that holds the run lists in INPUT/.

Arguments:
  INPUT_DIR       prefix of every table path, joined to the file name with
                  no separator (give the final '/'; empty: this directory)
  OUTPUT_DIR      prefix of every coefficient-file path, likewise
  SPECTRAL_MODE   0: wavelengths from INPUT/wl.dat; 1: band names from
                  INPUT/input_band.dat
  N               expansion order, 3 to 300

Input files:
  INPUT/input_re.dat    count, then one particle size (integer) per line
  INPUT/wl.dat          count, then one wavelength per line (mode 0)
  INPUT/input_band.dat  count, then one band name per line (mode 1)
  INPUT_DIR<name>       one 498-row table per job, named WVN_<label>_DE_<size>.dat
                        (mode 0) or <band>_DE_<size>.dat (mode 1)

Options (before the arguments; "--" ends them):
  -j N, --jobs N        compute jobs on N threads (1 to 1024; default: one per
                        hardware thread); results are written in job order
  -k, --keep-going      a job whose table is missing, unreadable or unusable
                        is reported and skipped (its coefficient file is not
                        created or changed); the run goes on and exits with 2
  --on-pause=ask|go|stop  at a numerical pause: ask the operator (default),
                        go on at once, or end the run as end of input would
  --report FILE         write a tab-separated fit-quality table, one row per job
  --no-progress         no progress line (it is shown only when standard
                        error is a terminal)
  --kernels=fast|reference  SVD kernels (default fast); reference runs the
                        slow one-element-at-a-time ones, which give the same
                        bits: a verification and benchmarking aid
  -h, --help            print this help and exit
  --version             print the version and exit

Output: one line on standard output, N right-aligned; standard error stays
empty on success unless it is a terminal.

Exit status:
  0  every job written
  2  a bad command line or an input/output failure (the diagnostic names the
     channel, the file and the cause); with -k also: some jobs failed
  3  the run ended at a numerical pause

Example:
  phasefit -j 4 --report fit.tsv tables/ output/ 0 16
)";
}

std::string version_text() { return std::string("phasefit ") + PHASEFIT_VERSION + "\n"; }

}  // namespace phasefit::driver
