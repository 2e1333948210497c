#include "io/genotype_records.hpp"

namespace strataperm {

void VariantList::push_back(const Variant& variant) {
  // Files list a chromosome's variants together, so the name is nearly
  // always the previous one; a new name is looked up in the index of those
  // seen (a draft assembly may have many thousands of contigs).
  if (!chromosome_.empty() && chromosomes_[chromosome_.back()] == variant.chromosome) {
    chromosome_.push_back(chromosome_.back());
  } else {
    const auto [entry, added] = chromosome_number_.try_emplace(
        variant.chromosome, static_cast<std::uint32_t>(chromosomes_.size()));
    if (added) chromosomes_.push_back(variant.chromosome);
    chromosome_.push_back(entry->second);
  }
  position_.push_back(variant.position);
  text_ += variant.id;
  text_ += '\0';
  text_ += variant.allele1;
  text_ += '\0';
  text_ += variant.allele2;
  text_ += '\0';
  text_start_.push_back(text_.size());
}

void VariantList::shrink_to_fit() {
  chromosome_.shrink_to_fit();
  position_.shrink_to_fit();
  text_.shrink_to_fit();
  text_start_.shrink_to_fit();
}

std::string_view VariantList::field(std::size_t v, int which) const {
  std::string_view text(text_.data() + text_start_[v], text_start_[v + 1] - text_start_[v] - 1);
  for (int k = 0; k < which; ++k) text.remove_prefix(text.find('\0') + 1);
  return text.substr(0, text.find('\0'));
}

Variant VariantList::operator[](std::size_t v) const {
  Variant variant;
  variant.chromosome = chromosome(v);
  variant.position = position(v);
  variant.id = std::string(id(v));
  variant.allele1 = std::string(allele1(v));
  variant.allele2 = std::string(allele2(v));
  return variant;
}

}  // namespace strataperm
