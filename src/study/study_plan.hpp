// A study from PLINK or VCF files, planned: the input opened, the kept
// individuals and their traits, every usable SNP with what the first pass
// learnt of it, and the chosen background loci and candidate markers. Both
// `import` (which writes the plan out as a study folder) and `run` (which
// streams it through the analysis) start here, so both make the same study.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "study/genotype_input.hpp"
#include "study/locus_choice.hpp"
#include "study/study_choices.hpp"
#include "study/traits.hpp"
#include "core/progress.hpp"

namespace strataperm {

struct StudyPlan {
  StudyChoices choices;
  std::unique_ptr<GenotypeInput> input;
  KeptIndividuals kept;
  std::shared_ptr<const VariantList> variant_list;  // the usable SNPs, in file order
  const VariantList& variants() const { return *variant_list; }
  std::vector<LocusSummary> loci;
  LocusChoice choice;
  std::size_t n() const { return kept.sample_index.size(); }
};

// Opens the input, keeps the individuals, reads every usable SNP once and
// chooses the loci. Throws InputError when the choices leave no background
// locus or no candidate marker (saying why and which options change that).
StudyPlan plan_study(const StudyChoices& choices, Progress& progress);

// Reads, in one pass, the calls of the variants `loci` (indices into the
// plan's variants) among the kept individuals: calls[i * K + k] for the k-th
// of the K loci (copies of allele2, or kMissingCall). Throws InputError when
// the file changed since the first pass.
std::vector<std::int8_t> read_calls(const StudyPlan& plan, const std::vector<std::size_t>& loci,
                                    Progress& progress);

// The plan's summary: one line per count, what was kept or left out and why.
void print_plan_summary(std::FILE* out, const StudyPlan& plan);

// Warnings about choices that did not go as asked: listed ids not in the
// input, fewer qualifying background SNPs than asked for.
void warn_about_choices(const StudyPlan& plan);

// The ids of the chosen background loci, in genome order: a list that
// --background-ids takes, so that a study can be repeated from any input
// route.
std::vector<std::string> background_ids(const StudyPlan& plan);

// The files the plan read: the genotype files, the phenotype table and the id
// lists the choices name.
std::vector<std::string> plan_inputs(const StudyPlan& plan);

}  // namespace strataperm
