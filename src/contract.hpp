#pragma once
// PHASEFIT_CHECK(condition): a contract at a routine's edge (an extent that
// fits a work array, a field width) that holds in every build type. assert
// would vanish wherever NDEBUG is defined, and a broken capacity contract
// then writes past the end of an array instead of stopping. A broken one
// names the file, line and condition on stderr and aborts.
//
// Header-only, and free of any subsystem, so that every library may use it.

#include <cstdio>
#include <cstdlib>

namespace phasefit {

[[noreturn, gnu::cold]] inline void contract_failed(const char* condition, const char* file,
                                                    int line) noexcept {
  std::fprintf(stderr, "%s:%d: contract failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace phasefit

#define PHASEFIT_CHECK(condition) \
  ((condition) ? void(0) : ::phasefit::contract_failed(#condition, __FILE__, __LINE__))
