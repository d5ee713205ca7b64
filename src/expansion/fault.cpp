#include "expansion/fault.hpp"

#include <charconv>
#include <cmath>

namespace phasefit::expansion {

std::string format_value(float value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0.0f ? "-inf" : "inf";
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

}  // namespace phasefit::expansion
