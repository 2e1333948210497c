#include "numerics/utilities.hpp"

namespace strataperm {

int min_int(int a, int b) { return (a > b) ? b : a; }

int max_int(int a, int b) { return (a < b) ? b : a; }

double min_double(double a, double b) {
  // a >= b is false when either is NaN, which returns a.
  return (a >= b) ? b : a;
}

double power_double(double x, int n) {
  double result = 1.0;
  for (int i = 1; i <= n; ++i) result = result * x;
  return result;
}

int power_int(int x, int n) {
  int result = 1;
  for (int i = 1; i <= n; ++i) {
    // For |x| >= 2 the partial powers grow, so the first product that does not
    // fit means the power does not fit either.
    if (__builtin_mul_overflow(result, x, &result)) run_time_error("Integer overflow in power_int");
  }
  return result;
}

int mixed_radix_encode(IntVector digits, int count, IntVector radices) {
  int value = digits[1];
  int w = 1;
  for (int i = 2; i <= count; ++i) {
    w = w * radices[i - 1];
    value = value + w * digits[i];
  }
  return value;
}

void mixed_radix_decode(int value, IntVector digits, int count, IntVector radices) {
  // Weight of the top digit: the product of the first count - 1 radices.
  int w = 1;
  for (int i = 1; i <= count; ++i) w = w * radices[i];
  w = w / radices[count];
  for (int i = 1; i <= count; ++i) {
    const int pos = count - i + 1;
    digits[pos] = value / w;
    value = value - digits[pos] * w;
    if (i < count) w = w / radices[pos - 1];
  }
}

}  // namespace strataperm
