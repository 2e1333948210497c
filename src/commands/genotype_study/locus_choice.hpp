// Which SNPs of the genotype input become background loci and which
// candidate markers: a locus is never both.
#pragma once

#include <cstddef>
#include <vector>

#include "commands/genotype_study/study_choices.hpp"
#include "io/genotype_records.hpp"

namespace strataperm {

// What the first pass learns of one usable variant among the kept individuals.
struct LocusSummary {
  bool has_missing = false;
  double minor_allele_frequency = 0.0;
};

// The chosen loci and the counts the summary reports.
struct LocusChoice {
  std::vector<std::size_t> background;  // variant indices, in file order
  std::vector<std::size_t> markers;     // variant indices, in file order
  std::size_t with_missing = 0;
  std::size_t below_maf = 0;  // among the SNPs a count-based choice could take
  std::size_t pool = 0;       // SNPs a count-based choice chose from
  std::size_t listed_markers_missing = 0;
  std::size_t listed_background_missing = 0;
  std::size_t background_also_marker = 0;
  std::size_t marker_ids_not_found = 0;
  std::size_t background_ids_not_found = 0;
};

// Chooses the loci from the usable variants and what the first pass learnt
// of them. Throws InputError when an id list cannot be read.
LocusChoice choose_loci(const StudyChoices& settings, const std::vector<Variant>& variants,
                        const std::vector<LocusSummary>& loci);

// `count` positions spread evenly over `pool` (all of it when it is smaller):
// pool[floor((2i+1) P / 2K)] for i = 0..K-1, in pool order.
std::vector<std::size_t> spread_evenly(const std::vector<std::size_t>& pool, std::size_t count);

}  // namespace strataperm
