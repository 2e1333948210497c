#include "analysis/similarity.hpp"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace strataperm {

double compute_similarity(IntMatrix locus_allele1, IntMatrix locus_allele2, int n_individuals,
                          int n_loci, DoubleMatrix similarity) {
  const int n = n_individuals;
  const std::size_t loci = static_cast<std::size_t>(n_loci > 0 ? n_loci : 0);

  std::vector<std::int64_t> allele_count(static_cast<std::size_t>(n) * loci);
  for (int i = 1; i <= n; ++i) {
    std::int64_t* row = &allele_count[static_cast<std::size_t>(i - 1) * loci];
    for (std::size_t l = 0; l < loci; ++l) {
      const long locus = static_cast<long>(l) + 1;
      row[l] = static_cast<std::int64_t>(locus_allele1[i][locus]) + locus_allele2[i][locus];
    }
  }

  // Integer distances are exact, so one triangle mirrored gives the full square.
  std::int64_t max_distance = 0;
  for (int i = 1; i <= n; ++i) {
    similarity[i][i] = 0.0;
    const std::int64_t* row_i = &allele_count[static_cast<std::size_t>(i - 1) * loci];
    for (int j = i + 1; j <= n; ++j) {
      const std::int64_t* row_j = &allele_count[static_cast<std::size_t>(j - 1) * loci];
      std::int64_t d = 0;
      for (std::size_t l = 0; l < loci; ++l) d += std::llabs(row_i[l] - row_j[l]);
      similarity[i][j] = static_cast<double>(d);
      similarity[j][i] = static_cast<double>(d);
      if (d > max_distance) max_distance = d;
    }
  }

  const double max = static_cast<double>(max_distance);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) similarity[i][j] = (max - similarity[i][j]) / max;
  }
  return max;
}

}  // namespace strataperm
