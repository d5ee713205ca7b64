#pragma once
// The default operator pause: the message of the routine that paused goes
// to the operator, marked as a pause, with the way to resume; one answer
// line is read. "go" (surrounding blanks ignored) resumes the routine;
// any other answer, or the end of the input, ends the run.

#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace phasefit::driver {

// Thrown by the pause when the operator ends the run. main turns it into
// exit status 3: the run stopped on a numerical failure, which is neither
// success nor an input/output failure.
class RunEndedByOperator : public std::runtime_error {
 public:
  explicit RunEndedByOperator(const std::string& pause_message);
};

// Usable as a numerics::PauseHandler. It refers to `answers` and `prompts`,
// which must outlive it (and every copy of it).
class OperatorPause {
 public:
  OperatorPause(std::istream& answers, std::ostream& prompts)
      : answers_(&answers), prompts_(&prompts) {}

  // Returns when the operator answers "go"; throws RunEndedByOperator
  // otherwise.
  void operator()(std::string_view message) const;

 private:
  std::istream* answers_;
  std::ostream* prompts_;
};

}  // namespace phasefit::driver
