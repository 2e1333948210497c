// strataperm: within-group permutation test of marker-trait association in a
// sample that may mix two populations. Reads "parameter.txt" in the current
// directory; takes no arguments.
#include "driver/run.hpp"

int main() { return strataperm::run_study(); }
