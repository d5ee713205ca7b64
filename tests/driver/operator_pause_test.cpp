#include "driver/operator_pause.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "numerics/pause.hpp"

namespace phasefit::driver {
namespace {

TEST(OperatorPause, GoResumesAndTheMessageIsShownAsAPause) {
  const char* answers[] = {"go\n", "  go \t\n", "go", "go\r\n"};
  for (const char* answer : answers) {
    std::istringstream in(answer);
    std::ostringstream prompts;
    const numerics::PauseHandler pause = OperatorPause(in, prompts);
    EXPECT_NO_THROW(pause("no convergence in svdcmp")) << "answer '" << answer << "'";
    EXPECT_EQ(prompts.str(),
              "phasefit: PAUSE: no convergence in svdcmp\n"
              "phasefit: type 'go' and press Enter to resume; anything else ends the run\n");
  }
}

TEST(OperatorPause, AnyOtherAnswerOrEndOfInputEndsTheRun) {
  const char* answers[] = {"", "\n", "stop\n", "GO\n", "go on\n", "g\n"};
  for (const char* answer : answers) {
    std::istringstream in(answer);
    std::ostringstream prompts;
    const OperatorPause pause(in, prompts);
    try {
      pause("bad xa input in splint");
      ADD_FAILURE() << "answer '" << answer << "' resumed";
    } catch (const RunEndedByOperator& ended) {
      EXPECT_NE(std::string(ended.what()).find("bad xa input in splint"), std::string::npos);
    }
  }
}

TEST(OperatorPause, EachPauseReadsOneAnswerLine) {
  std::istringstream in("go\nstop\n");
  std::ostringstream prompts;
  const OperatorPause pause(in, prompts);
  EXPECT_NO_THROW(pause("NSTACK too small in sort2"));
  EXPECT_THROW(pause("NSTACK too small in sort2"), RunEndedByOperator);
}

}  // namespace
}  // namespace phasefit::driver
