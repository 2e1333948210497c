// The trait of each genotyped individual, from a phenotype table or the .fam
// phenotype column, and the individuals that therefore enter the study.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "study/genotype_input.hpp"
#include "study/study_choices.hpp"

namespace strataperm {

// The individuals that enter the study, in genotype-file order.
struct KeptIndividuals {
  std::vector<std::size_t> sample_index;
  std::vector<std::string> family_id;
  std::vector<double> trait;
  std::size_t without_row = 0;
  std::size_t missing_trait = 0;
  std::size_t not_kept = 0;  // left out by --keep or --remove
  // With covariates: their names, and the kept individuals' values (row-major,
  // one row each); those without a covariate row or with a missing value
  // are left out and counted.
  std::vector<std::string> covariate_names;
  std::vector<double> covariates;
  std::size_t missing_covariate = 0;
};

// Matches the input's samples with their traits and keeps those with a trait
// that --keep and --remove let in, in genotype-file order.
//
// A phenotype table has one header line "FID IID NAME..." or "IID NAME..."
// (either may start with '#', as plink2 writes them), or none (then each line
// is FID IID VALUE...). With FID and IID its rows are matched by both for
// PLINK input and by IID for VCF samples (whose name is the IID); an IID-only
// table is matched by IID. "NA" or -9 is a missing trait. A --keep or
// --remove file lists FID IID (or IID alone) per line; '#' lines are skipped.
// A covariate table is matched as the phenotype table is.
// Throws InputError naming the file and line of any problem, or when fewer
// than two individuals are left.
KeptIndividuals keep_individuals(const StudyChoices& settings, const GenotypeInput& input);

}  // namespace strataperm
