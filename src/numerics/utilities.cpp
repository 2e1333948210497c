#include "numerics/utilities.hpp"

#include <climits>
#include <cstdint>

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
  // Horner's rule from the top, in 64 bits: the value of digits k..top is
  // digits[k] + radices[k] * (the value of digits k+1..top). A zero radices[j]
  // gives every digit above j place value 0, so the evaluation starts at digit
  // j. The radices below the start are nonzero, so no step shrinks |value| by
  // more than 2^31 (the largest |digit|): a partial value that leaves 64 bits
  // cannot come back into int range in the fewer than 2^31 steps left, and an
  // overflow on the way is an overflow of the result.
  int top = 1;
  while (top < count && radices[top] != 0) ++top;
  std::int64_t value = digits[top];
  for (int k = top - 1; k >= 1; --k) {
    if (__builtin_mul_overflow(value, radices[k], &value) ||
        __builtin_add_overflow(value, digits[k], &value)) {
      run_time_error("Integer overflow in mixed_radix_encode");
    }
  }
  if (value < INT_MIN || value > INT_MAX) run_time_error("Integer overflow in mixed_radix_encode");
  return static_cast<int>(value);
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
