#include "literal_engine.hpp"

#include "analysis/covariate_model.hpp"
#include "analysis/within_group_permutation.hpp"
#include "core/errors.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <vector>

namespace strataperm::literal {

void literal_random_permutation(IntVector out, int n, RandomStream& stream) {
  IntVector pool = ivector(1, n);
  for (int i = 1; i <= n; ++i) pool[i] = i;
  int remaining = n;
  for (int j = 1; j <= n; ++j) {
    const int k = static_cast<int>(uniform_random(stream) * remaining) + 1;
    out[j] = pool[k];
    for (int m = k; m < remaining; ++m) pool[m] = pool[m + 1];
    --remaining;
  }
  free_ivector(pool, 1, n);
}

double compute_similarity(const LocusCounts& allele_count, int n, int n_loci,
                          DoubleMatrix similarity) {
  const std::size_t loci = static_cast<std::size_t>(n_loci);
  // Every ordered pair, both triangles, in row order; the largest distance is
  // tracked from the first entry on.
  double max_distance = 0.0;
  for (int i = 1; i <= n; ++i) {
    const std::size_t row_i = static_cast<std::size_t>(i - 1) * loci;
    for (int j = 1; j <= n; ++j) {
      const std::size_t row_j = static_cast<std::size_t>(j - 1) * loci;
      std::uint64_t d = 0;
      for (std::size_t l = 0; l < loci; ++l) {
        const std::int64_t diff = allele_count[row_i + l] - allele_count[row_j + l];
        d += static_cast<std::uint64_t>(diff < 0 ? -diff : diff);
      }
      similarity[i][j] = static_cast<double>(d);
      if ((i == 1 && j == 1) || similarity[i][j] >= max_distance) max_distance = similarity[i][j];
    }
  }
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) similarity[i][j] = (max_distance - similarity[i][j]) / max_distance;
  return max_distance;
}

StructureFit test_population_structure(DoubleMatrix similarity, int rows, int columns) {
  IntMatrix labels = imatrix(1, rows, 1, columns);
  DoubleMatrix posteriors = dmatrix(1, rows, 1, columns);
  const std::int64_t pairs = static_cast<std::int64_t>(rows) * columns - rows;
  const double K = static_cast<double>(pairs);

  // One-group fit, divisor K.
  double sum = 0.0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j)
      if (i != j) sum += similarity[i][j];
  const double mu = sum / K;
  double squares = 0.0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j)
      if (i != j) squares += (similarity[i][j] - mu) * (similarity[i][j] - mu);
  const double sigma2 = squares / K;

  double log_likelihood_one = 0.0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j)
      if (i != j) log_likelihood_one += std::log(normal_density(similarity[i][j], mu, sigma2));
  const double bic_one = 2.0 * std::log(K) - 2.0 * log_likelihood_one;

  // Two-component mixture with hard labels.
  Mixture cur{mu + 0.1, mu - 0.1, 1.0, 1.0, 0.5, 0.5};
  Mixture prev{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  int passes = 0;
  for (;;) {
    ++passes;
    for (int i = 1; i <= rows; ++i) {
      for (int j = 1; j <= columns; ++j) {
        if (i == j) continue;
        const double x = similarity[i][j];
        const double a = cur.weight1 * normal_density(x, cur.mean1, cur.variance1);
        const double b = cur.weight0 * normal_density(x, cur.mean0, cur.variance0);
        const double posterior = a / (a + b);
        posteriors[i][j] = posterior;
        labels[i][j] = posterior > 0.5 ? 1 : 0;
      }
    }
    const double delta = parameter_change(cur, prev);
    if (!(delta > 1e-7)) break;
    prev = cur;

    std::int64_t size1 = 0;
    double sum1 = 0.0;
    for (int i = 1; i <= rows; ++i)
      for (int j = 1; j <= columns; ++j)
        if (i != j && labels[i][j] == 1) {
          ++size1;
          sum1 += similarity[i][j];
        }
    const std::int64_t size0 = pairs - size1;
    cur.mean1 = size1 == 0 ? 0.0 : sum1 / static_cast<double>(size1);
    cur.mean0 = size0 == 0 ? 0.0 : (K * mu - sum1) / static_cast<double>(size0);
    cur.weight1 = static_cast<double>(size1) / K;
    cur.weight0 = 1.0 - cur.weight1;
    double squares1 = 0.0;
    double squares0 = 0.0;
    for (int i = 1; i <= rows; ++i)
      for (int j = 1; j <= columns; ++j) {
        if (i == j) continue;
        const double x = similarity[i][j];
        if (labels[i][j] == 1)
          squares1 += (x - cur.mean1) * (x - cur.mean1);
        else
          squares0 += (x - cur.mean0) * (x - cur.mean0);
      }
    cur.variance1 = size1 == 0 ? 1.0 : squares1 / static_cast<double>(size1);
    cur.variance0 = size0 == 0 ? 1.0 : squares0 / static_cast<double>(size0);
  }

  double log_likelihood_two = 0.0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j) {
      if (i == j) continue;
      const double x = similarity[i][j];
      log_likelihood_two += std::log(cur.weight0 * normal_density(x, cur.mean0, cur.variance0) +
                                     cur.weight1 * normal_density(x, cur.mean1, cur.variance1));
    }
  const double bic_two = 5.0 * std::log(K) - 2.0 * log_likelihood_two;

  // Two-group classification: 1.0 marks the component with the larger mean.
  const bool component1_higher = cur.mean1 > cur.mean0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j) {
      if (i == j) continue;
      const int label = labels[i][j];
      similarity[i][j] = component1_higher ? static_cast<double>(label)
                                           : static_cast<double>(1 - label);
    }

  const StructureFit fit = summarize_fit(mu, sigma2, cur, bic_one, bic_two, passes);
  if (fit.one_group) {
    for (int i = 1; i <= rows; ++i)
      for (int j = 1; j <= columns; ++j) similarity[i][j] = 1.0;
  }

  free_dmatrix(posteriors, 1, rows, 1, columns);
  free_imatrix(labels, 1, rows, 1, columns);
  return fit;
}


void code_genotype(std::int64_t allele_sum, double& additive, double& dominance) {
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

void adjust_sequentially(DoubleVector column, DoubleMatrix classification, int n) {
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

void adjust_by_list_means(DoubleVector column, IntMatrix members, int n) {
  DoubleVector mean = dvector(1, n);
  for (int i = 1; i <= n; ++i) {
    double total = 0.0;
    for (int m = 2; m <= members[i][1] + 1; ++m) total += column[members[i][m]];
    mean[i] = total / static_cast<double>(members[i][1]);
  }
  for (int i = 1; i <= n; ++i) column[i] = column[i] - mean[i];
  free_dvector(mean, 1, n);
}

double within_list_sum_of_squares(DoubleVector values, IntMatrix members, int n) {
  double sum = 0.0;
  for (int i = 1; i <= n; ++i) {
    double total = 0.0;
    for (int m = 2; m <= members[i][1] + 1; ++m) total += values[members[i][m]];
    const double e = values[i] - total / static_cast<double>(members[i][1]);
    sum += e * e;
  }
  return sum;
}

int count_distinct_lists(IntMatrix members, int n) {
  int distinct = 0;
  for (int i = 1; i <= n; ++i) {
    bool seen = false;
    for (int k = 1; k < i && !seen; ++k) {
      if (members[k][1] != members[i][1]) continue;
      seen = true;
      for (int m = 2; m <= members[i][1] + 1; ++m) seen = seen && members[k][m] == members[i][m];
    }
    if (!seen) ++distinct;
  }
  return distinct;
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

AnalysisResult run_analysis(const Parameters& parameters, const SampleData& data,
                            MarkerSource& markers, RandomStream& stream,
                            const AnalysisOptions& options) {
  if (options.adaptive != nullptr) throw UsageError("the literal engine has no adaptive permutation");
  const auto lap = [&](const char* stage) {
    if (options.clock != nullptr) options.clock->lap(stage);
  };
  const int n = parameters.n_individuals;
  const int m = parameters.n_markers;
  const int r = parameters.n_permutations;

  // The working arrays, as described: individual-major N x M matrices, the
  // trait held once per marker column.
  DoubleMatrix similarity = dmatrix(1, n, 1, n);
  IntVector visit_order = ivector(1, n);
  DoubleMatrix additive_code = dmatrix(1, n, 1, m);
  DoubleMatrix dominance_code = dmatrix(1, n, 1, m);
  IntMatrix group_members = imatrix(1, n, 1, n + 1);
  DoubleVector sum_zz = dvector(1, m);
  DoubleVector sum_xx = dvector(1, m);
  DoubleVector sum_xy = dvector(1, m);
  DoubleVector sum_zy = dvector(1, m);
  DoubleVector sum_xz = dvector(1, m);
  DoubleVector stat_observed = dvector(1, m);
  DoubleVector stat_permuted = dvector(1, m);
  DoubleVector p_values = dvector(1, m);
  DoubleMatrix trait = dmatrix(1, n, 1, m);
  DoubleMatrix permuted_trait = dmatrix(1, n, 1, m);
  IntVector candidates = ivector(1, n);
  IntVector donor = ivector(1, n);
  ByteVector taken = cvector(1, n);

  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= m; ++j) trait[i][j] = data.trait[static_cast<std::size_t>(i - 1)];

  // The marker genotypes, read from the source into an N x M matrix of classes.
  std::vector<std::uint8_t> classes(static_cast<std::size_t>(n) * m);
  markers.read_block(0, m, classes.data(), m);

  // A class stands for the allele sums that code like it: 0, 2, or 1. A
  // missing call takes the mean codes of the marker's calls, summed in
  // ascending order from 0.0.
  std::vector<int> called(static_cast<std::size_t>(m) + 1);
  std::vector<std::int64_t> copies(static_cast<std::size_t>(m) + 1);
  for (int j = 1; j <= m; ++j) {
    double sum_x = 0.0, sum_z = 0.0;
    called[j] = 0;
    copies[j] = 0;
    for (int i = 1; i <= n; ++i) {
      const int cls = classes[static_cast<std::size_t>(i - 1) * m + (j - 1)];
      if (cls == kMissing) continue;
      code_genotype(cls == kSumTwo ? 2 : cls == kSumZero ? 0 : 1, additive_code[i][j],
                    dominance_code[i][j]);
      sum_x += additive_code[i][j];
      sum_z += dominance_code[i][j];
      called[j] += 1;
      copies[j] += cls == kSumTwo ? 2 : cls == kHeterozygous ? 1 : 0;
    }
    for (int i = 1; i <= n; ++i) {
      if (classes[static_cast<std::size_t>(i - 1) * m + (j - 1)] != kMissing) continue;
      additive_code[i][j] = sum_x / static_cast<double>(called[j]);
      dominance_code[i][j] = sum_z / static_cast<double>(called[j]);
    }
  }

  const double max_distance = compute_similarity(data.locus_count, n, parameters.n_loci, similarity);
  lap("similarity");
  StructureFit fit = test_population_structure(similarity, n, n);
  fit.separated = max_distance > 0.0;
  lap("structure");
  if (options.on_structure) options.on_structure(fit);
  // User-given groups replace the classification.
  if (!options.clusters.empty())
    for (int i = 1; i <= n; ++i)
      for (int k = 1; k <= n; ++k)
        similarity[i][k] = options.clusters[static_cast<std::size_t>(i - 1)] ==
                                   options.clusters[static_cast<std::size_t>(k - 1)]
                               ? 1.0
                               : 0.0;
  build_group_members(similarity, n, group_members);
  const bool by_means = options.adjustment == Adjustment::means;
  // Covariates: every column's residual on the reduced model (the model's
  // plain column-at-a-time residual); the list means then only where the
  // lists do not partition the sample.
  std::optional<ReducedModel> model;
  bool list_means = by_means;
  if (options.covariates.count() > 0) {
    if (!by_means) throw UsageError("covariates need the means adjustment");
    SameGroup same_group(n, false);
    for (int i = 1; i <= n; ++i)
      for (int k = 1; k <= n; ++k)
        if (similarity[i][k] != 0.0) same_group.set(i - 1, k - 1);
    const GroupLists lists = build_group_lists(same_group);
    model.emplace(options.covariates, lists);
    list_means = !lists.partitions();
  }
  const auto residualize = [&](DoubleMatrix values, int j, DoubleVector column) {
    for (int i = 1; i <= n; ++i) column[i] = values[i][j];
    model->residualize_plain(&column[1], 1, 1);
    for (int i = 1; i <= n; ++i) values[i][j] = column[i];
  };

  DoubleVector column = dvector(1, n);
  for (int j = 1; j <= m; ++j) {
    double s = 0.0;
    for (int i = 1; i <= n; ++i) s += trait[i][j];
    for (int i = 1; i <= n; ++i) trait[i][j] = trait[i][j] - s / static_cast<double>(n);
    if (model) {
      residualize(trait, j, column);
      residualize(additive_code, j, column);
      residualize(dominance_code, j, column);
    }
    if (list_means) {
      for (int i = 1; i <= n; ++i) column[i] = additive_code[i][j];
      adjust_by_list_means(column, group_members, n);
      for (int i = 1; i <= n; ++i) additive_code[i][j] = column[i];
      for (int i = 1; i <= n; ++i) column[i] = dominance_code[i][j];
      adjust_by_list_means(column, group_members, n);
      for (int i = 1; i <= n; ++i) dominance_code[i][j] = column[i];
    }
    if (by_means) continue;
    for (int i = 1; i <= n; ++i) {
      double w = 0.0, a = 0.0, b = 0.0;
      for (int k = 1; k <= n; ++k) {
        w += similarity[i][k];
        a += additive_code[k][j] * similarity[i][k];
        b += dominance_code[k][j] * similarity[i][k];
      }
      additive_code[i][j] = additive_code[i][j] - a / w;
      dominance_code[i][j] = dominance_code[i][j] - b / w;
    }
  }

  for (int j = 1; j <= m; ++j) {
    sum_zz[j] = sum_xx[j] = sum_xy[j] = sum_zy[j] = sum_xz[j] = 0.0;
    for (int i = 1; i <= n; ++i) {
      const double x = additive_code[i][j];
      const double z = dominance_code[i][j];
      const double y = trait[i][j];
      sum_zz[j] += z * z;
      sum_xx[j] += x * x;
      sum_xy[j] += x * y;
      sum_zy[j] += z * y;
      sum_xz[j] += z * x;
    }
    stat_observed[j] = association_statistic(sum_zz[j], sum_xx[j], sum_xy[j], sum_zy[j], sum_xz[j]);
  }

  // What the table reports of each marker, and the sums of squares of the
  // centred and the permuted traits for the family-wise P-values.
  std::vector<MarkerStatistics> statistics(static_cast<std::size_t>(m));
  std::vector<double> delta(static_cast<std::size_t>(m) + 1);
  std::vector<bool> degenerate(static_cast<std::size_t>(m) + 1);
  for (int j = 1; j <= m; ++j) {
    MarkerStatistics& s = statistics[static_cast<std::size_t>(j - 1)];
    s.sum_zz = sum_zz[j];
    s.sum_xx = sum_xx[j];
    s.sum_xy = sum_xy[j];
    s.sum_zy = sum_zy[j];
    s.sum_xz = sum_xz[j];
    s.t_observed = stat_observed[j];
    s.called = called[static_cast<std::size_t>(j)];
    s.copies = copies[static_cast<std::size_t>(j)];
    delta[static_cast<std::size_t>(j)] = sum_xx[j] * sum_zz[j] - sum_xz[j] * sum_xz[j];
    degenerate[static_cast<std::size_t>(j)] =
        delta[static_cast<std::size_t>(j)] <= 1e-9 * sum_xx[j] * sum_zz[j];
  }
  // S: within the lists (means), or of the centred trait (sequential).
  double sum_y2 = 0.0;
  for (int i = 1; i <= n; ++i) column[i] = trait[i][1];
  if (list_means) {
    sum_y2 = within_list_sum_of_squares(column, group_members, n);
  } else {
    for (int i = 1; i <= n; ++i) sum_y2 += trait[i][1] * trait[i][1];
  }
  std::vector<double> replicate_maxima;

  for (int j = 1; j <= m; ++j) p_values[j] = 0.0;

  for (int rep = 1; rep <= r; ++rep) {
    literal_random_permutation(visit_order, n, stream);
    assign_donors(visit_order, group_members, n, candidates, taken, donor, stream);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= m; ++j) permuted_trait[i][j] = trait[donor[i]][j];
    for (int j = 1; j <= m; ++j) {
      sum_xy[j] = 0.0;
      sum_zy[j] = 0.0;
      for (int i = 1; i <= n; ++i) {
        sum_xy[j] += additive_code[i][j] * permuted_trait[i][j];
        sum_zy[j] += dominance_code[i][j] * permuted_trait[i][j];
      }
    }
    for (int j = 1; j <= m; ++j) {
      stat_permuted[j] = association_statistic(sum_zz[j], sum_xx[j], sum_xy[j], sum_zy[j], sum_xz[j]);
      if (stat_permuted[j] > stat_observed[j]) {
        p_values[j] += 1.0;
      } else if (stat_permuted[j] == stat_observed[j]) {
        p_values[j] += 0.5;
      }
    }
    double s_r = 0.0;
    if (list_means) {
      for (int i = 1; i <= n; ++i) column[i] = permuted_trait[i][1];
      s_r = within_list_sum_of_squares(column, group_members, n);
    } else {
      for (int i = 1; i <= n; ++i) s_r += permuted_trait[i][1] * permuted_trait[i][1];
    }
    double largest = -std::numeric_limits<double>::infinity();
    for (int j = 1; j <= m; ++j) {
      if (degenerate[static_cast<std::size_t>(j)]) continue;
      const double ratio = stat_permuted[j] / (delta[static_cast<std::size_t>(j)] * s_r);
      if (ratio > largest) largest = ratio;
    }
    replicate_maxima.push_back(largest);
  }
  for (int j = 1; j <= m; ++j) {
    statistics[static_cast<std::size_t>(j - 1)].exceed = p_values[j];
    p_values[j] = p_values[j] / static_cast<double>(r);
  }
  lap("markers");

  for (int j = 1; j <= m; ++j) statistics[static_cast<std::size_t>(j - 1)].p_value = p_values[j];
  if (options.on_markers) options.on_markers(0, statistics);

  AnalysisResult result;
  result.fit = fit;
  result.threads = 1;
  result.p_values.assign(p_values.at(1), p_values.at(m + 1));
  result.sum_y2 = sum_y2;
  result.adjustment = options.adjustment;
  result.distinct_lists = count_distinct_lists(group_members, n);
  if (model) {
    result.covariate_count = model->covariate_count();
    result.model_rank = model->rank();
  }
  result.replicate_maxima = std::move(replicate_maxima);
  {
    SameGroup same_group(n, false);
    for (int i = 1; i <= n; ++i)
      for (int k = 1; k <= n; ++k)
        if (similarity[i][k] == 1.0) same_group.set(i - 1, k - 1);
    result.groups = summarize_groups(build_group_lists(same_group));
  }

  free_dvector(column, 1, n);
  free_cvector(taken, 1, n);
  free_ivector(donor, 1, n);
  free_ivector(candidates, 1, n);
  free_dmatrix(permuted_trait, 1, n, 1, m);
  free_dmatrix(trait, 1, n, 1, m);
  free_dvector(p_values, 1, m);
  free_dvector(stat_permuted, 1, m);
  free_dvector(stat_observed, 1, m);
  free_dvector(sum_xz, 1, m);
  free_dvector(sum_zy, 1, m);
  free_dvector(sum_xy, 1, m);
  free_dvector(sum_xx, 1, m);
  free_dvector(sum_zz, 1, m);
  free_imatrix(group_members, 1, n, 1, n + 1);
  free_dmatrix(dominance_code, 1, n, 1, m);
  free_dmatrix(additive_code, 1, n, 1, m);
  free_ivector(visit_order, 1, n);
  free_dmatrix(similarity, 1, n, 1, n);
  return result;
}

}  // namespace strataperm::literal
