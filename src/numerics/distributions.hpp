// Random variates and probability distribution functions.
//
// The random routines draw only from the RandomStream they are given (always
// the last parameter); how many uniform draws each call takes, and in which
// order, is part of its contract and is stated with each routine. The
// distribution functions draw nothing.
//
// Argument errors print one line on standard output and end the process with
// status 1. An exhausted iteration limit prints one line on standard output and
// the routine goes on with the estimate it has reached.
#pragma once

#include "numerics/arrays.hpp"
#include "numerics/random.hpp"

namespace strataperm {

// Iteration limit of the incomplete-gamma series and continued fraction.
constexpr int ITMAX = 200;
// Relative tolerance at which the series and the continued fraction stop.
constexpr double EPS = 3.0e-7;
// Floor that keeps the continued fraction's denominators away from zero.
constexpr double FPMIN = 1.0e-30;

// Normal deviate with the given mean and standard deviation, by the polar
// method. Each attempt takes two draws (p first, then q); attempts repeat until
// 0 < p*p + q*q < 1. Returns (p * f) * sd + mean; the partner deviate q * f is
// discarded. sd is not checked: 0 returns mean exactly.
double normal_deviate(double mean, double sd, RandomStream& stream);

// Chi-square deviate with df degrees of freedom: the sum, from 0.0, of the
// squares of df successive normal_deviate(0.0, 1.0) values. df < 1 prints
// "The freedom of chi-square must be positive integer!" and exits with
// status 1 before drawing anything.
double chi_square_deviate(int df, RandomStream& stream);

// Gamma deviate of integer shape divided by rate (rate is the inverse scale).
// Shape 1..5: minus the log of the product of `shape` draws (exactly shape
// draws). Shape < 1: prints "shape parameter must be greater than 1", draws
// nothing and returns -0.0 / rate. Shape >= 6: rejection method, two draws per
// inner attempt plus one draw per acceptance test.
double gamma_deviate(int shape, double rate, RandomStream& stream);

// Writes a Dirichlet(alpha[1..n]) probability vector into weights[1..n]:
// t[i] = chi_square_deviate(2 * alpha[i]) for i = 1..n in order, then
// weights[i] = t[i] / (sum of t). An alpha[i] < 1 ends the process with the
// chi-square message after entries 1..i-1 have been drawn; an alpha[i] above
// INT_MAX / 2 (2 * alpha[i] degrees of freedom do not fit int) does the same
// with "alpha too large in dirichlet_deviate", drawing nothing for entry i.
void dirichlet_deviate(DoubleVector weights, IntVector alpha, int n, RandomStream& stream);

// Multinomial counts of `trials` trials over the bins 1..k with probabilities
// prob[1..k], used as given (not normalised). counts[1..k] are zeroed first;
// each trial takes exactly one draw u, which bin 1 takes when u < cum[1] and
// bin j >= 2 when cum[j-1] < u <= cum[j] (cum = running sums of prob). A draw
// at or above the total lands in no bin.
void multinomial_deviate(int trials, DoubleVector prob, IntVector counts, int k, RandomStream& stream);

// Regularised lower incomplete gamma function P(a, x): the series (gser) when
// x < a + 1, otherwise 1 - the continued fraction (gcf). x < 0 or a <= 0
// prints " error for the input parameter in gammp function" and exits with
// status 1.
double gammp(double a, double x);

// Stores ln Gamma(a) in lngam first, then P(a, x) by its series in result.
// x < 0 prints "error input parameter in routing gser" and exits with status 1;
// x == 0 gives 0. Without convergence in ITMAX terms prints
// "a too large, ITMAX too small in routing gser" and stores the estimate.
void gser(double& result, double a, double x, double& lngam);

// Stores ln Gamma(a) in lngam first, then Q(a, x) = 1 - P(a, x) by its
// continued fraction (modified Lentz) in result. Without convergence in ITMAX
// steps prints "a too large, ITMAX too small in gcf" and stores the estimate.
void gcf(double& result, double a, double x, double& lngam);

// ln Gamma(x) for x > 0 by the six-term Lanczos series (gamma = 5). The
// argument is not checked.
double log_gamma(double x);

// Chi-square distribution function: gammp(df / 2.0, x / 2.0).
double chi_square_cdf(int df, double x);

// Standard normal distribution function, from g = gammp(0.5, x * x / 2.0):
// 0.5 - 0.5 * g for x < 0, otherwise 0.5 * g + 0.5.
double normal_cdf(double x);

// The standard normal quantile at p in (0, 1) (Wichura's algorithm AS 241,
// about 16 digits).
double normal_quantile(double p);

// The upper tail of F(2, d) at f: (1 + 2f/d)^(-d/2), evaluated as
// exp((-0.5*d) * log1p((2.0*f)/d)) so that it keeps its relative accuracy
// down to the smallest positive double (it is 0 only where that underflows);
// 1.0 for f <= 0.
double f_two_upper_tail(double f, double d);

}  // namespace strataperm
