#include "driver/operator_pause.hpp"

#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

constexpr std::string_view kResumeAnswer = "go";

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

RunEndedByOperator::RunEndedByOperator(const std::string& pause_message)
    : RunEndedByOperator(
          "phasefit: run ended by the operator at the pause: " + textio::printable(pause_message),
          pause_message) {}

RunEndedByOperator::RunEndedByOperator(const std::string& what, const std::string& pause_message)
    : std::runtime_error(what), pause_message_(pause_message) {}

RunEndedByOperator RunEndedByOperator::unattended(const std::string& pause_message) {
  return RunEndedByOperator(
      "phasefit: run ended at the pause (--on-pause=stop): " + textio::printable(pause_message),
      pause_message);
}

void OperatorPause::operator()(std::string_view message) const {
  *prompts_ << "phasefit: PAUSE: " << textio::printable(message) << '\n'
            << "phasefit: type '" << kResumeAnswer
            << "' and press Enter to resume; anything else ends the run" << std::endl;
  std::string answer;
  // A last line without its line end still counts as an answer.
  if (!std::getline(*answers_, answer)) throw RunEndedByOperator(std::string(message));
  if (trimmed(answer) != kResumeAnswer) throw RunEndedByOperator(std::string(message));
}

}  // namespace phasefit::driver

namespace phasefit::driver {

void UnattendedPause::operator()(std::string_view message) const {
  *prompts_ << "phasefit: PAUSE: " << textio::printable(message) << '\n';
  if (answer_ == PauseAnswer::kStop) {
    prompts_->flush();
    throw RunEndedByOperator::unattended(std::string(message));
  }
  *prompts_ << "phasefit: resumed without asking (--on-pause=go)" << std::endl;
}

}  // namespace phasefit::driver
