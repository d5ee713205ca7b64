#include "textio/run_error.hpp"

#include <string>
#include <string_view>
#include <utility>

namespace phasefit::textio {
namespace {

bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

std::string describe(int channel, const std::string& file, const std::string& cause) {
  std::string text = "phasefit: ";
  if (channel != textio::kNoChannel) text += "channel " + std::to_string(channel) + ", ";
  if (!file.empty()) text += "file '" + printable(file) + "': ";
  return text + printable(cause);
}

}  // namespace

std::string printable(std::string_view text) {
  constexpr char kHexDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (is_control(c)) {
      const auto byte = static_cast<unsigned char>(c);
      out += "\\x";
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

RunError::RunError(int channel, std::string file, std::string cause)
    : std::runtime_error(describe(channel, file, cause)),
      channel_(channel),
      file_(std::move(file)),
      cause_(std::move(cause)) {}

}  // namespace phasefit::textio
