// What the PLINK and VCF readers hand out: samples, biallelic SNPs and their
// genotype calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Many variants held compactly (a genome's worth of SNPs in tens of bytes
// each): chromosome names once each, positions, and the id and both alleles
// of every variant in one text block.
class VariantList {
 public:
  void push_back(const Variant& variant);
  std::size_t size() const { return position_.size(); }
  bool empty() const { return position_.empty(); }
  const std::string& chromosome(std::size_t v) const { return chromosomes_[chromosome_[v]]; }
  // The chromosome names in order of first appearance, and which one a
  // variant is on.
  const std::vector<std::string>& chromosome_names() const { return chromosomes_; }
  std::uint32_t chromosome_index(std::size_t v) const { return chromosome_[v]; }
  long long position(std::size_t v) const { return position_[v]; }
  std::string_view id(std::size_t v) const { return field(v, 0); }
  std::string_view allele1(std::size_t v) const { return field(v, 1); }
  std::string_view allele2(std::size_t v) const { return field(v, 2); }
  Variant operator[](std::size_t v) const;
  // Gives back the room that growing left over (once the list is complete).
  void shrink_to_fit();

 private:
  // The v-th variant's text is id '\0' allele1 '\0' allele2, from
  // text_start_[v] to text_start_[v + 1] - 1.
  std::string_view field(std::size_t v, int which) const;
  std::vector<std::string> chromosomes_;
  std::unordered_map<std::string, std::uint32_t> chromosome_number_;  // name -> index
  std::vector<std::uint32_t> chromosome_;
  std::vector<long long> position_;
  std::string text_;
  std::vector<std::uint64_t> text_start_ = {0};
};

// Reads the calls of usable variants by index, the indices increasing from
// call to call (a cursor over a file that may be read only forward).
class CallCursor {
 public:
  virtual ~CallCursor() = default;
  // Fills calls[k] for every sample k of the file with variant `index`'s call.
  virtual void read(std::size_t index, std::span<std::int8_t> calls) = 0;
};

// Called for every usable variant in file order: `index` counts usable variants
// from 0; `calls` has one call per sample in file order when the filter asked
// for them and is empty otherwise.
using VariantVisitor = std::function<void(std::size_t index, const Variant& variant,
                                          std::span<const std::int8_t> calls)>;
// Says whether the calls of the usable variant `index` are needed.
using CallFilter = std::function<bool(std::size_t index)>;

}  // namespace strataperm
