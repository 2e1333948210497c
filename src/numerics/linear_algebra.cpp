#include "numerics/linear_algebra.hpp"

#include <cmath>

namespace strataperm {

void tridiagonalize(DoubleMatrix a, int n, DoubleVector d, DoubleVector e) {
  if (n < 1) return;  // nothing to reduce; d[1] and e[1] may not exist
  // Reduce row by row from the bottom, keeping the Householder vectors in a.
  for (int i = n; i >= 2; --i) {
    const int l = i - 1;
    double h = 0.0;
    double scale = 0.0;
    if (l > 1) {
      for (int k = 1; k <= l; ++k) scale = scale + std::fabs(a[i][k]);
      if (scale == 0.0) {
        e[i] = a[i][l];  // nothing to annihilate: no reflection
      } else {
        for (int k = 1; k <= l; ++k) {
          a[i][k] = a[i][k] / scale;
          h = h + a[i][k] * a[i][k];
        }
        double f = a[i][l];
        double g = (f >= 0.0) ? -std::sqrt(h) : std::sqrt(h);
        e[i] = scale * g;
        h = h - f * g;
        a[i][l] = f - g;
        f = 0.0;
        for (int j = 1; j <= l; ++j) {
          a[j][i] = a[i][j] / h;
          g = 0.0;
          for (int k = 1; k <= j; ++k) g = g + a[j][k] * a[i][k];
          for (int k = j + 1; k <= l; ++k) g = g + a[k][j] * a[i][k];
          e[j] = g / h;
          f = f + e[j] * a[i][j];
        }
        const double hh = f / (h + h);
        for (int j = 1; j <= l; ++j) {
          f = a[i][j];
          g = e[j] - hh * f;
          e[j] = g;
          for (int k = 1; k <= j; ++k) a[j][k] = a[j][k] - (f * e[k] + g * a[i][k]);
        }
      }
    } else {
      e[i] = a[i][l];
    }
    d[i] = h;
  }
  d[1] = 0.0;
  e[1] = 0.0;
  // Accumulate the transformations; d[i] still holds h of row i here.
  for (int i = 1; i <= n; ++i) {
    const int l = i - 1;
    if (d[i] != 0.0) {
      for (int j = 1; j <= l; ++j) {
        double g = 0.0;
        for (int k = 1; k <= l; ++k) g = g + a[i][k] * a[k][j];
        for (int k = 1; k <= l; ++k) a[k][j] = a[k][j] - g * a[k][i];
      }
    }
    d[i] = a[i][i];
    a[i][i] = 1.0;
    for (int j = 1; j <= l; ++j) {
      a[j][i] = 0.0;
      a[i][j] = 0.0;
    }
  }
}

void tqli(DoubleMatrix a, DoubleVector d, int n) {
  if (n < 1) return;  // nothing to decompose; e[n] below would lie outside e
  DoubleVector e = dvector(1, n);
  tridiagonalize(a, n, d, e);
  for (int i = 2; i <= n; ++i) e[i - 1] = e[i];
  e[n] = 0.0;

  for (int l = 1; l <= n; ++l) {
    int iter = 0;
    int m;
    do {
      // Look for a negligible off-diagonal element to split the matrix.
      for (m = l; m <= n - 1; ++m) {
        const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
        if (std::fabs(e[m]) + dd == dd) break;
      }
      if (m != l) {
        if (iter == 30) run_time_error("Too many iterations in tqli");
        ++iter;
        double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
        double r = std::sqrt(g * g + 1.0);
        g = (d[m] - d[l]) + e[l] / (g + transfer_sign(r, g));
        double sn = 1.0;
        double cs = 1.0;
        double p = 0.0;
        bool stopped_early = false;
        for (int i = m - 1; i >= l; --i) {
          double f = sn * e[i];
          const double b = cs * e[i];
          r = std::sqrt(f * f + g * g);
          e[i + 1] = r;
          if (r == 0.0) {
            // Underflow: the rotation is skipped and the sweep restarts.
            d[i + 1] = d[i + 1] - p;
            e[m] = 0.0;
            stopped_early = true;
            break;
          }
          sn = f / r;
          cs = g / r;
          g = d[i + 1] - p;
          r = (d[i] - g) * sn + 2.0 * cs * b;
          p = sn * r;
          d[i + 1] = g + p;
          g = cs * r - b;
          for (int k = 1; k <= n; ++k) {
            f = a[k][i + 1];
            a[k][i + 1] = sn * a[k][i] + cs * f;
            a[k][i] = cs * a[k][i] - sn * f;
          }
        }
        if (!stopped_early) {
          d[l] = d[l] - p;
          e[l] = g;
          e[m] = 0.0;
        }
      }
    } while (m != l);
  }
  free_dvector(e, 1, n);
}

double transfer_sign(double a, double b) {
  return (b >= 0.0) ? std::fabs(a) : -std::fabs(a);
}

double cholesky_inverse(DoubleMatrix a, DoubleMatrix inv, int n) {
  DoubleVector p = dvector(1, n);
  double det = 1.0;
  // Factor: L's strict lower triangle goes below a's diagonal, its diagonal to p.
  for (int i = 1; i <= n; ++i) {
    for (int j = i; j <= n; ++j) {
      double sum = a[i][j];
      for (int k = i - 1; k >= 1; --k) sum = sum - a[i][k] * a[j][k];
      if (i == j) {
        det = det * sum;
        p[i] = std::sqrt(sum);
      } else {
        a[j][i] = sum / p[i];
      }
    }
  }
  // Invert L in place, column by column.
  for (int i = 1; i <= n; ++i) {
    a[i][i] = 1.0 / p[i];
    for (int j = i + 1; j <= n; ++j) {
      double sum = 0.0;
      for (int k = i; k <= j - 1; ++k) sum = sum - a[j][k] * a[k][i];
      a[j][i] = sum / p[j];
    }
  }
  for (int i = 1; i <= n; ++i) {
    for (int j = i + 1; j <= n; ++j) a[i][j] = 0.0;
  }
  // A^-1 = (L^-1)^T L^-1.
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      double sum = 0.0;
      for (int k = 1; k <= n; ++k) sum = sum + a[k][i] * a[k][j];
      inv[i][j] = sum;
    }
  }
  free_dvector(p, 1, n);
  return det;
}

void matrix_multiply(DoubleMatrix out, DoubleMatrix x, DoubleMatrix y, int rows, int cols, int inner) {
  for (int i = 1; i <= rows; ++i) {
    for (int j = 1; j <= cols; ++j) {
      out[i][j] = 0.0;
      for (int k = 1; k <= inner; ++k) out[i][j] = x[i][k] * y[k][j] + out[i][j];
    }
  }
}

void matrix_transpose(DoubleMatrix out, DoubleMatrix x, int rows, int cols) {
  for (int i = 1; i <= rows; ++i) {
    for (int j = 1; j <= cols; ++j) out[j][i] = x[i][j];
  }
}

}  // namespace strataperm
