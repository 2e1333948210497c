// Which SNPs of the genotype input become background loci and which
// candidate markers: a locus is never both.
//
// Background loci must be called in every kept individual. Chosen by count,
// they are spread evenly by genomic position (chromosome in genome order,
// then base pair) over the SNPs with a known position (bp > 0) and a minor
// allele frequency of at least --min-maf that are not listed as candidates;
// chosen by id list, they are the listed SNPs. Either way they are kept in
// genome order, so every input route of the same data gives the same loci.
//
// Candidate markers are the SNPs of --markers-ids or --region, or else all
// SNPs not taken as background, in file order, less those the filters drop:
// --chr, --extract, --exclude, --maf (over the called individuals), more
// missing calls than --geno allows, or no call at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "study/study_choices.hpp"
#include "io/genotype_records.hpp"
#include "io/id_lists.hpp"

namespace strataperm {

// What the first pass learns of one usable variant among the kept individuals.
struct LocusSummary {
  std::int32_t called = 0;  // kept individuals with a call
  std::int32_t copies = 0;  // copies of allele2 among them
  bool complete(std::size_t kept) const { return static_cast<std::size_t>(called) == kept; }
  double minor_allele_frequency() const {
    if (called == 0) return 0.0;
    const double frequency = static_cast<double>(copies) / (2.0 * static_cast<double>(called));
    return frequency < 1.0 - frequency ? frequency : 1.0 - frequency;
  }
};

// The chosen loci and the counts the summary reports.
struct LocusChoice {
  std::vector<std::size_t> background;  // variant indices, in genome order
  std::vector<std::size_t> markers;     // variant indices, in file order
  std::size_t with_missing = 0;         // SNPs with a missing call among the kept individuals
  std::size_t unplaced = 0;             // SNPs without a position (bp <= 0)
  std::size_t below_maf = 0;            // among the SNPs a count-based choice could take
  std::size_t pool = 0;                 // SNPs a count-based choice chose from
  std::size_t listed_background_missing = 0;
  std::size_t background_also_marker = 0;
  std::size_t marker_ids_not_found = 0;
  std::size_t background_ids_not_found = 0;
  // Candidate markers dropped, by the first filter that drops them.
  std::size_t markers_other_chromosome = 0;
  std::size_t markers_not_extracted = 0;
  std::size_t markers_excluded = 0;
  std::size_t markers_below_maf = 0;
  std::size_t markers_too_many_missing = 0;
  std::size_t markers_no_call = 0;
  // Among the kept candidate markers.
  std::size_t markers_with_missing = 0;
  std::size_t markers_monomorphic = 0;
};

// Chooses the loci from the usable variants and what the first pass learnt
// of them (`kept` individuals). Throws InputError when an id list cannot be
// read.
LocusChoice choose_loci(const StudyChoices& settings, const VariantList& variants,
                        const std::vector<LocusSummary>& loci, std::size_t kept);

// `count` positions spread evenly over `pool` (all of it when it is smaller):
// pool[floor((2i+1) P / 2K)] for i = 0..K-1, in pool order.
std::vector<std::size_t> spread_evenly(const std::vector<std::size_t>& pool, std::size_t count);

// The variant indices in genome order (chromosome, then base pair; file order
// among equals).
void sort_by_genome_position(const VariantList& variants, std::vector<std::size_t>& indices);

}  // namespace strataperm
