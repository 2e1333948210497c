// The trait of each genotyped individual, from a phenotype table or the .fam
// phenotype column, and the individuals that therefore enter the study.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "commands/genotype_study/genotype_input.hpp"
#include "commands/genotype_study/study_choices.hpp"

namespace strataperm {

// The individuals that enter the study, in genotype-file order.
struct KeptIndividuals {
  std::vector<std::size_t> sample_index;
  std::vector<std::string> family_id;
  std::vector<double> trait;
  std::size_t without_row = 0;
  std::size_t missing_trait = 0;
};


// Matches the input's samples with their traits (by FID and IID, or by IID
// for VCF samples) and keeps those with a trait, in genotype-file order.
// Throws InputError naming the file and line of any problem, or when fewer
// than two individuals have a trait.
KeptIndividuals keep_individuals(const StudyChoices& settings, const GenotypeInput& input);

}  // namespace strataperm
