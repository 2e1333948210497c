// The choices that make a study from PLINK or VCF files: where the genotypes
// and traits come from, which SNPs become background loci and which candidate
// markers, and the number of permutations. `import` writes such a study to a
// folder; the choices and their options are the same wherever they are made.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "commands/options.hpp"

namespace strataperm {

inline constexpr int kDefaultBackgroundCount = 2000;
inline constexpr double kDefaultMinMaf = 0.05;
inline constexpr int kDefaultPermutations = 1000;

// A stretch of one chromosome, both ends included.
struct Region {
  std::string chromosome;
  long long from = 0;
  long long to = 0;
};

// Everything the command line asks for, checked for consistency.
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
};

// The options that make the choices, for the help and the parser.
const std::vector<OptionSpec>& study_choice_options();

// Turns the parsed command line of `command` into choices; throws UsageError
// for missing or conflicting options and malformed values.
StudyChoices study_choices_from(const ParsedArguments& parsed, const std::string& command);

// Small text helpers of the choices.
bool is_whole_number(const std::string& text);
bool equal_ignoring_case(const std::string& a, const std::string& b);
// A chromosome name without a leading "chr" (any case), so "chr1" matches "1".
std::string plain_chromosome(const std::string& name);

}  // namespace strataperm
