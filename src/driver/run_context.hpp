// The run's parameters and sample data, read once and kept for the whole run.
#pragma once

#include <string>

#include "numerics/arrays.hpp"

namespace strataperm {

// The seven values of "parameter.txt".
struct Parameters {
  std::string genotype_file;
  std::string marker_file;
  std::string output_file;
  int n_permutations = 0;  // R
  int n_loci = 0;          // L
  int n_markers = 0;       // M
  int n_individuals = 0;   // N
};

// The study as read from the two data files, all 1-based.
// Every individual has one trait value; it serves every marker.
struct SampleData {
  IntMatrix locus_allele1;   // [1..N][1..L]
  IntMatrix locus_allele2;   // [1..N][1..L]
  IntMatrix marker_allele1;  // [1..N][1..M]
  IntMatrix marker_allele2;  // [1..N][1..M]
  DoubleVector trait;        // [1..N]
};

}  // namespace strataperm
