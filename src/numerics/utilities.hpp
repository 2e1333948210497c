// Small integer and floating-point helpers. The integer routines give exact
// results or end the process through run_time_error: an int result that does
// not fit is never wrapped.
#pragma once

#include "numerics/arrays.hpp"

namespace strataperm {

// b if a > b, else a.
int min_int(int a, int b);

// b if a < b, else a.
int max_int(int a, int b);

// a if a < b or if the two compare unordered (a NaN in either place);
// otherwise b, so equal values return b.
double min_double(double a, double b);

// 1.0 multiplied by x, n times in turn; n <= 0 gives 1.0.
double power_double(double x, int n);

// 1 multiplied by x, n times in turn; n <= 0 gives 1. When x^n does not fit
// int the process ends through run_time_error("Integer overflow in
// power_int").
int power_int(int x, int n);

// Value of the mixed-radix number digits[1..count], least significant digit
// first: digits[1] + digits[2]*r1 + digits[3]*r1*r2 + ... with r = radices.
// Reads radices[1..count-1] at most: a zero radices[j] gives the digits above
// j place value 0, and neither they nor the radices above j are read.
// count < 1 returns digits[1]. The value is exact, however large the place
// values on the way; when it does not fit int the process ends through
// run_time_error("Integer overflow in mixed_radix_encode").
int mixed_radix_encode(IntVector digits, int count, IntVector radices);

// Inverse of mixed_radix_encode: writes digits[1..count], most significant
// first, reading radices[1..count]. The place value of digit k is the product
// of radices[1..k-1]; each digit is the truncating quotient of what is left of
// value by its place value, and the remainder goes on to the digit below. The
// top digit digits[count] is not reduced modulo radices[count]; count = 1
// copies value into digits[1]. Digits whose place value exceeds every int in
// magnitude are 0, so radices whose product does not fit int are fine.
// count < 1 writes and reads nothing. Before writing any digit, the process
// ends through run_time_error with "Zero radix in mixed_radix_decode" when a
// radix in 1..count is 0, and with "Integer overflow in mixed_radix_decode"
// when a digit does not fit int (value INT_MIN over a place value of -1).
void mixed_radix_decode(int value, IntVector digits, int count, IntVector radices);

}  // namespace strataperm
