// Random variates (values, draw counts, fatal arguments) and the incomplete
// gamma family of distribution functions.
#include "numerics/distributions.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "numerics/arrays.hpp"
#include "numerics/random.hpp"

namespace strataperm {
namespace {

// --- helpers for the death tests -------------------------------------------

// The fatal messages go to standard output, which a death test cannot match.
// Inside the dying child, stdout is pointed at stderr and an exit handler
// appends "draws=N" for the watched stream, so one regex checks the message,
// that nothing else was printed, and how many draws were taken before exit.
RandomStream* g_watched_stream = nullptr;

void report_draws_at_exit() {
  std::fflush(stdout);
  std::fprintf(stderr, "draws=%lld\n", static_cast<long long>(g_watched_stream->draws));
}

void watch_exit(RandomStream& stream) {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  g_watched_stream = &stream;
  std::atexit(report_draws_at_exit);
}

// Same, for routines that draw nothing.
RandomStream g_unused_stream;
void watch_exit_no_stream() { watch_exit(g_unused_stream); }

std::string captured_stdout() {
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

struct Moments {
  double mean;
  double variance;
};

template <typename Draw>
Moments sample_moments(int count, Draw draw) {
  std::vector<double> xs(static_cast<std::size_t>(count));
  double sum = 0.0;
  for (double& x : xs) {
    x = draw();
    sum += x;
  }
  const double mean = sum / count;
  double ss = 0.0;
  for (double x : xs) ss += (x - mean) * (x - mean);
  return {mean, ss / (count - 1)};
}

// --- normal_deviate ----------------------------------------------------------

TEST(NormalDeviate, UsesFirstCoordinateOfAcceptedPairAndDiscardsTheOther) {
  // Replays the stream: draws come in (p, q) pairs, rejected pairs are skipped,
  // and the deviate is built from p; nothing is carried to the next call.
  RandomStream stream;
  RandomStream replay;
  int rejected_pairs = 0;
  for (int call = 0; call < 300; ++call) {
    double p;
    double q;
    double r;
    for (;;) {
      p = 2.0 * uniform_random(replay) - 1.0;
      q = 2.0 * uniform_random(replay) - 1.0;
      r = p * p + q * q;
      if (r < 1.0 && r != 0.0) break;
      ++rejected_pairs;
    }
    const double f = std::sqrt((std::log(r) * -2.0) / r);
    ASSERT_EQ(normal_deviate(1.5, 0.25, stream), (p * f) * 0.25 + 1.5) << "call " << call;
    ASSERT_EQ(stream.draws, replay.draws) << "call " << call;
  }
  EXPECT_GT(rejected_pairs, 0);  // the rejection path was exercised
}

TEST(NormalDeviate, ZeroSdReturnsMeanExactlyAfterAtLeastOnePair) {
  RandomStream stream;
  for (int i = 0; i < 50; ++i) {
    const std::int64_t before = stream.draws;
    EXPECT_EQ(normal_deviate(-7.25, 0.0, stream), -7.25);
    const std::int64_t used = stream.draws - before;
    EXPECT_GE(used, 2);
    EXPECT_EQ(used % 2, 0);
  }
}

TEST(NormalDeviate, SampleMomentsMatchMeanAndSd) {
  RandomStream stream;
  const int n = 20000;
  const Moments m = sample_moments(n, [&] { return normal_deviate(3.0, 2.0, stream); });
  EXPECT_NEAR(m.mean, 3.0, 4.0 * 2.0 / std::sqrt(n));
  EXPECT_NEAR(m.variance, 4.0, 4.0 * 4.0 * std::sqrt(2.0 / n));
  // A negative sd mirrors the deviate around the mean.
  RandomStream a;
  RandomStream b;
  for (int i = 0; i < 20; ++i) {
    const double up = normal_deviate(1.0, 2.0, a);
    const double down = normal_deviate(1.0, -2.0, b);
    EXPECT_NEAR(up - 1.0, 1.0 - down, 1e-14);
  }
}

// --- chi_square_deviate ------------------------------------------------------

TEST(ChiSquareDeviate, IsSumOfSquaredStandardNormals) {
  for (int df : {1, 2, 5, 11}) {
    RandomStream stream;
    RandomStream replay;
    for (int call = 0; call < 20; ++call) {
      double expected = 0.0;
      for (int i = 0; i < df; ++i) {
        const double z = normal_deviate(0.0, 1.0, replay);
        expected = expected + z * z;
      }
      ASSERT_EQ(chi_square_deviate(df, stream), expected) << "df " << df;
      ASSERT_EQ(stream.draws, replay.draws) << "df " << df;
    }
  }
}

TEST(ChiSquareDeviateDeathTest, NonPositiveDfPrintsMessageAndExitsWithoutDrawing) {
  for (int df : {0, -3}) {
    RandomStream stream;
    EXPECT_EXIT(
        {
          watch_exit(stream);
          chi_square_deviate(df, stream);
        },
        testing::ExitedWithCode(1), "^The freedom of chi-square must be positive integer!\ndraws=0\n$")
        << "df " << df;
  }
}

// --- gamma_deviate -----------------------------------------------------------

TEST(GammaDeviate, ShapeBelowOneWarnsOnceDrawsNothingAndReturnsZero) {
  for (int shape : {0, -4}) {
    RandomStream stream;
    testing::internal::CaptureStdout();
    const double x = gamma_deviate(shape, 2.0, stream);
    EXPECT_EQ(captured_stdout(), "shape parameter must be greater than 1\n");
    EXPECT_EQ(stream.draws, 0);
    EXPECT_EQ(x, 0.0);
    EXPECT_TRUE(std::signbit(x)) << "minus log 1.0, divided by a positive rate, is -0.0";
  }
}

TEST(GammaDeviate, ShapesOneToFiveUseProductOfExactlyShapeDraws) {
  for (int shape = 1; shape <= 5; ++shape) {
    RandomStream stream;
    RandomStream replay;
    double got[10];
    testing::internal::CaptureStdout();
    for (int call = 0; call < 10; ++call) got[call] = gamma_deviate(shape, 0.5, stream);
    EXPECT_EQ(captured_stdout(), "") << "shape " << shape;
    EXPECT_EQ(stream.draws, 10 * shape);
    for (int call = 0; call < 10; ++call) {
      double prod = 1.0;
      for (int j = 0; j < shape; ++j) prod = prod * uniform_random(replay);
      EXPECT_EQ(got[call], -std::log(prod) / 0.5) << "shape " << shape << " call " << call;
    }
  }
}

TEST(GammaDeviate, RejectionMethodForLargeShapesHasGammaMoments) {
  // Mean shape / rate, variance shape / rate^2; limits are about four
  // standard errors.
  const int n = 20000;
  for (int shape : {6, 13}) {
    RandomStream stream;
    const double rate = 2.0;
    const double mean = shape / rate;
    const double var = shape / (rate * rate);
    // Two draws per inner attempt plus one per acceptance test: at least three
    // per call, and (unlike the product method) not a fixed number.
    std::int64_t fewest = 1 << 30;
    std::int64_t most = 0;
    testing::internal::CaptureStdout();
    const Moments m = sample_moments(n, [&] {
      const std::int64_t before = stream.draws;
      const double x = gamma_deviate(shape, rate, stream);
      fewest = std::min(fewest, stream.draws - before);
      most = std::max(most, stream.draws - before);
      return x;
    });
    EXPECT_EQ(captured_stdout(), "");
    EXPECT_NEAR(m.mean, mean, 4.0 * std::sqrt(var / n)) << "shape " << shape;
    EXPECT_NEAR(m.variance, var, 4.0 * var * std::sqrt((2.0 + 6.0 / shape) / n)) << "shape " << shape;
    EXPECT_EQ(fewest, 3) << "shape " << shape;
    EXPECT_GT(most, shape) << "shape " << shape;
  }
}

// --- dirichlet_deviate -------------------------------------------------------

TEST(DirichletDeviate, NormalisesChiSquareDeviatesOfTwiceAlpha) {
  const int n = 3;
  IntVector alpha = ivector(1, n);
  alpha[1] = 1;
  alpha[2] = 4;
  alpha[3] = 2;
  DoubleVector w = dvector(1, n);
  RandomStream stream;
  RandomStream replay;
  for (int call = 0; call < 20; ++call) {
    dirichlet_deviate(w, alpha, n, stream);
    double t[4];
    double total = 0.0;
    for (int i = 1; i <= n; ++i) {
      t[i] = chi_square_deviate(2 * alpha[i], replay);
      total = total + t[i];
    }
    double sum = 0.0;
    for (int i = 1; i <= n; ++i) {
      ASSERT_EQ(w[i], t[i] / total);
      EXPECT_GT(w[i], 0.0);
      sum += w[i];
    }
    EXPECT_NEAR(sum, 1.0, 1e-15);
    ASSERT_EQ(stream.draws, replay.draws);
  }
  free_dvector(w, 1, n);
  free_ivector(alpha, 1, n);
}

TEST(DirichletDeviateDeathTest, NonPositiveAlphaExitsAfterEarlierEntriesAreDrawn) {
  IntVector alpha = ivector(1, 3);
  alpha[1] = 2;
  alpha[2] = 0;
  alpha[3] = 1;
  DoubleVector w = dvector(1, 3);
  RandomStream replay;
  chi_square_deviate(4, replay);
  const std::string expected = "^The freedom of chi-square must be positive integer!\ndraws=" +
                               std::to_string(replay.draws) + "\n$";
  RandomStream stream;
  EXPECT_EXIT(
      {
        watch_exit(stream);
        dirichlet_deviate(w, alpha, 3, stream);
      },
      testing::ExitedWithCode(1), expected.c_str());
  free_dvector(w, 1, 3);
  free_ivector(alpha, 1, 3);
}

TEST(DirichletDeviateDeathTest, AlphaBeyondHalfIntMaxExitsAfterEarlierEntriesAreDrawn) {
  // 2 * alpha degrees of freedom would not fit int.
  RandomStream replay;
  chi_square_deviate(4, replay);
  const std::string expected =
      "^alpha too large in dirichlet_deviate\ndraws=" + std::to_string(replay.draws) + "\n$";
  for (int huge : {INT_MAX / 2 + 1, INT_MAX}) {
    IntVector alpha = ivector(1, 3);
    alpha[1] = 2;
    alpha[2] = huge;
    alpha[3] = 1;
    DoubleVector w = dvector(1, 3);
    RandomStream stream;
    EXPECT_EXIT(
        {
          watch_exit(stream);
          dirichlet_deviate(w, alpha, 3, stream);
        },
        testing::ExitedWithCode(1), expected.c_str())
        << "alpha " << huge;
    free_dvector(w, 1, 3);
    free_ivector(alpha, 1, 3);
  }
}

TEST(DirichletDeviateDeathTest, EveryNegativeAlphaTakesTheChiSquareMessage) {
  // Down to INT_MIN, where 2 * alpha would not fit int either.
  RandomStream replay;
  chi_square_deviate(2, replay);
  const std::string expected = "^The freedom of chi-square must be positive integer!\ndraws=" +
                               std::to_string(replay.draws) + "\n$";
  for (int negative : {INT_MIN / 2 - 1, INT_MIN}) {
    IntVector alpha = ivector(1, 2);
    alpha[1] = 1;
    alpha[2] = negative;
    DoubleVector w = dvector(1, 2);
    RandomStream stream;
    EXPECT_EXIT(
        {
          watch_exit(stream);
          dirichlet_deviate(w, alpha, 2, stream);
        },
        testing::ExitedWithCode(1), expected.c_str())
        << "alpha " << negative;
    free_dvector(w, 1, 2);
    free_ivector(alpha, 1, 2);
  }
}

// --- multinomial_deviate -----------------------------------------------------

TEST(MultinomialDeviate, TakesOneDrawPerTrialAndZeroesCounts) {
  for (int k : {1, 4}) {
    DoubleVector prob = dvector(1, k);
    IntVector counts = ivector(1, k);
    for (int j = 1; j <= k; ++j) {
      prob[j] = 1.0 / k;
      counts[j] = 99;
    }
    RandomStream stream;
    multinomial_deviate(0, prob, counts, k, stream);
    EXPECT_EQ(stream.draws, 0);
    for (int j = 1; j <= k; ++j) EXPECT_EQ(counts[j], 0);

    multinomial_deviate(37, prob, counts, k, stream);
    EXPECT_EQ(stream.draws, 37);
    int total = 0;
    for (int j = 1; j <= k; ++j) total += counts[j];
    EXPECT_EQ(total, 37) << "counts restart from zero on every call";
    free_dvector(prob, 1, k);
    free_ivector(counts, 1, k);
  }
}

TEST(MultinomialDeviate, DrawOnABinEdge) {
  // The intervals are [0, cum[1]) and (cum[j-1], cum[j]]: a draw equal to
  // cum[1] lands in no bin, a draw equal to cum[2] lands in bin 2.
  RandomStream peek;
  const double u = uniform_random(peek);
  DoubleVector prob = dvector(1, 3);
  IntVector counts = ivector(1, 3);

  prob[1] = u;
  prob[2] = 0.5;
  prob[3] = 0.5;
  RandomStream stream;
  multinomial_deviate(1, prob, counts, 3, stream);
  EXPECT_EQ(counts[1] + counts[2] + counts[3], 0);

  prob[1] = u / 2.0;
  prob[2] = u - u / 2.0;  // cum[2] == u exactly
  RandomStream again;
  multinomial_deviate(1, prob, counts, 3, again);
  EXPECT_EQ(counts[1], 0);
  EXPECT_EQ(counts[2], 1);
  EXPECT_EQ(counts[3], 0);
  free_dvector(prob, 1, 3);
  free_ivector(counts, 1, 3);
}

TEST(MultinomialDeviate, BinsFollowUnnormalisedCumulativeProbabilities) {
  const int trials = 4000;
  const int k = 4;
  DoubleVector prob = dvector(1, k);
  IntVector counts = ivector(1, k);
  auto near_expected = [&](int count, double p) {
    const double sd = std::sqrt(trials * p * (1.0 - p));
    EXPECT_NEAR(count, trials * p, 4.0 * sd + 1.0);
  };

  // Probabilities summing to 0.6: draws above 0.6 land in no bin; a
  // zero-probability bin (an empty interval) never counts.
  prob[1] = 0.2;
  prob[2] = 0.0;
  prob[3] = 0.1;
  prob[4] = 0.3;
  RandomStream stream;
  multinomial_deviate(trials, prob, counts, k, stream);
  EXPECT_EQ(counts[2], 0);
  near_expected(counts[1], 0.2);
  near_expected(counts[3], 0.1);
  near_expected(counts[4], 0.3);
  near_expected(counts[1] + counts[3] + counts[4], 0.6);
  EXPECT_LT(counts[1] + counts[3] + counts[4], trials);

  // Probabilities summing above 1: bins beyond the first unit are unreachable.
  prob[1] = 0.5;
  prob[2] = 0.3;
  prob[3] = 0.4;
  prob[4] = 0.2;
  multinomial_deviate(trials, prob, counts, k, stream);
  EXPECT_EQ(counts[1] + counts[2] + counts[3], trials);
  EXPECT_EQ(counts[4], 0);
  near_expected(counts[3], 0.2);

  // A negative probability makes the intervals overlap; every bin is tested,
  // so a trial can be counted twice.
  prob[1] = 0.5;
  prob[2] = -0.2;
  prob[3] = 0.4;
  prob[4] = 0.3;
  multinomial_deviate(trials, prob, counts, k, stream);
  EXPECT_EQ(counts[2], 0);
  near_expected(counts[1], 0.5);
  near_expected(counts[3], 0.4);
  near_expected(counts[4], 0.3);
  EXPECT_GT(counts[1] + counts[3] + counts[4], trials);
  free_dvector(prob, 1, k);
  free_ivector(counts, 1, k);
}

// --- incomplete gamma: gammp, gser, gcf ----------------------------------------

TEST(Gammp, KnownValuesOnBothBranches) {
  testing::internal::CaptureStdout();
  // Series branch (x < a + 1).
  const double p_1_1 = gammp(1.0, 1.0);
  const double p_3_15 = gammp(3.0, 1.5);
  // Continued-fraction branch: for a = 1 the fraction is exact after one step,
  // which the series (stopping at relative 3e-7) would not be.
  const double p_1_2 = gammp(1.0, 2.0);
  const double p_1_9 = gammp(1.0, 9.0);
  const double p_2_7 = gammp(2.0, 7.0);
  double at_zero[4];
  const double shapes[4] = {0.5, 1.0, 7.5, 300.0};
  for (int i = 0; i < 4; ++i) at_zero[i] = gammp(shapes[i], 0.0);
  EXPECT_EQ(captured_stdout(), "");

  // The series stops at the first term below 3e-7 of the sum, which leaves
  // P(1, 1) about 1e-8 short of 1 - 1/e.
  EXPECT_GT(1.0 - std::exp(-1.0) - p_1_1, 5e-9);
  EXPECT_LT(1.0 - std::exp(-1.0) - p_1_1, 2e-8);
  EXPECT_NEAR(p_3_15, 1.0 - std::exp(-1.5) * (1.0 + 1.5 + 1.125), 1e-7);
  EXPECT_NEAR(p_1_2, 1.0 - std::exp(-2.0), 1e-15);
  EXPECT_NEAR(p_1_9, 1.0 - std::exp(-9.0), 1e-15);
  EXPECT_NEAR(p_2_7, 1.0 - std::exp(-7.0) * 8.0, 1e-8);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(at_zero[i], 0.0) << "a " << shapes[i];
}

TEST(Gammp, BranchBoundaryIsXEqualAPlusOne) {
  // For a = 1e5 neither method converges within ITMAX, so the warning shows
  // which branch ran: x = a + 1 already uses the continued fraction.
  const double a = 1e5;
  testing::internal::CaptureStdout();
  const double below = gammp(a, a + 0.5);
  EXPECT_EQ(captured_stdout(), "a too large, ITMAX too small in routing gser\n");
  testing::internal::CaptureStdout();
  const double at = gammp(a, a + 1.0);
  EXPECT_EQ(captured_stdout(), "a too large, ITMAX too small in gcf\n");
  EXPECT_TRUE(std::isfinite(below));
  EXPECT_TRUE(std::isfinite(at));
}

TEST(Gammp, NonConvergingSeriesWarnsOnceAndReturnsItsEstimate) {
  testing::internal::CaptureStdout();
  const double p = gammp(10000.0, 10000.0);
  EXPECT_EQ(captured_stdout(), "a too large, ITMAX too small in routing gser\n");
  EXPECT_NEAR(p, 0.4786, 5e-5);  // the true value is about 0.5013
}

TEST(GammpDeathTest, BadArgumentsPrintMessageAndExit) {
  const char* message = "^ error for the input parameter in gammp function\ndraws=0\n$";
  EXPECT_EXIT(
      {
        watch_exit_no_stream();
        gammp(-1.0, 1.0);
      },
      testing::ExitedWithCode(1), message);
  EXPECT_EXIT(
      {
        watch_exit_no_stream();
        gammp(1.0, -0.1);
      },
      testing::ExitedWithCode(1), message);
  EXPECT_EXIT(
      {
        watch_exit_no_stream();
        gammp(0.0, 1.0);
      },
      testing::ExitedWithCode(1), message);
}

TEST(Gser, StoresLogGammaAndSeriesValue) {
  double result = -1.0;
  double lngam = -1.0;
  gser(result, 2.0, 1.0, lngam);
  EXPECT_EQ(lngam, log_gamma(2.0));
  EXPECT_NEAR(result, 1.0 - 2.0 * std::exp(-1.0), 1e-7);

  gser(result, 0.5, 0.0, lngam);
  EXPECT_EQ(result, 0.0);
  EXPECT_EQ(lngam, log_gamma(0.5));
}

TEST(GserDeathTest, NegativeXPrintsMessageAndExits) {
  EXPECT_EXIT(
      {
        watch_exit_no_stream();
        double result;
        double lngam;
        gser(result, 1.0, -0.5, lngam);
      },
      testing::ExitedWithCode(1), "^error input parameter in routing gser\ndraws=0\n$");
}

TEST(Gcf, StoresLogGammaAndUpperTail) {
  double result = -1.0;
  double lngam = -1.0;
  testing::internal::CaptureStdout();
  gcf(result, 2.0, 5.0, lngam);
  EXPECT_EQ(captured_stdout(), "");
  EXPECT_EQ(lngam, log_gamma(2.0));
  EXPECT_NEAR(result, std::exp(-5.0) * 6.0, 1e-9);  // Q(2, 5)
}

// --- log_gamma, chi_square_cdf, normal_cdf -------------------------------------

TEST(LogGamma, MatchesKnownValues) {
  EXPECT_NEAR(log_gamma(1.0), 0.0, 1e-9);
  EXPECT_NEAR(log_gamma(2.0), 0.0, 1e-9);
  EXPECT_NEAR(log_gamma(0.5), 0.5723649429, 5e-11);
  EXPECT_NEAR(log_gamma(10.0), std::log(362880.0), 1e-9);
  EXPECT_NEAR(log_gamma(3.5), std::log(3.323350970447843), 1e-9);
  EXPECT_NEAR(log_gamma(100.0), 359.13420536957540, 1e-8);
}

TEST(ChiSquareCdf, MatchesClosedForms) {
  for (double x : {0.1, 1.0, 3.9, 10.0}) {
    EXPECT_NEAR(chi_square_cdf(2, x), 1.0 - std::exp(-x / 2.0), 1e-6) << "x " << x;
  }
  EXPECT_NEAR(chi_square_cdf(1, 3.841459), 0.95, 5e-8);
  // Odd df gives a half-integer shape (df / 2 in integers would be wrong).
  for (double x : {0.7, 2.0, 6.5}) {
    const double exact = std::erf(std::sqrt(x / 2.0)) - std::sqrt(2.0 * x / M_PI) * std::exp(-x / 2.0);
    EXPECT_NEAR(chi_square_cdf(3, x), exact, 1e-6) << "x " << x;
  }
  EXPECT_EQ(chi_square_cdf(4, 0.0), 0.0);
}

TEST(NormalCdf, CentreTailsAndSymmetry) {
  EXPECT_EQ(normal_cdf(0.0), 0.5);
  EXPECT_NEAR(normal_cdf(1.96), 0.975002, 5e-7);
  EXPECT_NEAR(normal_cdf(-1.96), 0.024998, 5e-7);
  for (double z : {0.1, 0.8, 1.0, 1.5, 2.5, 4.0}) {
    EXPECT_NEAR(normal_cdf(-z), 1.0 - normal_cdf(z), 1e-15) << "z " << z;
    EXPECT_NEAR(normal_cdf(z), 0.5 * std::erfc(-z / std::sqrt(2.0)), 1e-7) << "z " << z;
  }
}

}  // namespace
}  // namespace strataperm
