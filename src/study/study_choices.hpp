// The choices that make a study from PLINK or VCF files: where the genotypes
// and traits come from, which SNPs become background loci and which candidate
// markers, and the number of permutations. `import` writes such a study to a
// folder; the choices and their options are the same wherever they are made.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "io/record_reader.hpp"


namespace strataperm {

inline constexpr int kDefaultBackgroundCount = 2000;
inline constexpr double kDefaultMinMaf = 0.05;
inline constexpr int kDefaultPermutations = 1000;
inline constexpr double kDefaultMaxMissing = 0.1;

// A stretch of one chromosome, both ends included.
struct Region {
  std::string chromosome;
  long long from = 0;
  long long to = 0;
};

// Everything the choices ask for, checked for consistency (the command line's
// options make them: commands/study_choice_options.hpp).
struct StudyChoices {
  std::string bfile;
  std::string vcf;
  std::string pheno;
  std::string pheno_column;  // empty: the first phenotype column
  std::string background_ids;
  int background_count = kDefaultBackgroundCount;
  bool background_count_given = false;  // a shortfall is worth a warning only then
  double min_maf = kDefaultMinMaf;
  std::string marker_ids;
  std::optional<Region> region;
  int permutations = kDefaultPermutations;
  // Candidate-marker filters: the lowest minor-allele frequency over the
  // called individuals (0 keeps all), the largest share of missing calls,
  // the chromosomes (empty: all), SNP ids to keep or to leave out.
  double maf = 0.0;
  double max_missing = kDefaultMaxMissing;
  std::vector<std::string> chromosomes;  // names and ranges "1-4" as given to --chr
  std::string extract, exclude;
  // Individuals to keep or to leave out (FID IID or IID per line).
  std::string keep, remove;
  // Covariates (run --covar, --covar-name): individuals without a row or
  // with a missing value are left out.
  std::string covar, covar_names;
};

// Whether `chromosome` is one that --chr lists (every one when the list is
// empty). Names match without a "chr" prefix and regardless of case; numbers
// match ranges "A-B"; X, Y, XY and MT match 23, 24, 25 and 26.
bool chromosome_listed(const std::vector<std::string>& listed, const std::string& chromosome);

// Genome order of chromosome names: 1, 2, ... numerically, then X (23),
// Y (24), XY (25), MT (26), then any other name in byte order; a "chr"
// prefix and case do not count. True when `a` comes before `b`.
bool chromosome_before(const std::string& a, const std::string& b);

// Small text helpers of the choices.
// A chromosome name without a leading "chr" (any case), so "chr1" matches "1".
std::string plain_chromosome(const std::string& name);

}  // namespace strataperm
