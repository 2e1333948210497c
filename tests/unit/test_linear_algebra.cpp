// Eigen-decomposition, Cholesky inverse, matrix products and the small
// integer / floating-point utilities.
#include "numerics/linear_algebra.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "numerics/arrays.hpp"
#include "numerics/random.hpp"
#include "numerics/utilities.hpp"

namespace strataperm {
namespace {

// An n x n dmatrix that frees itself.
class Square {
 public:
  explicit Square(int n) : n_(n), m_(dmatrix(1, n, 1, n)) {
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) m_[i][j] = 0.0;
  }
  ~Square() { free_dmatrix(m_, 1, n_, 1, n_); }
  Square(const Square&) = delete;
  Square& operator=(const Square&) = delete;
  DoubleVector operator[](int i) const { return m_[i]; }
  DoubleMatrix get() const { return m_; }
  void copy_from(const Square& other) {
    for (int i = 1; i <= n_; ++i)
      for (int j = 1; j <= n_; ++j) m_[i][j] = other[i][j];
  }

 private:
  int n_;
  DoubleMatrix m_;
};

// Symmetric matrix with entries uniform in [-1, 1).
void fill_random_symmetric(const Square& a, int n, RandomStream& stream) {
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= i; ++j) {
      const double v = 2.0 * uniform_random(stream) - 1.0;
      a[i][j] = v;
      a[j][i] = v;
    }
}

// The whole of what a run_time_error exit writes, as a death-test pattern: the
// three-line report and nothing else, standard output included (it is pointed
// at standard error first by fatal_exit_only_reports).
std::string report_only(const char* message) {
  std::string escaped;
  for (const char* p = message; *p; ++p) {
    if (*p == '(' || *p == ')' || *p == '.') escaped += '\\';
    escaped += *p;
  }
  return "^Numerical Recipes run-time error\\.\\.\\.\n" + escaped +
         "\n\\.\\.\\.now exiting to system\\.\\.\\.\n$";
}

void fatal_exit_only_reports() {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

// 1-based int vector filled from a list (an empty list gives an empty block).
IntVector ints(const std::vector<int>& values) {
  IntVector v = ivector(1, static_cast<long>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) v[static_cast<long>(i) + 1] = values[i];
  return v;
}

// --- tridiagonalize / tqli -----------------------------------------------------

TEST(Tridiagonalize, EmptyOrderTouchesNothing) {
  for (int n : {0, -3}) {
    // Empty vectors: any write is outside their blocks (reported under ASan).
    DoubleMatrix none = dmatrix(1, 0, 1, 0);
    DoubleVector d0 = dvector(1, 0);
    DoubleVector e0 = dvector(1, 0);
    tridiagonalize(none, n, d0, e0);
    free_dvector(e0, 1, 0);
    free_dvector(d0, 1, 0);
    free_dmatrix(none, 1, 0, 1, 0);
    // Vectors with room around index 1 keep their sentinels.
    Square a(1);
    a[1][1] = 7.0;
    DoubleVector d = dvector(-1, 2);
    DoubleVector e = dvector(-1, 2);
    for (int i = -1; i <= 2; ++i) {
      d[i] = 10.0 + i;
      e[i] = 20.0 + i;
    }
    tridiagonalize(a.get(), n, d, e);
    EXPECT_EQ(a[1][1], 7.0) << "n " << n;
    for (int i = -1; i <= 2; ++i) {
      EXPECT_EQ(d[i], 10.0 + i) << "n " << n << " i " << i;
      EXPECT_EQ(e[i], 20.0 + i) << "n " << n << " i " << i;
    }
    free_dvector(d, -1, 2);
    free_dvector(e, -1, 2);
  }
}

TEST(Tridiagonalize, OrthogonalTransformReproducesTheTridiagonalForm) {
  const int n = 6;
  RandomStream stream;
  Square a(n), original(n);
  fill_random_symmetric(original, n, stream);
  a.copy_from(original);
  DoubleVector d = dvector(1, n);
  DoubleVector e = dvector(1, n);
  tridiagonalize(a.get(), n, d, e);
  EXPECT_EQ(e[1], 0.0);
  // Q^T A Q must be the tridiagonal matrix (d on the diagonal, e[i] joining
  // rows i-1 and i), and Q must be orthogonal.
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) {
      double t = 0.0;
      double qtq = 0.0;
      for (int k = 1; k <= n; ++k) {
        qtq += a[k][i] * a[k][j];
        for (int l = 1; l <= n; ++l) t += a[k][i] * original[k][l] * a[l][j];
      }
      double expected = 0.0;
      if (i == j) expected = d[i];
      if (i == j + 1) expected = e[i];
      if (j == i + 1) expected = e[j];
      EXPECT_NEAR(t, expected, 1e-12) << i << "," << j;
      EXPECT_NEAR(qtq, i == j ? 1.0 : 0.0, 1e-13) << i << "," << j;
    }
  free_dvector(d, 1, n);
  free_dvector(e, 1, n);
}

TEST(Tridiagonalize, RowWithNothingLeftOfTheSubdiagonalGetsNoReflection) {
  // Row 3 has zeros left of the diagonal: scale = 0, e[3] = 0.
  const int n = 3;
  Square a(n);
  const double rows[3][3] = {{2.0, 1.0, 0.0}, {1.0, 3.0, 0.0}, {0.0, 0.0, 5.0}};
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) a[i][j] = rows[i - 1][j - 1];
  DoubleVector d = dvector(1, n);
  DoubleVector e = dvector(1, n);
  tridiagonalize(a.get(), n, d, e);
  EXPECT_EQ(e[1], 0.0);
  EXPECT_EQ(e[2], 1.0);
  EXPECT_EQ(e[3], 0.0);
  EXPECT_EQ(d[1], 2.0);
  EXPECT_EQ(d[2], 3.0);
  EXPECT_EQ(d[3], 5.0);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) EXPECT_EQ(a[i][j], i == j ? 1.0 : 0.0);
  free_dvector(d, 1, n);
  free_dvector(e, 1, n);
}

TEST(Tridiagonalize, ZeroPivotElementReflectsWithNegativeRoot) {
  // a[3][2] = 0 but a[3][1] != 0: f = 0 counts as non-negative, so g = -sqrt(h)
  // and the sub-diagonal element becomes -1 (not +1).
  const int n = 3;
  Square a(n);
  const double rows[3][3] = {{1.0, 0.0, 1.0}, {0.0, 2.0, 0.0}, {1.0, 0.0, 3.0}};
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) a[i][j] = rows[i - 1][j - 1];
  DoubleVector d = dvector(1, n);
  DoubleVector e = dvector(1, n);
  tridiagonalize(a.get(), n, d, e);
  EXPECT_EQ(e[3], -1.0);
  EXPECT_EQ(e[2], 0.0);
  EXPECT_EQ(d[1], 2.0);
  EXPECT_EQ(d[2], 1.0);
  EXPECT_EQ(d[3], 3.0);
  free_dvector(d, 1, n);
  free_dvector(e, 1, n);
}

TEST(Tqli, OneByOne) {
  Square a(1);
  a[1][1] = -4.5;
  DoubleVector d = dvector(1, 1);
  tqli(a.get(), d, 1);
  EXPECT_EQ(d[1], -4.5);
  EXPECT_EQ(a[1][1], 1.0);
  free_dvector(d, 1, 1);
}

TEST(Tqli, EmptyOrderTouchesNothing) {
  for (int n : {0, -1, -3}) {
    DoubleMatrix none = dmatrix(1, 0, 1, 0);
    DoubleVector d0 = dvector(1, 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    tqli(none, d0, n);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "n " << n;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "n " << n;
    free_dvector(d0, 1, 0);
    free_dmatrix(none, 1, 0, 1, 0);

    Square a(1);
    a[1][1] = 7.0;
    DoubleVector d = dvector(-1, 2);
    for (int i = -1; i <= 2; ++i) d[i] = 10.0 + i;
    tqli(a.get(), d, n);
    EXPECT_EQ(a[1][1], 7.0) << "n " << n;
    for (int i = -1; i <= 2; ++i) EXPECT_EQ(d[i], 10.0 + i) << "n " << n << " i " << i;
    free_dvector(d, -1, 2);
  }
}

TEST(Tqli, DiagonalMatrixKeepsOrderAndGivesIdentity) {
  const int n = 4;
  Square a(n);
  const double diag[4] = {3.0, -1.0, 7.5, 0.25};
  for (int i = 1; i <= n; ++i) a[i][i] = diag[i - 1];
  DoubleVector d = dvector(1, n);
  tqli(a.get(), d, n);
  for (int i = 1; i <= n; ++i) {
    EXPECT_EQ(d[i], diag[i - 1]);
    for (int j = 1; j <= n; ++j) EXPECT_EQ(a[i][j], i == j ? 1.0 : 0.0);
  }
  free_dvector(d, 1, n);
}

TEST(Tqli, TwoByTwoGivesOrderedValuesAndSignedVectors) {
  Square a(2);
  a[1][1] = 2.0;
  a[1][2] = 1.0;
  a[2][1] = 1.0;
  a[2][2] = 2.0;
  DoubleVector d = dvector(1, 2);
  tqli(a.get(), d, 2);
  const double h = 1.0 / std::sqrt(2.0);
  EXPECT_NEAR(d[1], 1.0, 1e-14);
  EXPECT_NEAR(d[2], 3.0, 1e-14);
  EXPECT_NEAR(a[1][1], h, 1e-14);
  EXPECT_NEAR(a[2][1], -h, 1e-14);
  EXPECT_NEAR(a[1][2], h, 1e-14);
  EXPECT_NEAR(a[2][2], h, 1e-14);
  free_dvector(d, 1, 2);
}

TEST(Tqli, RandomSymmetricMatrixIsDiagonalisedByOrthonormalColumns) {
  RandomStream stream;
  for (int n : {3, 8}) {
    Square a(n), original(n);
    fill_random_symmetric(original, n, stream);
    a.copy_from(original);
    // Only the lower triangle may be read: spoil the strict upper one.
    for (int i = 1; i <= n; ++i)
      for (int j = i + 1; j <= n; ++j) a[i][j] = 1e6;
    DoubleVector d = dvector(1, n);
    tqli(a.get(), d, n);
    double trace = 0.0;
    double sum_d = 0.0;
    for (int k = 1; k <= n; ++k) {
      trace += original[k][k];
      sum_d += d[k];
      for (int i = 1; i <= n; ++i) {
        double av = 0.0;
        for (int j = 1; j <= n; ++j) av += original[i][j] * a[j][k];
        EXPECT_NEAR(av, d[k] * a[i][k], 1e-12) << "n " << n << " k " << k << " i " << i;
      }
      for (int l = 1; l <= n; ++l) {
        double dot = 0.0;
        for (int i = 1; i <= n; ++i) dot += a[i][k] * a[i][l];
        EXPECT_NEAR(dot, k == l ? 1.0 : 0.0, 1e-13);
      }
    }
    EXPECT_NEAR(trace, sum_d, 1e-12);
    free_dvector(d, 1, n);
  }
}

TEST(TqliDeathTest, EigenvalueThatNeverSplitsOffIsFatalAfterThirtySweeps) {
  // A NaN diagonal entry never passes the splitting test, so the sweeps for
  // the first eigenvalue run out.
  EXPECT_EXIT(
      {
        Square a(2);
        a[1][1] = std::numeric_limits<double>::quiet_NaN();
        a[2][2] = 1.0;
        DoubleVector d = dvector(1, 2);
        tqli(a.get(), d, 2);
      },
      testing::ExitedWithCode(1), "Too many iterations in tqli");
}

TEST(TransferSign, TakesSignOfSecondArgument) {
  EXPECT_EQ(transfer_sign(3.0, 2.0), 3.0);
  EXPECT_EQ(transfer_sign(-3.0, 2.0), 3.0);
  EXPECT_EQ(transfer_sign(3.0, 0.0), 3.0);
  EXPECT_EQ(transfer_sign(3.0, -0.0), 3.0);
  EXPECT_EQ(transfer_sign(3.0, -1.0), -3.0);
  EXPECT_EQ(transfer_sign(-3.0, -1.0), -3.0);
  EXPECT_EQ(transfer_sign(3.0, std::numeric_limits<double>::quiet_NaN()), -3.0);
}

// --- cholesky_inverse ------------------------------------------------------------

TEST(CholeskyInverse, TwoByTwoExample) {
  for (double lower_left : {2.0, -123.0}) {  // never read
    Square a(2), inv(2);
    a[1][1] = 4.0;
    a[1][2] = 2.0;
    a[2][1] = lower_left;
    a[2][2] = 3.0;
    const double det = cholesky_inverse(a.get(), inv.get(), 2);
    EXPECT_DOUBLE_EQ(det, 8.0);
    EXPECT_NEAR(inv[1][1], 0.375, 1e-15);
    EXPECT_NEAR(inv[1][2], -0.25, 1e-15);
    EXPECT_NEAR(inv[2][1], -0.25, 1e-15);
    EXPECT_NEAR(inv[2][2], 0.5, 1e-15);
    EXPECT_NEAR(a[1][1], 0.5, 1e-15);
    EXPECT_EQ(a[1][2], 0.0);
    EXPECT_NEAR(a[2][1], -0.5 / std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(a[2][2], 1.0 / std::sqrt(2.0), 1e-15);
  }
}

TEST(CholeskyInverse, RandomPositiveDefiniteMatrix) {
  const int n = 6;
  RandomStream stream;
  Square b(n), spd(n), a(n), inv(n), eig(n);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) b[i][j] = 2.0 * uniform_random(stream) - 1.0;
  // B B^T + I is symmetric positive definite.
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) {
      double s = i == j ? 1.0 : 0.0;
      for (int k = 1; k <= n; ++k) s += b[i][k] * b[j][k];
      spd[i][j] = s;
    }
  a.copy_from(spd);
  const double det = cholesky_inverse(a.get(), inv.get(), n);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) {
      double s = 0.0;
      double lal = 0.0;  // (L^-1) A (L^-1)^T = I
      for (int k = 1; k <= n; ++k) {
        s += spd[i][k] * inv[k][j];
        for (int l = 1; l <= n; ++l) lal += a[i][k] * spd[k][l] * a[j][l];
      }
      EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-12) << i << "," << j;
      EXPECT_NEAR(lal, i == j ? 1.0 : 0.0, 1e-12) << i << "," << j;
      EXPECT_EQ(inv[i][j], inv[j][i]);
      if (j > i) {
        EXPECT_EQ(a[i][j], 0.0);
      }
    }
  // The determinant is the product of the eigenvalues.
  eig.copy_from(spd);
  DoubleVector d = dvector(1, n);
  tqli(eig.get(), d, n);
  double product = 1.0;
  for (int i = 1; i <= n; ++i) product *= d[i];
  EXPECT_NEAR(det / product, 1.0, 1e-12);
  free_dvector(d, 1, n);
}

TEST(CholeskyInverse, NonPositiveDefiniteGivesNaNWithoutMessage) {
  Square a(2), inv(2);
  a[1][1] = 1.0;
  a[1][2] = 2.0;
  a[2][2] = 1.0;  // determinant -3
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const double det = cholesky_inverse(a.get(), inv.get(), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_DOUBLE_EQ(det, -3.0);
  EXPECT_TRUE(std::isnan(inv[2][2]));
}

// --- matrix_multiply / matrix_transpose ------------------------------------------

TEST(MatrixProducts, RectangularMultiplyAndTranspose) {
  DoubleMatrix x = dmatrix(1, 2, 1, 3);
  DoubleMatrix y = dmatrix(1, 3, 1, 2);
  DoubleMatrix out = dmatrix(1, 2, 1, 2);
  DoubleMatrix xt = dmatrix(1, 3, 1, 2);
  const double xv[2][3] = {{1, 2, 3}, {4, 5, 6}};
  const double yv[3][2] = {{7, 8}, {9, 10}, {11, 12}};
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 3; ++j) {
      x[i][j] = xv[i - 1][j - 1];
      y[j][i] = yv[j - 1][i - 1];
    }
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j) out[i][j] = 1e9;  // overwritten, not added to
  matrix_multiply(out, x, y, 2, 2, 3);
  EXPECT_EQ(out[1][1], 58.0);
  EXPECT_EQ(out[1][2], 64.0);
  EXPECT_EQ(out[2][1], 139.0);
  EXPECT_EQ(out[2][2], 154.0);

  matrix_transpose(xt, x, 2, 3);
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 3; ++j) EXPECT_EQ(xt[j][i], xv[i - 1][j - 1]);

  free_dmatrix(x, 1, 2, 1, 3);
  free_dmatrix(y, 1, 3, 1, 2);
  free_dmatrix(out, 1, 2, 1, 2);
  free_dmatrix(xt, 1, 3, 1, 2);
}

// --- small utilities ---------------------------------------------------------------

TEST(Utilities, MinMaxAndNaNHandling) {
  EXPECT_EQ(min_int(3, -2), -2);
  EXPECT_EQ(min_int(-2, 3), -2);
  EXPECT_EQ(max_int(3, -2), 3);
  EXPECT_EQ(max_int(-2, 3), 3);
  EXPECT_EQ(min_double(2.0, 1.0), 1.0);
  EXPECT_EQ(min_double(1.0, 2.0), 1.0);
  // Equal values: the second argument (visible through the sign of zero).
  EXPECT_TRUE(std::signbit(min_double(0.0, -0.0)));
  EXPECT_FALSE(std::signbit(min_double(-0.0, 0.0)));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(min_double(nan, 1.0)));
  EXPECT_EQ(min_double(1.0, nan), 1.0);
}

TEST(Utilities, PowersHaveNoNegativeExponents) {
  EXPECT_EQ(power_double(2.0, 0), 1.0);
  EXPECT_EQ(power_double(2.0, -3), 1.0);
  EXPECT_EQ(power_double(-1.5, 3), -3.375);
  EXPECT_EQ(power_double(0.1, 3), (1.0 * 0.1) * 0.1 * 0.1);
  EXPECT_EQ(power_int(3, 4), 81);
  EXPECT_EQ(power_int(-2, 5), -32);
  EXPECT_EQ(power_int(7, 0), 1);
  EXPECT_EQ(power_int(7, -1), 1);
}

TEST(PowerInt, ExactUpToTheEdgesOfInt) {
  EXPECT_EQ(power_int(2, 30), 1 << 30);
  EXPECT_EQ(power_int(-2, 31), INT_MIN);
  EXPECT_EQ(power_int(46340, 2), 2147395600);  // 46341^2 is above INT_MAX
  EXPECT_EQ(power_int(10, 9), 1000000000);
  EXPECT_EQ(power_int(INT_MAX, 1), INT_MAX);
  EXPECT_EQ(power_int(INT_MIN, 1), INT_MIN);
  // Bases 0 and +-1 never leave int, however long the loop.
  EXPECT_EQ(power_int(-1, 100001), -1);
  EXPECT_EQ(power_int(-1, 100000), 1);
  EXPECT_EQ(power_int(0, 100000), 0);
  EXPECT_EQ(power_int(1, 100000), 1);
  // n <= 0 still gives 1 for any base.
  EXPECT_EQ(power_int(INT_MIN, 0), 1);
  EXPECT_EQ(power_int(0, INT_MIN), 1);
}

TEST(PowerIntDeathTest, PowerBeyondIntIsFatal) {
  const std::string report = report_only("Integer overflow in power_int");
  const int cases[][2] = {{2, 31}, {-2, 32}, {46341, 2}, {-46341, 2}, {INT_MIN, 2}, {3, 1000}};
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          fatal_exit_only_reports();
          power_int(c[0], c[1]);
        },
        testing::ExitedWithCode(1), report)
        << c[0] << "^" << c[1];
  }
}

// The value as the contract writes it, sum of digits[k] * (radices[1] * ... *
// radices[k-1]), in 64 bits; only used where every term fits.
std::int64_t forward_value(const std::vector<int>& digits, const std::vector<int>& radices) {
  std::int64_t value = digits[0];
  std::int64_t w = 1;
  for (std::size_t i = 1; i < digits.size(); ++i) {
    w = w * radices[i - 1];
    value = value + w * digits[i];
  }
  return value;
}

TEST(MixedRadix, WorkedExampleAndRoundTrip) {
  IntVector radices = ivector(1, 3);
  IntVector digits = ivector(1, 3);
  radices[1] = 2;
  radices[2] = 3;
  radices[3] = 4;
  digits[1] = 1;
  digits[2] = 2;
  digits[3] = 3;
  EXPECT_EQ(mixed_radix_encode(digits, 3, radices), 23);
  mixed_radix_decode(23, digits, 3, radices);
  EXPECT_EQ(digits[1], 1);
  EXPECT_EQ(digits[2], 2);
  EXPECT_EQ(digits[3], 3);

  for (int v = 0; v < 24; ++v) {
    mixed_radix_decode(v, digits, 3, radices);
    EXPECT_GE(digits[1], 0);
    EXPECT_LT(digits[1], 2);
    EXPECT_LT(digits[2], 3);
    EXPECT_LT(digits[3], 4);
    EXPECT_EQ(mixed_radix_encode(digits, 3, radices), v);
  }
  // The top digit is not reduced modulo its radix.
  mixed_radix_decode(30, digits, 3, radices);
  EXPECT_EQ(digits[3], 5);
  EXPECT_EQ(digits[1], 0);
  EXPECT_EQ(digits[2], 0);
  // The last radix is never read by the encoder.
  radices[3] = 0;
  digits[1] = 1;
  digits[2] = 0;
  digits[3] = 2;
  EXPECT_EQ(mixed_radix_encode(digits, 3, radices), 13);
  free_ivector(radices, 1, 3);
  free_ivector(digits, 1, 3);
}

TEST(MixedRadix, SingleDigit) {
  IntVector radices = ivector(1, 1);
  IntVector digits = ivector(1, 1);
  radices[1] = 10;
  mixed_radix_decode(57, digits, 1, radices);
  EXPECT_EQ(digits[1], 57);
  EXPECT_EQ(mixed_radix_encode(digits, 1, radices), 57);
  free_ivector(radices, 1, 1);
  free_ivector(digits, 1, 1);
}

TEST(MixedRadix, EncodeIsTheExactSumWheneverItFitsInt) {
  // Small radices of either sign (zero included) and digits of either sign,
  // including digits beyond their radix: the value is the plain sum.
  RandomStream stream;
  for (int trial = 0; trial < 2000; ++trial) {
    const int count = 1 + static_cast<int>(uniform_random(stream) * 6);
    std::vector<int> d(count), r(count);
    for (int i = 0; i < count; ++i) {
      d[i] = static_cast<int>(uniform_random(stream) * 41) - 20;
      r[i] = static_cast<int>(uniform_random(stream) * 15) - 7;
    }
    IntVector digits = ints(d);
    IntVector radices = ints(r);
    ASSERT_EQ(mixed_radix_encode(digits, count, radices), forward_value(d, r)) << "trial " << trial;
    free_ivector(digits, 1, count);
    free_ivector(radices, 1, count);
  }
  struct Case {
    std::vector<int> digits;
    std::vector<int> radices;
    int value;
  };
  std::vector<Case> cases = {
      {{65535, 32767}, {65536, 0}, INT_MAX},
      {{0, -32768}, {65536, 0}, INT_MIN},
      {{-1, 1, -1}, {-2, -2, 0}, -7},  // -1 + 1 * (-2) - 1 * 4
      // Digits above a zero radix have place value 0 and are not read, nor
      // the radices above it: no overflow however large they are.
      {{1, 1, INT_MAX, INT_MAX}, {2, 0, INT_MAX, INT_MAX}, 3},
  };
  // Place values far beyond 64 bits under zero digits add nothing.
  Case zeros{std::vector<int>(50, 0), std::vector<int>(50, 1000), 7 + 1000 * 3};
  zeros.digits[0] = 7;
  zeros.digits[1] = 3;
  cases.push_back(zeros);
  // Terms far beyond 64 bits that cancel: 10^39 - 9 * (10^38 + ... + 1) = 1.
  Case cancelling{std::vector<int>(40, -9), std::vector<int>(40, 10), 1};
  cancelling.digits[39] = 1;
  cases.push_back(cancelling);
  for (const Case& c : cases) {
    const int count = static_cast<int>(c.digits.size());
    IntVector digits = ints(c.digits);
    IntVector radices = ints(c.radices);
    EXPECT_EQ(mixed_radix_encode(digits, count, radices), c.value) << "count " << count;
    free_ivector(digits, 1, count);
    free_ivector(radices, 1, count);
  }
}

TEST(MixedRadixDeathTest, EncodedValueBeyondIntIsFatal) {
  const std::string report = report_only("Integer overflow in mixed_radix_encode");
  std::vector<std::pair<std::vector<int>, std::vector<int>>> cases = {
      {{0, 32768}, {65536, 1}},          // 2^31
      {{-1, -32768}, {65536, 1}},        // -2^31 - 1
      {{0, 0, 1}, {65536, 65536, 1}},    // 2^32
      {{INT_MAX, INT_MAX}, {INT_MAX, 1}},
  };
  // 10^29: the partial values leave 64 bits on the way.
  std::vector<int> top_only(30, 0);
  top_only[29] = 1;
  cases.emplace_back(top_only, std::vector<int>(30, 10));
  for (const auto& [d, r] : cases) {
    IntVector digits = ints(d);
    IntVector radices = ints(r);
    const int count = static_cast<int>(d.size());
    EXPECT_EXIT(
        {
          fatal_exit_only_reports();
          mixed_radix_encode(digits, count, radices);
        },
        testing::ExitedWithCode(1), report)
        << "count " << count;
    free_ivector(digits, 1, count);
    free_ivector(radices, 1, count);
  }
}

TEST(MixedRadix, DecodeGivesTruncatedDigitsThatEncodeBack) {
  // Nonzero radices of either sign whose product fits: each digit is the
  // truncating quotient of the rest by its place value.
  RandomStream stream;
  for (int trial = 0; trial < 2000; ++trial) {
    const int count = 1 + static_cast<int>(uniform_random(stream) * 5);
    std::vector<int> r(count);
    for (int i = 0; i < count; ++i) {
      do r[i] = static_cast<int>(uniform_random(stream) * 15) - 7;
      while (r[i] == 0);
    }
    const int value = static_cast<int>(uniform_random(stream) * 200001) - 100000;
    IntVector radices = ints(r);
    IntVector digits = ivector(1, count);
    mixed_radix_decode(value, digits, count, radices);
    std::int64_t rest = value;
    for (int pos = count; pos >= 1; --pos) {
      std::int64_t place = 1;
      for (int k = 1; k < pos; ++k) place *= r[k - 1];
      ASSERT_EQ(digits[pos], rest / place) << "trial " << trial << " pos " << pos;
      rest -= digits[pos] * place;
    }
    ASSERT_EQ(mixed_radix_encode(digits, count, radices), value) << "trial " << trial;
    free_ivector(radices, 1, count);
    free_ivector(digits, 1, count);
  }
}

TEST(MixedRadix, DecodeWithRadixProductBeyondIntGivesZeroHighDigits) {
  struct Case {
    int value;
    std::vector<int> radices;
    std::vector<int> digits;
  };
  const std::vector<Case> cases = {
      // Only the product with the top radix leaves int: the top radix is not
      // needed for the weights.
      {23, {2, 3, INT_MAX}, {1, 2, 3}},
      {INT_MAX, {65536, 65536, 65536}, {65535, 32767, 0}},
      {INT_MIN, {65536, 65536, 65536}, {0, -32768, 0}},
      {-1, {-65536, -65536, 7}, {-1, 0, 0}},
      // A place value of exactly 2^31 still takes INT_MIN.
      {INT_MIN, {65536, 32768, 5}, {0, 0, -1}},
      {INT_MIN, {65536, -32768, 5}, {0, 0, 1}},
      {INT_MAX, {65536, 32768, 5}, {65535, 32767, 0}},
      // Place values far beyond 64 bits.
      {1234, std::vector<int>(40, 1000), [] {
         std::vector<int> d(40, 0);
         d[0] = 234;
         d[1] = 1;
         return d;
       }()},
      // A place value of -1 keeps every other int.
      {INT_MIN + 1, {-1, 5}, {0, INT_MAX}},
      {INT_MAX, {-1, 5}, {0, -INT_MAX}},
  };
  for (const Case& c : cases) {
    const int count = static_cast<int>(c.radices.size());
    IntVector radices = ints(c.radices);
    IntVector digits = ivector(1, count);
    for (int i = 1; i <= count; ++i) digits[i] = 99;  // all overwritten
    mixed_radix_decode(c.value, digits, count, radices);
    for (int i = 1; i <= count; ++i) EXPECT_EQ(digits[i], c.digits[i - 1]) << c.value << " digit " << i;
    EXPECT_EQ(mixed_radix_encode(digits, count, radices), c.value);
    free_ivector(radices, 1, count);
    free_ivector(digits, 1, count);
  }
}

TEST(MixedRadix, EmptyNumberDecodesToNothing) {
  for (int count : {0, -2}) {
    IntVector no_radices = ivector(1, 0);  // reads would be outside (ASan)
    IntVector digits = ivector(-1, 2);
    for (int i = -1; i <= 2; ++i) digits[i] = 40 + i;
    mixed_radix_decode(12345, digits, count, no_radices);
    for (int i = -1; i <= 2; ++i) EXPECT_EQ(digits[i], 40 + i) << "count " << count;
    free_ivector(digits, -1, 2);
    free_ivector(no_radices, 1, 0);
  }
}

TEST(MixedRadixDeathTest, DecodeRejectsAZeroRadix) {
  const std::string report = report_only("Zero radix in mixed_radix_decode");
  const std::vector<std::vector<int>> cases = {{0}, {0, 3, 4}, {2, 0, 4}, {2, 3, 0}};
  for (const auto& r : cases) {
    IntVector radices = ints(r);
    const int count = static_cast<int>(r.size());
    IntVector digits = ivector(1, count);
    EXPECT_EXIT(
        {
          fatal_exit_only_reports();
          mixed_radix_decode(5, digits, count, radices);
        },
        testing::ExitedWithCode(1), report)
        << "count " << count;
    free_ivector(radices, 1, count);
    free_ivector(digits, 1, count);
  }
}

TEST(MixedRadixDeathTest, DecodedDigitBeyondIntIsFatal) {
  // INT_MIN over a place value of -1 is 2^31.
  const std::string report = report_only("Integer overflow in mixed_radix_decode");
  const std::vector<std::vector<int>> cases = {{-1, 5}, {1, -1, 3}, {-1, -1, -1, 2}};
  for (const auto& r : cases) {
    IntVector radices = ints(r);
    const int count = static_cast<int>(r.size());
    IntVector digits = ivector(1, count);
    EXPECT_EXIT(
        {
          fatal_exit_only_reports();
          mixed_radix_decode(INT_MIN, digits, count, radices);
        },
        testing::ExitedWithCode(1), report)
        << "count " << count;
    free_ivector(radices, 1, count);
    free_ivector(digits, 1, count);
  }
}

}  // namespace
}  // namespace strataperm
