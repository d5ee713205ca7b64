#pragma once
// Small helpers shared by the numerics tests: results meant to be exact are
// compared by bit pattern, which also tells -0.0f from +0.0f and keeps a NaN
// from passing as "close enough".

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "numerics/pause.hpp"

namespace phasefit::testing {

inline std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

inline std::vector<std::uint32_t> bits_of(std::span<const float> values) {
  std::vector<std::uint32_t> out;
  out.reserve(values.size());
  for (float value : values) out.push_back(bits(value));
  return out;
}

inline void expect_bits(std::span<const float> got, std::span<const std::uint32_t> want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(bits(got[i]), want[i]) << "i = " << i << ", got " << got[i];
}

// Bit-exact comparison against float literals, for tables written as numbers.
inline void expect_same_floats(std::span<const float> got, std::span<const float> want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(bits(got[i]), bits(want[i]))
        << "i = " << i << ", got " << got[i] << ", want " << want[i];
}

// Pause handler that records the messages and resumes.
struct PauseLog {
  std::vector<std::string> messages;
  numerics::PauseHandler handler() {
    return [this](std::string_view message) { messages.emplace_back(message); };
  }
};

// Pause handler for calls that must not pause.
inline const numerics::PauseHandler kNoPause = [](std::string_view message) {
  ADD_FAILURE() << "unexpected pause: " << message;
};

}  // namespace phasefit::testing
