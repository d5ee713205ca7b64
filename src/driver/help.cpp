#include "driver/help.hpp"

#ifndef PHASEFIT_VERSION
#error "PHASEFIT_VERSION must be defined by the build"
#endif

namespace phasefit::driver {

// The text is docs/phasefit.txt, which also gives the manual page.
std::string help_text() {
  return
#include "help_text.inc"
      ;
}

std::string version_text() { return std::string("phasefit ") + PHASEFIT_VERSION + "\n"; }

}  // namespace phasefit::driver
