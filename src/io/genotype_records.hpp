// What the PLINK and VCF readers hand out: samples, biallelic SNPs and their
// genotype calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace strataperm {

// One genotyped individual as the genotype file lists it. `phenotypes` holds
// the trait fields stored beside the genotypes (the .fam phenotype column and
// any after it); it is empty for VCF samples, whose family id is empty.
struct GenotypedSample {
  std::string family_id;
  std::string individual_id;
  std::vector<std::string> phenotypes;
};

// One biallelic SNP. A genotype call is the number of copies of `allele2`
// (0, 1 or 2) or kMissingCall.
struct Variant {
  std::string chromosome;
  std::string id;
  long long position = 0;
  std::string allele1;
  std::string allele2;
};

inline constexpr std::int8_t kMissingCall = -1;

// Called for every usable variant in file order: `index` counts usable variants
// from 0; `calls` has one call per sample in file order when the filter asked
// for them and is empty otherwise.
using VariantVisitor = std::function<void(std::size_t index, const Variant& variant,
                                          std::span<const std::int8_t> calls)>;
// Says whether the calls of the usable variant `index` are needed.
using CallFilter = std::function<bool(std::size_t index)>;

}  // namespace strataperm
