// Fuzz target for the phase-function table reader and the cosine test and
// conversion. The input is the file's content. A table that reads must
// hold finite values only; when its end rows hold cosines, the conversion
// either refuses the table or gives angles within [0, 180] degrees.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "expansion/fault.hpp"
#include "expansion/grid.hpp"
#include "expansion/table.hpp"
#include "textio/read_error.hpp"

namespace ex = phasefit::expansion;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "INVARIANT: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  ex::PhaseTable table{};
  try {
    ex::read_phase_table(in, "fuzz.dat", table);
  } catch (const phasefit::textio::ReadError& e) {
    if (e.file() != "fuzz.dat") fail("diagnostic names");
    return 0;
  }
  for (std::size_t i = 0; i < table.angle.size(); ++i) {
    if (!std::isfinite(table.angle[i]) || !std::isfinite(table.phase[i])) fail("non-finite row");
  }
  if (!std::isfinite(table.ce) || !std::isfinite(table.omega0) || !std::isfinite(table.g))
    fail("non-finite header");

  const bool cosines = ex::holds_cosines(table.angle);
  const bool ends_within =
      std::fabs(table.angle.front()) <= 1.0f && std::fabs(table.angle.back()) <= 1.0f;
  if (cosines != ends_within) fail("cosine test");
  if (!cosines) return 0;
  auto angle = table.angle;
  try {
    ex::convert_cosines_to_degrees(angle);
  } catch (const ex::TableFault&) {
    // Refused: some interior row lies outside [-1, 1]; nothing converted.
    bool outside = false;
    for (float a : table.angle) outside = outside || !(std::fabs(a) <= 1.0f);
    if (!outside) fail("refused a table of cosines");
    if (angle != table.angle) fail("partly converted");
    return 0;
  }
  // The divisor lies one unit below pi, so a cosine of -1 gives a little
  // more than 180 degrees; that value bounds every converted angle.
  const float largest = ex::degrees_from_cosine(-1.0f);
  for (float a : angle) {
    if (!(a >= 0.0f && a <= largest)) fail("converted angle outside [0, 180]");
  }
  return 0;
}
