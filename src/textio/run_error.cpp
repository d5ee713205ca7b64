#include "textio/run_error.hpp"

#include <utility>

namespace phasefit::textio {
namespace {

std::string describe(int channel, const std::string& file, const std::string& cause) {
  std::string text = "phasefit: ";
  if (channel != kNoChannel) text += "channel " + std::to_string(channel) + ", ";
  if (!file.empty()) text += "file '" + file + "': ";
  return text + cause;
}

}  // namespace

RunError::RunError(int channel, std::string file, std::string cause)
    : std::runtime_error(describe(channel, file, cause)),
      channel_(channel),
      file_(std::move(file)),
      cause_(std::move(cause)) {}

}  // namespace phasefit::textio
