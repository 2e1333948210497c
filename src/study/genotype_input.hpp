// The genotype source of a study from PLINK or VCF files.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "study/study_choices.hpp"
#include "io/genotype_records.hpp"

namespace strataperm {

// The genotype source: its samples and a pass over its variants.
struct GenotypeInput {
  std::string description;  // for the summary
  std::string path;         // the file named in errors about the genotypes
  std::string fam_path;     // PLINK only: where the .fam traits come from
  std::vector<GenotypedSample> samples;
  std::function<void(const CallFilter&, const VariantVisitor&)> scan;
  // A cursor over the calls by usable-variant index.
  std::function<std::unique_ptr<CallCursor>()> open_cursor;
  // The usable variants in scan order where the source holds them already
  // (a .bim), so that a study shares them rather than copying; null for a
  // VCF, whose variants are known only from the scan.
  std::shared_ptr<const VariantList> listed_variants;
  std::size_t skipped_records = 0;  // VCF records that are not biallelic SNPs
  bool is_vcf = false;
};


// Opens the PLINK file set or the VCF/BCF file the choices name and reads its
// samples. Throws InputError.
std::unique_ptr<GenotypeInput> open_genotype_input(const StudyChoices& settings);

}  // namespace strataperm
