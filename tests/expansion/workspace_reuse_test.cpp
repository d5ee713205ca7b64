// A workspace is reused from job to job (its design matrix, SVD arrays and
// table copy keep what the last job left). Jobs of different orders in any
// sequence must give exactly the bits a fresh workspace gives.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "expansion/bfit.hpp"

namespace phasefit::expansion {
namespace {

const std::string kTable = std::string(PHASEFIT_TEST_DATA) + "/../../examples/tables/";

JobResult fresh_fit(const std::string& name, int n) {
  auto workspace = std::make_unique<FitWorkspace>();
  JobResult result;
  bfit(kTable + name, n, result, *workspace, [](std::string_view) {});
  return result;
}

TEST(WorkspaceReuse, JobsOfMixedOrdersMatchAFreshWorkspaceBitForBit) {
  struct Job {
    const char* name;
    int n;
  };
  // Rising and falling orders, so the kept table is both extended and
  // read below the order it was filled to.
  const Job jobs[] = {{"WVN_0p55_DE_010.dat", 16}, {"WVN_0p87_DE_005.dat", 64},
                      {"B07_DE_020.dat", 8},       {"WVN_1p60_DE_020.dat", 128},
                      {"WVN_0p55_DE_005.dat", 3},  {"ch4.3um_DE_010.dat", 100}};
  auto shared = std::make_unique<FitWorkspace>();
  for (const Job& job : jobs) {
    JobResult reused;
    bfit(kTable + job.name, job.n, reused, *shared, [](std::string_view) {});
    const JobResult fresh = fresh_fit(job.name, job.n);
    EXPECT_EQ(std::memcmp(&reused, &fresh, sizeof(JobResult)), 0)
        << job.name << " at N = " << job.n;
  }
}

}  // namespace
}  // namespace phasefit::expansion
