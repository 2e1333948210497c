// The run's parameters and sample data, read once and kept for the whole run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// A marker genotype reduced to what the analysis uses: the sum of its two
// allele codes is 0, 2, or anything else (a heterozygote, or a sum such as 3
// from other codes).
enum MarkerClass : std::uint8_t {
  kSumZero = 0,     // additive -1, dominance 0
  kHeterozygous = 1,  // additive 0, dominance 1
  kSumTwo = 2,      // additive 1, dominance 0
};

inline MarkerClass marker_class_of(std::int64_t allele_sum) {
  return allele_sum == 2 ? kSumTwo : allele_sum == 0 ? kSumZero : kHeterozygous;
}

// The study as read from the two data files. Only the sum of the two allele
// codes of a genotype is ever used, so that is what is kept. Arrays are
// 0-based and individual-major.
struct SampleData {
  std::vector<std::int64_t> locus_count;   // [i * L + l]: sum of the two codes
  std::vector<std::uint8_t> marker_class;  // [i * M + j]: a MarkerClass
  std::vector<double> trait;               // [i]: the individual's trait value
};

}  // namespace strataperm
