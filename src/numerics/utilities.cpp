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
  if (count < 1) return;
  for (int i = 1; i <= count; ++i) {
    if (radices[i] == 0) run_time_error("Zero radix in mixed_radix_decode");
  }
  // Place value of digit k: the product of radices[1..k-1]. Take the digits up
  // to the highest one whose place value is at most 2^31 in magnitude; above it
  // |value| < |place value|, so those digits are 0. The radices are nonzero, so
  // the place values never shrink in magnitude, and the product of two factors
  // of at most 2^31 fits in 64 bits.
  constexpr std::int64_t reach = std::int64_t{1} << 31;
  int top = 1;
  std::int64_t w = 1;
  while (top < count) {
    const std::int64_t next = w * radices[top];
    if (next < -reach || next > reach) break;
    w = next;
    ++top;
  }
  // The only quotient that does not fit int: INT_MIN over a place value of -1.
  if (value == INT_MIN && w == -1) run_time_error("Integer overflow in mixed_radix_decode");
  for (int pos = count; pos > top; --pos) digits[pos] = 0;
  std::int64_t rest = value;
  for (int pos = top; pos >= 1; --pos) {
    const std::int64_t digit = rest / w;
    digits[pos] = static_cast<int>(digit);
    rest = rest - digit * w;
    if (pos > 1) w = w / radices[pos - 1];
  }
}

}  // namespace strataperm
