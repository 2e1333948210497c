#include "analysis/permutation_test.hpp"

#include <cstdio>

#include "analysis/similarity.hpp"

namespace strataperm {

void code_genotype(long long allele_sum, double& additive, double& dominance) {
  if (allele_sum == 2) {
    additive = 1.0;
    dominance = 0.0;
  } else if (allele_sum == 0) {
    additive = -1.0;
    dominance = 0.0;
  } else {
    additive = 0.0;
    dominance = 1.0;
  }
}

void centre_trait(DoubleVector column, int n) {
  double sum = 0.0;
  for (int i = 1; i <= n; ++i) sum += column[i];
  const double mean = sum / static_cast<double>(n);
  for (int i = 1; i <= n; ++i) column[i] = column[i] - mean;
}

void adjust_by_group_means(DoubleVector column, DoubleMatrix classification, int n) {
  for (int i = 1; i <= n; ++i) {
    double weight = 0.0;
    double total = 0.0;
    for (int k = 1; k <= n; ++k) {
      weight += classification[i][k];
      total += column[k] * classification[i][k];
    }
    column[i] = column[i] - total / weight;
  }
}

double association_statistic(double sum_zz, double sum_xx, double sum_xy, double sum_zy,
                             double sum_xz) {
  return sum_zz * sum_xy * sum_xy + sum_xx * sum_zy * sum_zy - 2 * sum_xz * sum_zy * sum_xy;
}

void build_group_members(DoubleMatrix classification, int n, IntMatrix members) {
  for (int i = 1; i <= n; ++i) {
    int count = 0;
    for (int j = 1; j <= n; ++j) {
      if (classification[i][j] == 1.0) {
        ++count;
        members[i][count + 1] = j;
      }
    }
    members[i][1] = count;
  }
}

void assign_donors(IntVector visit_order, IntMatrix members, int n, IntVector candidates,
                   ByteVector taken, IntVector donor, RandomStream& stream) {
  for (int i = 1; i <= n; ++i) taken[i] = 0;
  for (int k = 1; k <= n; ++k) {
    const int i = visit_order[k];
    const int list_size = members[i][1];
    int n_candidates = 0;
    for (int m = 2; m <= list_size + 1; ++m) {
      const int member = members[i][m];
      if (!taken[member]) candidates[++n_candidates] = member;
    }
    if (n_candidates >= 1) {
      const double u = uniform_random(stream);
      const int q = static_cast<int>(u * n_candidates + 1.0);
      const int d = candidates[q];
      donor[i] = d;
      taken[d] = 1;
    } else {
      donor[i] = i;
    }
  }
}

StructureFit run_analysis(const Parameters& parameters, SampleData& data, DoubleVector p_values,
                          std::FILE* results, RandomStream& stream) {
  const int n = parameters.n_individuals;
  const int m = parameters.n_markers;
  const int r = parameters.n_permutations;

  DoubleMatrix similarity = dmatrix(1, n, 1, n);
  IntVector visit_order = ivector(1, n);
  DoubleMatrix additive = dmatrix(1, m, 1, n);   // marker-major: column j is a row
  DoubleMatrix dominance = dmatrix(1, m, 1, n);
  IntMatrix members = imatrix(1, n, 1, n + 1);
  DoubleVector sum_zz = dvector(1, m);
  DoubleVector sum_xx = dvector(1, m);
  DoubleVector sum_xy = dvector(1, m);
  DoubleVector sum_zy = dvector(1, m);
  DoubleVector sum_xz = dvector(1, m);
  DoubleVector stat_observed = dvector(1, m);
  DoubleVector permuted_trait = dvector(1, n);
  IntVector candidates = ivector(1, n);
  IntVector donor = ivector(1, n);
  ByteVector taken = cvector(1, n);

  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= m; ++j)
      code_genotype(static_cast<long long>(data.marker_allele1[i][j]) + data.marker_allele2[i][j],
                    additive[j][i], dominance[j][i]);

  const double max_distance = compute_similarity(data.locus_allele1, data.locus_allele2, n,
                                                 parameters.n_loci, similarity);
  if (max_distance == 0.0) {
    // Every similarity is 0/0: the structure test finds no usable BIC and
    // keeps the sample as one group, which is the only sound reading.
    std::fprintf(stderr,
                 "strataperm: warning: the background loci separate no two individuals (every "
                 "pairwise distance is 0); the sample is treated as one group\n");
  }
  const StructureFit fit = test_population_structure(similarity, n, n, results);

  // Every marker's trait column holds the same values, so one centred column
  // serves them all.
  centre_trait(data.trait, n);
  DoubleVector y = data.trait;
  for (int j = 1; j <= m; ++j) {
    adjust_by_group_means(additive[j], similarity, n);
    adjust_by_group_means(dominance[j], similarity, n);
  }

  for (int j = 1; j <= m; ++j) {
    double zz = 0.0, xx = 0.0, xy = 0.0, zy = 0.0, xz = 0.0;
    for (int i = 1; i <= n; ++i) {
      const double x = additive[j][i];
      const double z = dominance[j][i];
      zz += z * z;
      xx += x * x;
      xy += x * y[i];
      zy += z * y[i];
      xz += z * x;
    }
    sum_zz[j] = zz;
    sum_xx[j] = xx;
    sum_xy[j] = xy;
    sum_zy[j] = zy;
    sum_xz[j] = xz;
    stat_observed[j] = association_statistic(zz, xx, xy, zy, xz);
  }

  build_group_members(similarity, n, members);
  for (int j = 1; j <= m; ++j) p_values[j] = 0.0;

  for (int rep = 1; rep <= r; ++rep) {
    random_permutation(visit_order, n, stream);
    assign_donors(visit_order, members, n, candidates, taken, donor, stream);
    for (int i = 1; i <= n; ++i) permuted_trait[i] = y[donor[i]];
    for (int j = 1; j <= m; ++j) {
      double xy = 0.0, zy = 0.0;
      for (int i = 1; i <= n; ++i) {
        xy += additive[j][i] * permuted_trait[i];
        zy += dominance[j][i] * permuted_trait[i];
      }
      const double t = association_statistic(sum_zz[j], sum_xx[j], xy, zy, sum_xz[j]);
      if (t > stat_observed[j]) {
        p_values[j] += 1.0;
      } else if (t == stat_observed[j]) {
        p_values[j] += 0.5;
      }
    }
  }
  for (int j = 1; j <= m; ++j) p_values[j] = p_values[j] / static_cast<double>(r);

  free_cvector(taken, 1, n);
  free_ivector(donor, 1, n);
  free_ivector(candidates, 1, n);
  free_dvector(permuted_trait, 1, n);
  free_dvector(stat_observed, 1, m);
  free_dvector(sum_xz, 1, m);
  free_dvector(sum_zy, 1, m);
  free_dvector(sum_xy, 1, m);
  free_dvector(sum_xx, 1, m);
  free_dvector(sum_zz, 1, m);
  free_imatrix(members, 1, n, 1, n + 1);
  free_dmatrix(dominance, 1, m, 1, n);
  free_dmatrix(additive, 1, m, 1, n);
  free_ivector(visit_order, 1, n);
  free_dmatrix(similarity, 1, n, 1, n);
  return fit;
}

}  // namespace strataperm
