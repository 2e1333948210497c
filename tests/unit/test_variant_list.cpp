// The compact variant list: every field comes back as it went in, whatever
// the order of chromosome names and the lengths of ids and alleles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/genotype_records.hpp"

namespace strataperm {
namespace {

TEST(VariantList, HoldsEveryFieldAcrossInterleavedAndManyChromosomes) {
  VariantList list;
  std::vector<Variant> given;
  // Names come back in any order (a VCF may revisit a contig), and a draft
  // assembly's many contigs each get their own number.
  const std::vector<std::string> order = {"1", "1", "2", "1", "X", "2", "MT", "1"};
  for (std::size_t k = 0; k < order.size(); ++k)
    given.push_back({order[k], "rs" + std::to_string(k), static_cast<long long>(100 * k) - 200,
                     k % 3 ? "A" : "", std::string(k, 'G')});
  for (int contig = 0; contig < 5000; ++contig)
    given.push_back({"contig" + std::to_string(contig), "", contig, "C", "T"});
  for (const Variant& v : given) list.push_back(v);
  list.shrink_to_fit();

  ASSERT_EQ(list.size(), given.size());
  EXPECT_EQ(list.chromosome_names().size(), 4u + 5000u);
  EXPECT_EQ(list.chromosome_names()[2], "X");
  for (std::size_t v = 0; v < given.size(); ++v) {
    const Variant back = list[v];
    EXPECT_EQ(back.chromosome, given[v].chromosome) << v;
    EXPECT_EQ(list.chromosome(v), given[v].chromosome) << v;
    EXPECT_EQ(back.id, given[v].id) << v;
    EXPECT_EQ(back.position, given[v].position) << v;
    EXPECT_EQ(back.allele1, given[v].allele1) << v;
    EXPECT_EQ(back.allele2, given[v].allele2) << v;
  }
  EXPECT_EQ(list.chromosome_index(3), list.chromosome_index(0));
  EXPECT_EQ(list.chromosome_index(5), list.chromosome_index(2));
}

}  // namespace
}  // namespace strataperm
