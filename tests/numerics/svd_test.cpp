#include "numerics/svd.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "numerics/test_util.hpp"

// Reference singular values in double precision, from the system LAPACK.
extern "C" void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
                        const int* lda, double* s, double* u, const int* ldu, double* vt,
                        const int* ldvt, double* work, const int* lwork, int* info,
                        std::size_t jobu_len, std::size_t jobvt_len);

namespace phasefit::numerics {
namespace {

using testing::bits;
using testing::expect_same_floats;
using testing::kNoPause;
using testing::PauseLog;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr double kEps = std::numeric_limits<float>::epsilon();

std::size_t sz(int n) { return static_cast<std::size_t>(n); }

std::vector<float> random_matrix(int rows, int cols, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> a(sz(rows) * sz(cols));
  for (float& x : a) x = dist(rng);
  return a;
}

std::vector<double> lapack_singular_values(const std::vector<float>& a, int rows, int cols) {
  std::vector<double> ad(a.begin(), a.end());
  std::vector<double> s(sz(std::min(rows, cols)));
  double dummy = 0.0;
  const int one = 1;
  int info = 0;
  int lwork = -1;
  double query = 0.0;
  dgesvd_("N", "N", &rows, &cols, ad.data(), &rows, s.data(), &dummy, &one, &dummy, &one, &query,
          &lwork, &info, 1, 1);
  lwork = static_cast<int>(query);
  std::vector<double> work(sz(lwork));
  dgesvd_("N", "N", &rows, &cols, ad.data(), &rows, s.data(), &dummy, &one, &dummy, &one,
          work.data(), &lwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  return s;
}

// Checks A = U diag(w) V^T, U^T U = I and V^T V = I in double precision,
// with a tolerance that grows like the square root of the matrix size (about
// twice what random matrices up to 1000 x 298 need).
void expect_decomposition(const std::vector<float>& a0, int m, int n, const std::vector<float>& u,
                          int ldu, const std::vector<float>& w, const std::vector<float>& v,
                          int ldv, double slack = 1.0) {
  const double tol = slack * (10.0 + 2.0 * std::sqrt(double(m) * double(n))) * kEps;
  double wmax = 0.0;
  for (int k = 0; k < n; ++k) wmax = std::max(wmax, std::abs(double(w[sz(k)])));
  const auto U = [&](int i, int k) { return double(u[sz(i) + sz(k) * sz(ldu)]); };
  const auto V = [&](int i, int k) { return double(v[sz(i) + sz(k) * sz(ldv)]); };
  double recon = 0.0, utu = 0.0, vtv = 0.0;
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) {
      double s = 0.0;
      for (int k = 0; k < n; ++k) s += U(i, k) * double(w[sz(k)]) * V(j, k);
      recon = std::max(recon, std::abs(s - double(a0[sz(i) + sz(j) * sz(m)])));
    }
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double su = 0.0, sv = 0.0;
      for (int k = 0; k < m; ++k) su += U(k, i) * U(k, j);
      for (int k = 0; k < n; ++k) sv += V(k, i) * V(k, j);
      const double id = i == j ? 1.0 : 0.0;
      utu = std::max(utu, std::abs(su - id));
      vtv = std::max(vtv, std::abs(sv - id));
    }
  EXPECT_LE(recon, tol * wmax) << m << " x " << n;
  EXPECT_LE(utu, tol) << m << " x " << n;
  EXPECT_LE(vtv, tol) << m << " x " << n;
}

TEST(Pythag, GivesTheHypotenuseWithoutOverflowOrUnderflow) {
  struct Row {
    const char* name;
    float p, q, want;
    bool exact;
  };
  const Row rows[] = {
      {"3, 4", 3.0f, 4.0f, 5.0f, true},
      {"-3, 4", -3.0f, 4.0f, 5.0f, true},
      {"4, -3 (larger first)", 4.0f, -3.0f, 5.0f, true},
      {"0, 0", 0.0f, 0.0f, 0.0f, true},
      {"-0, -0", -0.0f, -0.0f, 0.0f, true},
      {"0, -2.5", 0.0f, -2.5f, 2.5f, true},
      {"1e30, 1e30", 1e30f, 1e30f, 1.4142135e30f, false},
      {"1e-30, 1e-30", 1e-30f, 1e-30f, 1.4142135e-30f, false},
      {"subnormal", 1e-40f, 0.0f, 1e-40f, true},
  };
  for (const Row& row : rows) {
    const float got = pythag(row.p, row.q);
    if (row.exact)
      EXPECT_EQ(bits(got), bits(row.want)) << row.name << ": got " << got;
    else
      EXPECT_NEAR(got, row.want, 4.0f * std::numeric_limits<float>::epsilon() * row.want)
          << row.name;
  }
}

// Small cases whose every bit follows from the algorithm: signs of U and V,
// the -0 produced by a reflection, and singular values left unsorted.
TEST(Svdcmp, SmallMatricesGiveExactFactors) {
  struct Row {
    const char* name;
    int m, n;
    std::vector<float> a, u, w, v;
  };
  const Row rows[] = {
      {"1 x 1 [2]", 1, 1, {2.0f}, {-1.0f}, {2.0f}, {-1.0f}},
      {"1 x 1 [-2]", 1, 1, {-2.0f}, {-1.0f}, {2.0f}, {1.0f}},
      {"1 x 1 [0]", 1, 1, {0.0f}, {1.0f}, {0.0f}, {1.0f}},
      {"3 x 2 zero matrix", 3, 2, {0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 1, 0}, {0, 0}, {1, 0, 0, 1}},
      {"diag(3, -4)",
       2,
       2,
       {3.0f, 0.0f, 0.0f, -4.0f},
       {-1.0f, -0.0f, 0.0f, -1.0f},
       {3.0f, 4.0f},
       {-1.0f, -0.0f, 0.0f, 1.0f}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<float> a = row.a;
    std::vector<float> w(sz(row.n), kNaN);
    // V's previous content must never be read.
    std::vector<float> v(sz(row.n) * sz(row.n), kNaN);
    svdcmp(MatView{a, row.m, row.n, row.m}, row.m, row.n, w, MatView{v, row.n, row.n, row.n},
           kNoPause);
    expect_same_floats(a, row.u);
    expect_same_floats(w, row.w);
    expect_same_floats(v, row.v);
  }
}

TEST(Svdcmp, LeavesSingularValuesInIterationOrder) {
  // Rows (1, t), t = 0..4.
  std::vector<float> a = {1, 1, 1, 1, 1, 0, 1, 2, 3, 4};
  const std::vector<float> a0 = a;
  std::vector<float> w(2), v(4);
  svdcmp(MatView{a, 5, 2, 5}, 5, 2, w, MatView{v, 2, 2, 2}, kNoPause);
  EXPECT_NEAR(w[0], 1.22155f, 1e-5f);
  EXPECT_NEAR(w[1], 5.78859f, 1e-5f);
  const float want_v[] = {-0.94363f, 0.33101f, 0.33101f, 0.94363f};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(v[i], want_v[i], 1e-5f) << "i = " << i;
  expect_decomposition(a0, 5, 2, a, 5, w, v, 2);
}

TEST(Svdcmp, RebuildsRandomMatricesWithOrthonormalFactors) {
  struct Shape {
    int m, n;
  };
  const Shape shapes[] = {{1, 1}, {2, 2}, {7, 3}, {20, 20}, {50, 12}, {300, 40}, {1000, 298}};
  unsigned seed = 11;
  for (const Shape& shape : shapes) {
    const int m = shape.m, n = shape.n;
    SCOPED_TRACE(std::to_string(m) + " x " + std::to_string(n));
    const std::vector<float> a0 = random_matrix(m, n, seed++);
    std::vector<float> a = a0;
    std::vector<float> w(sz(n)), v(sz(n) * sz(n), kNaN);
    svdcmp(MatView{a, m, n, m}, m, n, w, MatView{v, n, n, n}, kNoPause);
    for (int k = 0; k < n; ++k) EXPECT_GE(w[sz(k)], 0.0f) << "k = " << k;
    expect_decomposition(a0, m, n, a, m, w, v, n);
  }
}

TEST(Svdcmp, WorksInsideLargerStorage) {
  // Only the leading rows x cols blocks are touched.
  const int m = 6, n = 4, ld = 9, ldv = 7;
  const std::vector<float> a0 = random_matrix(m, n, 5);
  std::vector<float> a(sz(ld) * sz(n) + 3, 99.0f);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < m; ++i) a[sz(i) + sz(j) * sz(ld)] = a0[sz(i) + sz(j) * sz(m)];
  std::vector<float> v(sz(ldv) * sz(n) + 3, 77.0f), w(sz(n) + 1, 55.0f);
  svdcmp(MatView{a, ld, n, ld}, m, n, w, MatView{v, ldv, n, ldv}, kNoPause);
  for (int j = 0; j < n; ++j)
    for (int i = m; i < ld; ++i) EXPECT_EQ(a[sz(i) + sz(j) * sz(ld)], 99.0f);
  for (int j = 0; j < n; ++j)
    for (int i = n; i < ldv; ++i) EXPECT_EQ(v[sz(i) + sz(j) * sz(ldv)], 77.0f);
  EXPECT_EQ(w[sz(n)], 55.0f);
  expect_decomposition(a0, m, n, a, ld, w, v, ldv);
}

TEST(Svdcmp, AgreesWithDoublePrecisionLapack) {
  const int m = 40, n = 17;
  const std::vector<float> a0 = random_matrix(m, n, 3);
  std::vector<float> a = a0;
  std::vector<float> w(sz(n)), v(sz(n) * sz(n));
  svdcmp(MatView{a, m, n, m}, m, n, w, MatView{v, n, n, n}, kNoPause);
  std::vector<double> ref = lapack_singular_values(a0, m, n);
  std::vector<float> got = w;
  std::sort(got.begin(), got.end(), std::greater<>());
  for (int k = 0; k < n; ++k)
    EXPECT_NEAR(double(got[sz(k)]), ref[sz(k)], 20.0 * kEps * ref[0]) << "k = " << k;
}

// A 3 x 3 integer matrix with a repeated singular value (about 5.5677643,
// twice, and 2) on which the last singular value does not converge in 30
// passes.
const std::vector<float> kStubborn = {3, -2, 3, -3, -3, -2, 2, 3, -3};

TEST(Svdcmp, NonConvergenceRaisesOnePauseAndCompletesWhenResumed) {
  std::vector<float> a = kStubborn;
  std::vector<float> w(3), v(9);
  PauseLog log;
  svdcmp(MatView{a, 3, 3, 3}, 3, 3, w, MatView{v, 3, 3, 3}, log.handler());
  ASSERT_EQ(log.messages.size(), 1u);
  EXPECT_EQ(log.messages[0], "no convergence in svdcmp");
  // The unconverged value keeps what the last sweep left (here negative,
  // its column of V not negated); the others converge normally.
  EXPECT_LT(w[2], 0.0f);
  EXPECT_GE(w[0], 0.0f);
  EXPECT_GE(w[1], 0.0f);
  std::vector<double> ref = lapack_singular_values(kStubborn, 3, 3);
  std::vector<float> got = {std::abs(w[0]), std::abs(w[1]), std::abs(w[2])};
  std::sort(got.begin(), got.end(), std::greater<>());
  for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(double(got[k]), ref[k], 1e-5) << "k = " << k;
  // Even so the factors still rebuild A, with the rounding of 30 sweeps.
  expect_decomposition(kStubborn, 3, 3, a, 3, w, v, 3, 4.0);
}

TEST(Svdcmp, PauseHandlerThatThrowsEndsTheCall) {
  struct Stop : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  std::vector<float> a = kStubborn;
  std::vector<float> w(3), v(9);
  int calls = 0;
  const PauseHandler stop = [&](std::string_view message) {
    ++calls;
    throw Stop(std::string(message));
  };
  EXPECT_THROW(svdcmp(MatView{a, 3, 3, 3}, 3, 3, w, MatView{v, 3, 3, 3}, stop), Stop);
  EXPECT_EQ(calls, 1);
}

TEST(Svdcmp, NaNInputStopsTheSplitSearchAtTheFirstRow) {
  // With a NaN norm no negligibility test succeeds: every singular value but
  // the first runs out of passes (one pause each), and the search must stop
  // at l = 1 rather than look before w(1). The exact-size heap vectors let
  // the address sanitizer catch a read of w(0).
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE("n = " + std::to_string(n));
    std::vector<float> a = random_matrix(n, n, 17);
    a[0] = kNaN;
    std::vector<float> w(sz(n)), v(sz(n) * sz(n));
    PauseLog log;
    svdcmp(MatView{a, n, n, n}, n, n, w, MatView{v, n, n, n}, log.handler());
    EXPECT_EQ(log.messages.size(), sz(n - 1));
  }
}

TEST(Svbksb, SolvesAConsistentSystem) {
  const int m = 8, n = 5;
  const std::vector<float> a0 = random_matrix(m, n, 23);
  const std::vector<float> x_true = {0.5f, -1.0f, 2.0f, 0.25f, -3.0f};
  std::vector<float> b(sz(m));
  for (int i = 0; i < m; ++i) {
    double s = 0.0;
    for (int j = 0; j < n; ++j) s += double(a0[sz(i) + sz(j) * sz(m)]) * double(x_true[sz(j)]);
    b[sz(i)] = static_cast<float>(s);
  }
  std::vector<float> a = a0, w(sz(n)), v(sz(n) * sz(n)), x(sz(n));
  svdcmp(MatView{a, m, n, m}, m, n, w, MatView{v, n, n, n}, kNoPause);
  svbksb(MatView{a, m, n, m}, w, MatView{v, n, n, n}, m, n, b, x);
  for (int j = 0; j < n; ++j) EXPECT_NEAR(x[sz(j)], x_true[sz(j)], 1e-4f) << "j = " << j;
}

TEST(Svbksb, ZeroSingularValueDropsItsTermButNaNDoesNot) {
  // U = V = I, so x(j) = b(j) / w(j) with dropped terms giving 0.
  std::vector<float> identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const MatView eye{identity, 3, 3, 3};
  const std::vector<float> b = {4.0f, 6.0f, 1.0f};
  std::vector<float> x(3, 99.0f);
  svbksb(eye, std::vector<float>{2.0f, 0.0f, 4.0f}, eye, 3, 3, b, x);
  expect_same_floats(x, std::vector<float>{2.0f, 0.0f, 0.25f});
  // A NaN singular value is not a zero one: its NaN term reaches every
  // entry (0 * NaN is NaN) instead of being dropped.
  svbksb(eye, std::vector<float>{2.0f, 0.0f, kNaN}, eye, 3, 3, b, x);
  for (float xi : x) EXPECT_TRUE(std::isnan(xi));
}

// svdfit's matrix always has 1000 rows of storage.
struct FitProblem {
  int rows, cols;
  std::vector<float> storage;
  explicit FitProblem(int m, int n, const std::vector<float>& a)
      : rows(m), cols(n), storage(sz(kSvdfitRowDim) * sz(n), 0.0f) {
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < m; ++i) storage[sz(i) + sz(j) * sz(kSvdfitRowDim)] = a[sz(i + j * m)];
  }
  MatView view() { return MatView{storage, kSvdfitRowDim, cols, kSvdfitRowDim}; }
};

TEST(Svdfit, FitsAStraightLine) {
  FitProblem p(5, 2, {1, 1, 1, 1, 1, 0, 1, 2, 3, 4});
  const std::vector<float> rhs = {1, 3, 5, 7, 9};
  const std::vector<float> rhs0 = rhs;
  std::vector<float> x(2);
  SvdWorkspace ws;
  svdfit(5, x, 2, p.view(), rhs, ws, kNoPause);
  // Single-precision rounding leaves the fit a few units in the last place
  // away from (1, 2), always the same few.
  EXPECT_EQ(bits(x[0]), bits(0.9999995f));
  EXPECT_EQ(bits(x[1]), bits(2.0000005f));
  EXPECT_NEAR(ws.singular_values[0], 1.22155f, 1e-5f);
  EXPECT_NEAR(ws.singular_values[1], 5.78859f, 1e-5f);
  expect_same_floats(rhs, rhs0);
  // The matrix comes back holding U, with orthonormal columns.
  const MatView u = p.view();
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j) {
      float s = 0.0f;
      for (int k = 1; k <= 5; ++k) s += u(k, i) * u(k, j);
      EXPECT_NEAR(s, i == j ? 1.0f : 0.0f, 1e-6f) << i << ", " << j;
    }
}

TEST(Svdfit, EqualColumnsGiveTheMinimumNormSolution) {
  FitProblem p(3, 2, std::vector<float>(6, 1.0f));
  std::vector<float> x(2);
  SvdWorkspace ws;
  svdfit(3, x, 2, p.view(), std::vector<float>{2, 2, 2}, ws, kNoPause);
  std::vector<float> w = {ws.singular_values[0], ws.singular_values[1]};
  std::sort(w.begin(), w.end());
  EXPECT_EQ(w[0], 0.0f);
  EXPECT_NEAR(w[1], 2.4494898f, 1e-6f);
  EXPECT_NEAR(x[0], 1.0f, 1e-6f);
  EXPECT_NEAR(x[1], 1.0f, 1e-6f);
}

TEST(Svdfit, ZeroMatrixGivesZeroSolution) {
  FitProblem p(4, 3, std::vector<float>(12, 0.0f));
  std::vector<float> x(3, 99.0f);
  SvdWorkspace ws;
  svdfit(4, x, 3, p.view(), std::vector<float>{1, 2, 3, 4}, ws, kNoPause);
  expect_same_floats(x, std::vector<float>{0.0f, 0.0f, 0.0f});
}

TEST(Svdfit, KeepsASingularValueEqualToTheThresholdAndDropsOneBelow) {
  struct Row {
    const char* name;
    float small;
    bool kept;
  };
  const Row rows[] = {{"1e-9 equals the threshold", 1.0e-9f, true},
                      {"0.5e-9 lies below it", 0.5e-9f, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FitProblem p(2, 2, {1.0f, 0.0f, 0.0f, row.small});
    std::vector<float> x(2);
    SvdWorkspace ws;
    svdfit(2, x, 2, p.view(), std::vector<float>{1.0f, 1.0f}, ws, kNoPause);
    EXPECT_EQ(bits(ws.singular_values[0]), bits(1.0f));
    EXPECT_EQ(bits(ws.singular_values[1]), bits(row.kept ? row.small : 0.0f));
    EXPECT_EQ(x[0], 1.0f);
    EXPECT_EQ(x[1], row.kept ? 1.0f / row.small : 0.0f);
  }
}

TEST(Svdfit, ZeroesASingularValueLeftNegativeByAnUnconvergedPass) {
  FitProblem p(3, 3, kStubborn);
  std::vector<float> x(3);
  SvdWorkspace ws;
  PauseLog log;
  svdfit(3, x, 3, p.view(), std::vector<float>{1, 2, 3}, ws, log.handler());
  EXPECT_EQ(log.messages.size(), 1u);
  EXPECT_EQ(bits(ws.singular_values[2]), bits(0.0f));
  for (float xi : x) EXPECT_TRUE(std::isfinite(xi));
}

TEST(SvdfitDeathTest, RejectsAMatrixWithoutThousandRowStorage) {
  std::vector<float> a(4, 1.0f), x(2);
  SvdWorkspace ws;
  // In every build type, naming the broken condition.
  EXPECT_DEATH(svdfit(2, x, 2, MatView{a, 2, 2, 2}, std::vector<float>{1, 1}, ws, kNoPause),
               "svdfit.cpp:[0-9]+: contract failed: matrix.ld == kSvdfitRowDim");
}

}  // namespace
}  // namespace phasefit::numerics
