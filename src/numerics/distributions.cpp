#include "numerics/distributions.hpp"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace strataperm {

double normal_deviate(double mean, double sd, RandomStream& stream) {
  double p;
  double q;
  double r;
  do {
    p = 2.0 * uniform_random(stream) - 1.0;
    q = 2.0 * uniform_random(stream) - 1.0;
    r = p * p + q * q;
  } while (r >= 1.0 || r == 0.0);
  const double f = std::sqrt((std::log(r) * -2.0) / r);
  return (p * f) * sd + mean;
}

double chi_square_deviate(int df, RandomStream& stream) {
  if (df < 1) {
    std::printf("The freedom of chi-square must be positive integer!\n");
    std::exit(1);
  }
  double sum = 0.0;
  for (int i = 1; i <= df; ++i) {
    const double z = normal_deviate(0.0, 1.0, stream);
    sum = sum + z * z;
  }
  return sum;
}

double gamma_deviate(int shape, double rate, RandomStream& stream) {
  if (shape < 1) std::printf("shape parameter must be greater than 1\n");
  double x;
  if (shape < 6) {
    // Sum of `shape` exponential deviates, taken as the log of one product.
    double prod = 1.0;
    for (int j = 1; j <= shape; ++j) prod = prod * uniform_random(stream);
    x = -std::log(prod);
  } else {
    // Rejection from a Cauchy-like comparison function centred on shape - 1.
    const double am = shape - 1;
    const double s = std::sqrt(2.0 * am + 1.0);
    double e;
    do {
      double y;
      do {
        double p;
        double q;
        do {
          p = uniform_random(stream);
          q = 2.0 * uniform_random(stream) - 1.0;
        } while (p * p + q * q > 1.0);
        y = q / p;
        x = s * y + am;
      } while (x <= 0.0);
      e = (1.0 + y * y) * std::exp(am * std::log(x / am) - s * y);
    } while (uniform_random(stream) > e);
  }
  return x / rate;
}

void dirichlet_deviate(DoubleVector weights, IntVector alpha, int n, RandomStream& stream) {
  DoubleVector t = dvector(1, n);
  double total = 0.0;
  for (int i = 1; i <= n; ++i) {
    if (alpha[i] > INT_MAX / 2) {
      std::printf("alpha too large in dirichlet_deviate\n");
      std::exit(1);
    }
    // Any alpha below 1 takes the chi-square message; 0 stands in for 2 * alpha
    // there, which need not fit int.
    const int df = (alpha[i] < 1) ? 0 : 2 * alpha[i];
    t[i] = chi_square_deviate(df, stream);
    total = total + t[i];
  }
  for (int i = 1; i <= n; ++i) weights[i] = t[i] / total;
  free_dvector(t, 1, n);
}

void multinomial_deviate(int trials, DoubleVector prob, IntVector counts, int k, RandomStream& stream) {
  DoubleVector cum = dvector(1, k);
  double s = 0.0;
  for (int j = 1; j <= k; ++j) {
    counts[j] = 0;
    s = s + prob[j];
    cum[j] = s;
  }
  for (int trial = 1; trial <= trials; ++trial) {
    const double u = uniform_random(stream);
    // Every bin is tested; the intervals are [0, cum[1]) and (cum[j-1], cum[j]].
    for (int j = 1; j <= k; ++j) {
      if (j == 1) {
        if (u < cum[1]) ++counts[1];
      } else if (cum[j - 1] < u && u <= cum[j]) {
        ++counts[j];
      }
    }
  }
  free_dvector(cum, 1, k);
}

double gammp(double a, double x) {
  if (x < 0.0 || a <= 0.0) {
    std::printf(" error for the input parameter in gammp function\n");
    std::exit(1);
  }
  double lngam;
  if (x < a + 1.0) {
    double gamser;
    gser(gamser, a, x, lngam);
    return gamser;
  }
  double gammcf;
  gcf(gammcf, a, x, lngam);
  return 1.0 - gammcf;
}

void gser(double& result, double a, double x, double& lngam) {
  lngam = log_gamma(a);
  if (x <= 0.0) {
    if (x < 0.0) {
      std::printf("error input parameter in routing gser\n");
      std::exit(1);
    }
    result = 0.0;
    return;
  }
  double ap = a;
  double del = 1.0 / a;
  double sum = del;
  for (int n = 1; n <= ITMAX; ++n) {
    ap = ap + 1.0;
    del = del * (x / ap);
    sum = sum + del;
    if (std::fabs(del) < std::fabs(sum) * EPS) {
      result = sum * std::exp(-x + a * std::log(x) - lngam);
      return;
    }
  }
  std::printf("a too large, ITMAX too small in routing gser\n");
  result = sum * std::exp(-x + a * std::log(x) - lngam);
}

void gcf(double& result, double a, double x, double& lngam) {
  lngam = log_gamma(a);
  double b = x + 1.0 - a;
  double c = 1.0 / FPMIN;
  double d = 1.0 / b;
  double h = d;
  int i;
  for (i = 1; i <= ITMAX; ++i) {
    const double an = static_cast<double>(-i) * (i - a);
    b = b + 2.0;
    d = an * d + b;
    if (std::fabs(d) < FPMIN) d = FPMIN;
    c = b + an / c;
    if (std::fabs(c) < FPMIN) c = FPMIN;
    d = 1.0 / d;
    const double del = d * c;
    h = h * del;
    if (std::fabs(del - 1.0) < EPS) break;
  }
  if (i > ITMAX) std::printf("a too large, ITMAX too small in gcf\n");
  result = std::exp(-x + a * std::log(x) - lngam) * h;
}

double log_gamma(double x) {
  static const double cof[6] = {76.18009172947146,     -86.50532032941677,
                                24.01409824083091,     -1.231739572450155,
                                0.1208650973866179e-2, -0.5395239384953e-5};
  double y = x;
  double t = x + 5.5;
  t = t - (x + 0.5) * std::log(t);
  double ser = 1.000000000190015;
  for (int j = 0; j < 6; ++j) {
    y = y + 1.0;
    ser = ser + cof[j] / y;
  }
  return std::log(2.5066282746310005 * ser / x) - t;
}

double chi_square_cdf(int df, double x) {
  return gammp(static_cast<double>(df) / 2.0, x / 2.0);
}

double normal_cdf(double x) {
  const double g = gammp(0.5, x * x / 2.0);
  if (x < 0.0) return 0.5 - 0.5 * g;
  return 0.5 * g + 0.5;
}

double normal_quantile(double p) {
  const double q = p - 0.5;
  if (std::fabs(q) <= 0.425) {
    const double r = 0.180625 - q * q;
    return q *
           (((((((2509.0809287301226727 * r + 33430.575583588128105) * r + 67265.770927008700853) * r +
                45921.953931549871457) * r + 13731.693765509461125) * r + 1971.5909503065514427) * r +
             133.14166789178437745) * r + 3.387132872796366608) /
           (((((((5226.495278852545925 * r + 28729.085735721942674) * r + 39307.89580009271061) * r +
                21213.794301586595867) * r + 5394.1960214247511077) * r + 687.1870074920579083) * r +
             42.313330701600911252) * r + 1.0);
  }
  double r = q < 0.0 ? p : 1.0 - p;
  if (!(r > 0.0)) return q < 0.0 ? -INFINITY : INFINITY;
  r = std::sqrt(-std::log(r));
  double value;
  if (r <= 5.0) {
    r -= 1.6;
    value = (((((((7.7454501427834140764e-4 * r + 0.0227238449892691845833) * r + 0.24178072517745061177) * r +
                 1.27045825245236838258) * r + 3.64784832476320460504) * r + 5.7694972214606914055) * r +
              4.6303378461565452959) * r + 1.42343711074968357734) /
            (((((((1.05075007164441684324e-9 * r + 5.475938084995344946e-4) * r + 0.0151986665636164571966) * r +
                 0.14810397642748007459) * r + 0.68976733498510000455) * r + 1.6763848301838038494) * r +
              2.05319162663775882187) * r + 1.0);
  } else {
    r -= 5.0;
    value = (((((((2.01033439929228813265e-7 * r + 2.71155556874348757815e-5) * r + 0.0012426609473880784386) * r +
                 0.026532189526576123093) * r + 0.29656057182850489123) * r + 1.7848265399172913358) * r +
              5.4637849111641143699) * r + 6.6579046435011037772) /
            (((((((2.04426310338993978564e-15 * r + 1.4215117583164458887e-7) * r + 1.8463183175100546818e-5) * r +
                 7.868691311456132591e-4) * r + 0.0148753612908506148525) * r + 0.13692988092273580531) * r +
              0.59983220655588793769) * r + 1.0);
  }
  return q < 0.0 ? -value : value;
}

double f_two_upper_tail(double f, double d) {
  if (!(f > 0.0)) return 1.0;
  return std::exp(-0.5 * d * std::log1p(2.0 * f / d));
}

}  // namespace strataperm
