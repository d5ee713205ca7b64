// The vectorised svdcmp, svbksb and svdfit against the element-wise
// reference routines: every output bit must agree, on random matrices of
// awkward shapes, on real delta-fit design matrices (one of which runs out
// of passes and pauses), and on degenerate input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "numerics/legendre.hpp"
#include "numerics/svd.hpp"
#include "numerics/svd_kernels.hpp"
#include "numerics/svd_reference.hpp"
#include "numerics/test_util.hpp"

namespace phasefit::numerics {
namespace {

using testing::bits;

std::size_t sz(int n) { return static_cast<std::size_t>(n); }

// Bit-for-bit equality of two arrays, reporting the first difference and
// the number of differing entries rather than the whole arrays.
void expect_same_bits(const std::vector<float>& got, const std::vector<float>& want,
                      const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  std::size_t differing = 0, first = 0;
  for (std::size_t i = got.size(); i-- > 0;)
    if (bits(got[i]) != bits(want[i])) {
      ++differing;
      first = i;
    }
  EXPECT_EQ(differing, 0u) << what << ": first at " << first << ", got " << got[first] << ", want "
                           << want[first];
}

std::vector<float> random_matrix(int ld, int rows, int cols, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  // Rows beyond `rows` hold a marker that must come back untouched.
  std::vector<float> a(sz(ld) * sz(cols), 7.0f);
  for (int j = 0; j < cols; ++j)
    for (int i = 0; i < rows; ++i) a[sz(i) + sz(j) * sz(ld)] = dist(rng);
  return a;
}

// Delta-fit design matrix for a Henyey-Greenstein phase function with
// asymmetry g at `points` Gauss-Legendre nodes and expansion order `order`:
// column j is (2l + 1) P_l(mu_i) / p_i for l = j + 2, the last column minus
// their sum over l < order. Storage has kSvdfitRowDim rows and
// kSvdfitMaxCols columns, as the delta-fit declares it.
struct DesignSystem {
  int rows, cols;
  std::vector<float> a, rhs;
};

DesignSystem design_system(int points, int order, float g) {
  DesignSystem d{points, order - 2, std::vector<float>(sz(kSvdfitRowDim) * sz(kSvdfitMaxCols)),
                 std::vector<float>(sz(points))};
  std::vector<float> mu(sz(points)), weight(sz(points)), poly(sz(order + 1));
  gauleg(-1.0f, 1.0f, mu, weight, points);
  const MatView u{d.a, kSvdfitRowDim, kSvdfitMaxCols, kSvdfitRowDim};
  for (int i = 1; i <= points; ++i) {
    const float x = mu[sz(i - 1)];
    const float p = (1.0f - g * g) / std::pow(1.0f + g * g - 2.0f * g * x, 1.5f);
    fleg(x, poly, order + 1);
    float truncation = 0.0f;
    for (int l = 0; l <= order - 1; ++l)
      truncation = truncation - (poly[sz(l)] * static_cast<float>(2 * l + 1)) / p;
    u(i, d.cols) = truncation;
    for (int l = 3; l <= order - 1; ++l)
      u(i, l - 2) = (poly[sz(l)] * static_cast<float>(2 * l + 1)) / p;
    d.rhs[sz(i - 1)] = 1.0f - (1.0f + 3.0f * g * poly[1] + 5.0f * g * g * poly[2]) / p;
  }
  return d;
}

struct Counter {
  int calls = 0;
  PauseHandler handler() {
    return [this](std::string_view message) {
      EXPECT_EQ(message, "no convergence in svdcmp");
      ++calls;
    };
  }
};

// A copy of some floats in storage that ends exactly where its allocation
// ends and starts one float past a 64-byte line, so that a kernel touching
// anything beyond it is caught by AddressSanitizer.
class TightCopy {
 public:
  explicit TightCopy(const std::vector<float>& from)
      : block_(static_cast<float*>(
            ::operator new[]((from.size() + 1) * sizeof(float), std::align_val_t{64}))),
        size_(from.size()) {
    std::copy(from.begin(), from.end(), block_.get() + 1);
  }
  std::span<float> span() const { return {block_.get() + 1, size_}; }
  std::vector<float> values() const { return {block_.get() + 1, block_.get() + 1 + size_}; }

 private:
  struct Release {
    void operator()(float* p) const { ::operator delete[](p, std::align_val_t{64}); }
  };
  std::unique_ptr<float, Release> block_;
  std::size_t size_;
};

// Decomposes a copy of `a` (leading dimension ld) both ways and compares
// the whole storage of U and V and the singular values bit for bit. The
// vectorised run works on tight copies.
void expect_same_decomposition(const std::vector<float>& a, int ld, int rows, int cols, int ldv,
                               int expected_pauses = 0) {
  const TightCopy a_fast(a), v_fast(std::vector<float>(sz(ldv) * sz(cols), 3.0f));
  std::vector<float> a_ref = a;
  std::vector<float> w_fast(sz(cols) + 1, 5.0f), w_ref(sz(cols) + 1, 5.0f);
  std::vector<float> v_ref(sz(ldv) * sz(cols), 3.0f);
  Counter fast_pauses, ref_pauses;
  svdcmp(MatView{a_fast.span(), ld, cols, ld}, rows, cols, w_fast,
         MatView{v_fast.span(), ldv, cols, ldv}, fast_pauses.handler());
  reference::svdcmp(MatView{a_ref, ld, cols, ld}, rows, cols, w_ref, MatView{v_ref, ldv, cols, ldv},
                    ref_pauses.handler());
  EXPECT_EQ(ref_pauses.calls, expected_pauses);
  EXPECT_EQ(fast_pauses.calls, ref_pauses.calls);
  expect_same_bits(w_fast, w_ref, "w");
  expect_same_bits(a_fast.values(), a_ref, "a");
  expect_same_bits(v_fast.values(), v_ref, "v");
}

TEST(SvdcmpFast, MatchesTheReferenceBitForBitOnRandomMatrices) {
  struct Shape {
    int rows, cols, ld, ldv;
  };
  // Sizes around the vector widths (8, 16), the kernels' row blocks (32,
  // 64) and column groups (64), storage wider than the matrix, and
  // rows < cols. The last three do not fit the working copies (more than
  // 1000 rows, more than 304 columns), so svdcmp works on the caller's
  // storage: with a leading dimension of whole lines, the last column ends
  // where the storage does (320 x 307) or the lines of every column lie
  // inside it (1010 x 20).
  const Shape shapes[] = {
      {1, 1, 1, 1},         {2, 2, 2, 2},         {3, 2, 3, 2},           {7, 5, 7, 5},
      {8, 8, 8, 8},         {9, 9, 11, 10},       {17, 16, 17, 16},       {37, 19, 37, 19},
      {33, 33, 40, 35},     {100, 64, 100, 64},   {129, 71, 131, 75},     {5, 9, 5, 9},
      {40, 45, 41, 47},     {97, 83, 97, 83},     {1000, 298, 1000, 301}, {1003, 21, 1003, 21},
      {320, 307, 320, 307}, {1010, 20, 1024, 20},
  };
  unsigned seed = 100;
  for (const Shape& s : shapes) {
    SCOPED_TRACE(std::to_string(s.rows) + " x " + std::to_string(s.cols));
    expect_same_decomposition(random_matrix(s.ld, s.rows, s.cols, seed++), s.ld, s.rows, s.cols,
                              s.ldv);
  }
}

TEST(SvdcmpFast, MatchesTheReferenceOnDegenerateMatrices) {
  {
    SCOPED_TRACE("zero matrix");
    expect_same_decomposition(std::vector<float>(sz(20) * sz(12), 0.0f), 20, 20, 12, 12);
  }
  {
    SCOPED_TRACE("zero columns and a zero row");
    std::vector<float> a = random_matrix(30, 30, 18, 7);
    for (int i = 0; i < 30; ++i) {
      a[sz(i) + sz(3) * 30] = 0.0f;
      a[sz(i) + sz(11) * 30] = 0.0f;
    }
    for (int j = 0; j < 18; ++j) a[sz(5) + sz(j) * 30] = 0.0f;
    expect_same_decomposition(a, 30, 30, 18, 18);
  }
  {
    SCOPED_TRACE("rank one");
    std::vector<float> a(sz(25) * sz(10));
    for (int j = 0; j < 10; ++j)
      for (int i = 0; i < 25; ++i) a[sz(i) + sz(j) * 25] = float(i + 1) * float(j - 4);
    expect_same_decomposition(a, 25, 25, 10, 10);
  }
}

TEST(SvdcmpFast, MatchesTheReferenceOnDeltaFitDesignMatrices) {
  struct Case {
    int points, order;
    float g;
    int pauses;
  };
  // N = 300 at 1000 points runs out of passes once; resumed, both go on
  // from the same state.
  const Case cases[] = {{200, 40, 0.7f, 0}, {1000, 300, 0.85f, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE("N = " + std::to_string(c.order));
    const DesignSystem d = design_system(c.points, c.order, c.g);
    expect_same_decomposition(d.a, kSvdfitRowDim, d.rows, d.cols, kSvdfitMaxCols, c.pauses);
  }
}

TEST(SvdcmpFast, AHandlerThatThrowsLeavesTheSameState) {
  // U and V are brought up to date before the pause, so even the partial
  // outputs of an ended run agree.
  struct Stop {};
  const std::vector<float> stubborn = {3, -2, 3, -3, -3, -2, 2, 3, -3};
  const PauseHandler stop = [](std::string_view) { throw Stop{}; };
  std::vector<float> a_fast = stubborn, a_ref = stubborn, w_fast(3), w_ref(3), v_fast(9), v_ref(9);
  EXPECT_THROW(svdcmp(MatView{a_fast, 3, 3, 3}, 3, 3, w_fast, MatView{v_fast, 3, 3, 3}, stop),
               Stop);
  EXPECT_THROW(
      reference::svdcmp(MatView{a_ref, 3, 3, 3}, 3, 3, w_ref, MatView{v_ref, 3, 3, 3}, stop), Stop);
  expect_same_bits(a_fast, a_ref, "a");
  expect_same_bits(w_fast, w_ref, "w");
  expect_same_bits(v_fast, v_ref, "v");
}

TEST(SvdcmpFast, AFullRotationLogIsAppliedEarlyWithoutChangingBits) {
  // A workspace whose logs hold only a few rotations forces many early
  // applications.
  const int m = 60, n = 40;
  const std::vector<float> a0 = random_matrix(m, m, n, 31);
  std::vector<float> a_fast = a0, a_ref = a0, w_fast(sz(n)), w_ref(sz(n));
  std::vector<float> v_fast(sz(n) * sz(n)), v_ref(sz(n) * sz(n));
  SvdWorkspace small;
  small.u_rotations.resize(3);
  small.v_rotations.resize(5);
  const PauseHandler none = [](std::string_view) { ADD_FAILURE() << "pause"; };
  svdcmp(MatView{a_fast, m, n, m}, m, n, w_fast, MatView{v_fast, n, n, n}, none, small);
  reference::svdcmp(MatView{a_ref, m, n, m}, m, n, w_ref, MatView{v_ref, n, n, n}, none);
  expect_same_bits(a_fast, a_ref, "a");
  expect_same_bits(w_fast, w_ref, "w");
  expect_same_bits(v_fast, v_ref, "v");
}

TEST(SvbksbFast, MatchesTheReferenceBitForBit) {
  // Includes a zero and a NaN singular value, and sizes off the vector
  // width.
  struct Shape {
    int rows, cols, ld, ldv;
  };
  const Shape shapes[] = {{1, 1, 1, 1}, {13, 11, 15, 12}, {300, 77, 301, 80}};
  unsigned seed = 200;
  for (const Shape& s : shapes) {
    SCOPED_TRACE(std::to_string(s.rows) + " x " + std::to_string(s.cols));
    const std::vector<float> u = random_matrix(s.ld, s.rows, s.cols, seed++);
    const std::vector<float> v = random_matrix(s.ldv, s.cols, s.cols, seed++);
    std::vector<float> w = random_matrix(s.cols, s.cols, 1, seed++);
    std::vector<float> b = random_matrix(s.rows, s.rows, 1, seed++);
    if (s.cols > 2) {
      w[1] = 0.0f;
      w[2] = std::nanf("");
    }
    std::vector<float> u_copy = u, v_copy = v;
    std::vector<float> x_fast(sz(s.cols) + 1, 9.0f), x_ref(sz(s.cols) + 1, 9.0f);
    svbksb(MatView{u_copy, s.ld, s.cols, s.ld}, w, MatView{v_copy, s.ldv, s.cols, s.ldv}, s.rows,
           s.cols, b, x_fast);
    reference::svbksb(MatView{u_copy, s.ld, s.cols, s.ld}, w, MatView{v_copy, s.ldv, s.cols, s.ldv},
                      s.rows, s.cols, b, x_ref);
    expect_same_bits(x_fast, x_ref, "x");
    expect_same_bits(u_copy, u, "u unchanged");
    expect_same_bits(v_copy, v, "v unchanged");
  }
}

// svdfit on the fast and the reference kernels: the same pauses, and the
// same bits in the solution, the singular values and U.
void expect_same_svdfit(const DesignSystem& d) {
  std::vector<float> a_fast = d.a, a_ref = d.a;
  std::vector<float> x_fast(sz(d.cols)), x_ref(sz(d.cols));
  SvdWorkspace ws_fast, ws_ref;
  Counter fast_pauses, ref_pauses;
  svdfit(d.rows, x_fast, d.cols, MatView{a_fast, kSvdfitRowDim, kSvdfitMaxCols, kSvdfitRowDim},
         d.rhs, ws_fast, fast_pauses.handler());
  reference::svdfit(d.rows, x_ref, d.cols,
                    MatView{a_ref, kSvdfitRowDim, kSvdfitMaxCols, kSvdfitRowDim}, d.rhs, ws_ref,
                    ref_pauses.handler());
  EXPECT_EQ(fast_pauses.calls, ref_pauses.calls);
  expect_same_bits(x_fast, x_ref, "x");
  expect_same_bits(ws_fast.singular_values, ws_ref.singular_values, "w");
  expect_same_bits(a_fast, a_ref, "a");
}

TEST(SvdfitFast, GivesTheReferenceSolutionBitForBit) {
  struct Case {
    int points, order;
    float g;
  };
  const Case cases[] = {{1000, 300, 0.85f}, {1000, 64, 0.5f}, {333, 101, 0.9f}};
  for (const Case& c : cases) {
    SCOPED_TRACE("N = " + std::to_string(c.order) + ", " + std::to_string(c.points) + " points");
    expect_same_svdfit(design_system(c.points, c.order, c.g));
  }
}

// The tests above run the widest form this machine has, the ones below the
// 8-lane and baseline forms; a form the processor lacks is never checked
// here, and this says so in the test output.
TEST(SvdcmpFast, SaysWhichKernelFormsThisMachineChecks) {
  const kernels::ProcessorForms forms = kernels::processor_forms();
  std::printf(
      "[          ] kernel forms checked on this machine: baseline; 8-lane AVX2 %s; "
      "16-lane AVX-512F %s\n",
      forms.avx2 ? "yes" : "no (no AVX2: the 8-lane forms run their baseline build)",
      forms.avx512f ? "yes" : "no");
  if (!forms.avx512f)
    GTEST_SKIP() << "this processor lacks AVX-512F: the 16-lane forms were not run; check them "
                    "on a machine that has it";
}

// The forms of the kernels a machine with AVX-512F does not run by
// default: each must give the reference bits as well.
enum class KernelForm { eight_lane, baseline };

class SvdcmpOtherForms : public ::testing::TestWithParam<KernelForm> {};

TEST_P(SvdcmpOtherForms, MatchTheReferenceToo) {
  struct FormScope {
    bool narrow;
    bool baseline;
    explicit FormScope(KernelForm form)
        : narrow(kernels::use_narrow_vectors(true)),
          baseline(kernels::use_baseline_vectors(form == KernelForm::baseline)) {}
    ~FormScope() {
      kernels::use_narrow_vectors(narrow);
      kernels::use_baseline_vectors(baseline);
    }
  } scope(GetParam());
  struct Shape {
    int rows, cols, ld, ldv;
  };
  // The last two work on the caller's storage, which ends at its
  // allocation (see MatchesTheReferenceBitForBitOnRandomMatrices).
  const Shape shapes[] = {{7, 5, 7, 5},     {37, 19, 37, 19},     {129, 71, 131, 75},
                          {40, 45, 41, 47}, {320, 307, 320, 307}, {1003, 21, 1003, 21}};
  unsigned seed = 500;
  for (const Shape& s : shapes) {
    SCOPED_TRACE(std::to_string(s.rows) + " x " + std::to_string(s.cols));
    expect_same_decomposition(random_matrix(s.ld, s.rows, s.cols, seed++), s.ld, s.rows, s.cols,
                              s.ldv);
  }
  expect_same_svdfit(design_system(1000, 300, 0.85f));
}

std::string form_name(const ::testing::TestParamInfo<KernelForm>& c) {
  return c.param == KernelForm::baseline ? "Baseline" : "EightLane";
}

INSTANTIATE_TEST_SUITE_P(Forms, SvdcmpOtherForms,
                         ::testing::Values(KernelForm::eight_lane, KernelForm::baseline),
                         form_name);

}  // namespace
}  // namespace phasefit::numerics
