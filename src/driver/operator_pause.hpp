#pragma once
// The default operator pause: the message of the routine that paused goes
// to the operator, marked as a pause, with the way to resume; one answer
// line is read. "go" (surrounding blanks ignored) resumes the routine;
// any other answer, or the end of the input, ends the run. Messages are
// shown as textio::printable gives them, as the diagnostics are.

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
  // Ended without asking, by --on-pause=stop.
  static RunEndedByOperator unattended(const std::string& pause_message);

  const std::string& pause_message() const { return pause_message_; }

 private:
  RunEndedByOperator(const std::string& what, const std::string& pause_message);
  std::string pause_message_;
};

// What a pause does: ask the operator, or answer on the operator's behalf.
enum class PauseAnswer { kAsk, kGo, kStop };

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

// A pause that answers itself, for runs nobody watches. Both write the
// pause message, as the operator would have seen it, to `prompts`; kGo then
// resumes, as if "go" had been typed, and kStop ends the run as the end of
// the input would (RunEndedByOperator). Nothing is read.
class UnattendedPause {
 public:
  UnattendedPause(PauseAnswer answer, std::ostream& prompts)
      : answer_(answer), prompts_(&prompts) {}
  void operator()(std::string_view message) const;

 private:
  PauseAnswer answer_;
  std::ostream* prompts_;
};

}  // namespace phasefit::driver
