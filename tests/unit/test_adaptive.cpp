// Adaptive permutation: the stopping rule, and the adaptive engine against
// fixed runs that draw the same replicates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "analysis/adaptive_rule.hpp"
#include "numerics/distributions.hpp"
#include "analysis/engine.hpp"
#include "numerics/random.hpp"

namespace strataperm {
namespace {

TEST(NormalQuantile, MatchesKnownValuesFarIntoTheTail) {
  EXPECT_NEAR(normal_quantile(0.5), 0.0, 1e-16);
  EXPECT_NEAR(normal_quantile(0.975), 1.959963984540054, 1e-14);
  EXPECT_NEAR(normal_quantile(0.025), -1.959963984540054, 1e-14);
  EXPECT_NEAR(normal_quantile(1 - 5e-11), 6.4669510747, 1e-8);
  EXPECT_NEAR(normal_quantile(1e-300), -37.0470962994, 1e-8);
  // The inverse of the lower tail (which a double holds to full relative
  // precision), and symmetric where 1 - p is exact enough.
  for (double z = -30.0; z <= 0.0; z += 0.25) {
    const double p = 0.5 * std::erfc(-z / std::sqrt(2.0));
    EXPECT_NEAR(normal_quantile(p), z, 1e-12 * std::max(1.0, std::fabs(z))) << z;
  }
  for (double p : {0.6, 0.9, 0.99, 0.999})
    EXPECT_NEAR(normal_quantile(p), -normal_quantile(1.0 - p), 1e-12) << p;
}

// The rule written out the plain way: checks after MIN replicates, then
// floor(SLOPE p + INIT) later; stop when the interval excludes ALPHA.
std::int64_t plain_stop(const std::vector<int>& twice_steps, const AdaptiveRule& rule, double z) {
  std::int64_t twice = 0;
  std::int64_t check = rule.min;
  for (std::int64_t p = 1; p <= rule.max; ++p) {
    twice += twice_steps[static_cast<std::size_t>(p - 1)];
    if (p == rule.max) return p;
    if (p == check) {
      const double p_hat = (twice / 2.0 + 1.0) / (static_cast<double>(p) + 1.0);
      const double s = std::sqrt(p_hat * (1.0 - p_hat) / static_cast<double>(p));
      if (p_hat - z * s > rule.alpha || p_hat + z * s < rule.alpha) return p;
      check = p + std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor(rule.slope * p + rule.init)));
    }
  }
  return rule.max;
}

TEST(AdaptiveRule, StopsWhereThePlainRuleStopsOnRandomCountSequences) {
  RandomStream gen;
  seed_random_stream(gen);
  for (int trial = 0; trial < 400; ++trial) {
    AdaptiveRule rule;
    rule.max = 2000;
    if (trial % 4 == 1) rule.alpha = 0.05;
    if (trial % 4 == 2) {
      rule.min = 1 + static_cast<std::int64_t>(uniform_random(gen) * 50);
      rule.init = static_cast<double>(static_cast<int>(uniform_random(gen) * 5));
      rule.slope = uniform_random(gen) * 0.2 + (rule.init == 0.0 ? 0.01 : 0.0);
    }
    const double p = std::pow(uniform_random(gen), 3.0);  // many small P-values
    std::vector<int> steps;
    for (int k = 0; k < rule.max; ++k) {
      const double u = uniform_random(gen);
      steps.push_back(u < p ? 2 : u < p * 1.1 ? 1 : 0);  // above, a tie, below
    }
    const double z = rule.z(1000);
    std::int64_t twice = 0, stop = rule.max;
    for (std::int64_t q = 1, check = rule.next_check(0); q <= rule.max; ++q) {
      twice += steps[static_cast<std::size_t>(q - 1)];
      if (q == check) {
        if (rule.stops(twice, q, z)) {
          stop = q;
          break;
        }
        check = rule.next_check(q);
      }
    }
    ASSERT_EQ(stop, plain_stop(steps, rule, z)) << "trial " << trial;
  }
}

// A small study in memory with some associated markers.
struct SmallStudy {
  Parameters parameters;
  SampleData data;
  SmallStudy(int n, int m, RandomStream& gen) {
    parameters.n_individuals = n;
    parameters.n_loci = 30;
    parameters.n_markers = m;
    parameters.n_permutations = 1;
    std::vector<std::int64_t> counts;
    std::vector<std::vector<int>> genotype(static_cast<std::size_t>(n), std::vector<int>(static_cast<std::size_t>(m)));
    for (int i = 0; i < n; ++i) {
      for (int l = 0; l < 30; ++l) counts.push_back((uniform_random(gen) < 0.5) + (uniform_random(gen) < 0.5));
      double trait = uniform_random(gen);
      for (int j = 0; j < m; ++j) {
        const int g = (uniform_random(gen) < 0.4) + (uniform_random(gen) < 0.4);
        genotype[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = g;
        data.marker_class.push_back(marker_class_of(g));
        if (j % 5 == 0) trait += 0.15 * (j % 3 + 1) * g;
      }
      data.trait.push_back(trait);
    }
    data.locus_count = make_locus_counts(counts);
  }
  AnalysisResult run(const AdaptiveRule* rule, int r, int threads, RandomStream& stream) {
    parameters.n_permutations = r;
    seed_random_stream(stream);
    InMemoryMarkers markers(data, parameters.n_individuals, parameters.n_markers);
    AnalysisOptions options;
    options.threads = threads;
    options.adaptive = rule;
    return run_analysis(parameters, data, markers, stream, options);
  }
};

bool same_stream(const RandomStream& a, const RandomStream& b) {
  return a.s1 == b.s1 && a.s2 == b.s2 && a.s3 == b.s3 && a.draws == b.draws;
}

TEST(AdaptiveEngine, ARuleThatNeverStopsIsTheFixedRunWithRTheMaximum) {
  RandomStream gen;
  seed_random_stream(gen);
  SmallStudy study(30, 70, gen);
  AdaptiveRule never;
  never.max = 300;
  never.min = never.max;  // the first check is at the end
  RandomStream adaptive_stream, fixed_stream;
  const AnalysisResult adaptive = study.run(&never, 1, 2, adaptive_stream);
  const AnalysisResult fixed = study.run(nullptr, never.max, 2, fixed_stream);
  ASSERT_EQ(adaptive.p_values.size(), fixed.p_values.size());
  EXPECT_EQ(0, std::memcmp(adaptive.p_values.data(), fixed.p_values.data(),
                           fixed.p_values.size() * sizeof(double)));
  for (std::int64_t np : adaptive.replicates_used) EXPECT_EQ(np, never.max);
  EXPECT_EQ(adaptive.replicates_drawn, never.max);
  EXPECT_TRUE(same_stream(adaptive_stream, fixed_stream));
}

TEST(AdaptiveEngine, EachMarkerStopsWhereItsCountsOverTheSameReplicatesSayAndThreadsDoNotMatter) {
  RandomStream gen;
  seed_random_stream(gen);
  SmallStudy study(24, 40, gen);
  AdaptiveRule rule;
  rule.max = 3000;
  rule.slope = 0.05;
  RandomStream one_thread, two_threads;
  const AnalysisResult a = study.run(&rule, 1, 1, one_thread);
  const AnalysisResult b = study.run(&rule, 1, 2, two_threads);
  EXPECT_EQ(a.replicates_used, b.replicates_used);
  EXPECT_EQ(0, std::memcmp(a.p_values.data(), b.p_values.data(), a.p_values.size() * sizeof(double)));
  EXPECT_TRUE(same_stream(one_thread, two_threads));

  // A fixed run with R = p draws the same first p replicates, so its count is
  // the adaptive marker's count after p: the rule must stop there, and at no
  // check before it.
  const double z = rule.z(study.parameters.n_markers);
  std::map<std::int64_t, AnalysisResult> fixed;
  const auto count_after = [&](std::int64_t p, std::size_t j) {
    auto it = fixed.find(p);
    if (it == fixed.end()) {
      RandomStream s;
      it = fixed.emplace(p, study.run(nullptr, static_cast<int>(p), 1, s)).first;
    }
    return static_cast<std::int64_t>(std::llround(it->second.p_values[j] * 2.0 * static_cast<double>(p)));
  };
  std::int64_t drawn = 0;
  for (std::size_t j = 0; j < a.replicates_used.size(); ++j) {
    const std::int64_t np = a.replicates_used[j];
    drawn = std::max(drawn, np);
    EXPECT_EQ(a.p_values[j] * 2.0 * static_cast<double>(np), static_cast<double>(count_after(np, j)))
        << "marker " << j + 1;
    if (np < rule.max) {
      EXPECT_TRUE(rule.stops(count_after(np, j), np, z)) << "marker " << j + 1;
    }
    for (std::int64_t p = rule.next_check(0); p < np; p = rule.next_check(p)) {
      if (p > 60) break;  // the early checks, where most stops fall
      EXPECT_FALSE(rule.stops(count_after(p, j), p, z)) << "marker " << j + 1 << " at " << p;
    }
  }
  EXPECT_EQ(a.replicates_drawn, drawn);
  // The stream is left where a fixed run of the last replicate leaves it.
  RandomStream s;
  study.run(nullptr, static_cast<int>(drawn), 1, s);
  EXPECT_TRUE(same_stream(one_thread, s));
}

}  // namespace
}  // namespace strataperm
