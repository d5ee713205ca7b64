#include <cfloat>

#include <gtest/gtest.h>

// Every Real operation must be rounded to 32 bits as it happens; a target
// that evaluates float expressions in a wider format (x87) would change the
// results in the last bit.
TEST(FloatEvaluation, FloatArithmeticIsEvaluatedInSinglePrecision) {
  EXPECT_EQ(FLT_EVAL_METHOD, 0);
  volatile float third = 1.0f / 3.0f;
  volatile float three = 3.0f;
  EXPECT_EQ(third * three, 1.0f);
}
