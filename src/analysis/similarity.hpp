// Pairwise genetic similarity of the individuals at the background loci.
#pragma once

#include "numerics/arrays.hpp"

namespace strataperm {

// Fills similarity[1..n][1..n] with (max - d(i, j)) / max, where d(i, j) is the
// Manhattan distance between the individuals' allele counts (the sum of the two
// codes at each locus) over loci 1..n_loci and max is the largest distance of
// any pair. The diagonal is 1.0 and the most distant pairs 0.0. Integer work is
// done in 64 bits, so large allele codes cannot overflow. When no two
// individuals differ (max = 0) every entry is 0/0, a NaN.
// Returns the largest distance.
double compute_similarity(IntMatrix locus_allele1, IntMatrix locus_allele2, int n_individuals,
                          int n_loci, DoubleMatrix similarity);

}  // namespace strataperm
