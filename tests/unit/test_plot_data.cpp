// What the plot report computes from a run's tables, and its readers of
// those tables: the similarity histogram from the written pair counts, the
// genomic inflation, the family-wise line, the order of the top hits, and
// the errors of the log, marker table and similarity table readers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/distance_table.hpp"
#include "commands/plot/report_data.hpp"
#include "io/association_table.hpp"
#include "io/run_log.hpp"
#include "io/similarity_table.hpp"
#include "core/errors.hpp"
#include "io/results_file.hpp"
#include "numerics/random.hpp"

namespace strataperm {
namespace {

namespace fs = std::filesystem;
using namespace plot;

// The distinct similarities of a table with their unordered pair counts,
// ascending, as the run writes them.
std::vector<std::pair<double, std::int64_t>> counts_of(const DistanceTable& table) {
  std::vector<std::pair<double, std::int64_t>> counts;
  for (std::size_t v = table.distance.size(); v-- > 0;)
    if (table.pairs[v] > 0) counts.emplace_back(table.similarity(v), table.pairs[v] / 2);
  return counts;
}

DistanceTable random_table(RandomStream& stream, int n, int loci, int widest_count) {
  std::vector<std::int64_t> counts;
  for (int k = 0; k < n * loci; ++k)
    counts.push_back(static_cast<std::int64_t>(uniform_random(stream) * (widest_count + 1)));
  return compute_distances(make_locus_counts(counts), n, loci, 1);
}

class InTemporaryFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("strataperm_plot_data_" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string path(const std::string& name) const { return (folder_ / name).string(); }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  // The message of the InputError `read` throws ("" when none).
  template <typename Read>
  static std::string error_of(Read read) {
    try {
      read();
    } catch (const InputError& error) {
      return error.what();
    }
    return "";
  }
  fs::path folder_;
};

// ------------------------------------------------------------ histogram

TEST(SimilarityHistogram, FromTheWrittenCountsIsTheRecomputedOne) {
  RandomStream stream;
  seed_random_stream(stream);
  struct Case {
    int n, loci, widest;
  };
  for (const Case c : {Case{30, 80, 2}, Case{12, 5, 2}, Case{60, 300, 2}, Case{25, 40, 9},
                       Case{6, 3, 2}}) {
    const DistanceTable table = random_table(stream, c.n, c.loci, c.widest);
    for (int bins : {40, 7}) {
      const Histogram expected = similarity_histogram(table, bins);
      const Histogram got = histogram_of_similarities(counts_of(table), bins);
      SCOPED_TRACE(testing::Message() << c.n << " x " << c.loci << ", " << bins << " bins");
      ASSERT_FALSE(expected.empty());
      EXPECT_EQ(got.counts, expected.counts);
      EXPECT_EQ(got.total, expected.total);
      EXPECT_DOUBLE_EQ(got.low_edge, expected.low_edge);
      EXPECT_DOUBLE_EQ(got.bin_width, expected.bin_width);
    }
  }
}

TEST(SimilarityHistogram, OffGridValuesGetEqualBinsAndAnUndefinedTableNone) {
  // Similarities on no grid of a modest step: every pair still lands in a bin.
  const std::vector<std::pair<double, std::int64_t>> counts = {
      {0.0, 3}, {0.1234567, 5}, {0.31415926, 2}, {0.7071067, 7}, {1.0, 1}};
  const Histogram histogram = histogram_of_similarities(counts, 10);
  ASSERT_FALSE(histogram.empty());
  EXPECT_EQ(histogram.total, 18.0);
  double sum = 0.0;
  for (double c : histogram.counts) sum += c;
  EXPECT_EQ(sum, 18.0);
  EXPECT_LE(histogram.counts.size(), 10u);
  EXPECT_LE(histogram.low_edge, 0.0);
  EXPECT_GE(histogram.low_edge + histogram.bin_width * histogram.counts.size(), 1.0);
  // A sample whose individuals all agree: the one similarity is 0/0.
  EXPECT_TRUE(histogram_of_similarities({{NAN, 3}}, 40).empty());
  EXPECT_TRUE(histogram_of_similarities({}, 40).empty());
}

// ------------------------------------------------------------ figures

TEST(GenomicInflation, IsTheMedianTwoDfChiSquareOverItsNullMedian) {
  const auto p_of = [](double chi2) { return std::exp(-chi2 / 2.0); };
  const double null_median = 2.0 * std::log(2.0);
  EXPECT_NEAR(genomic_inflation({p_of(1.0), p_of(5.0), p_of(2.0)}), 2.0 / null_median, 1e-12);
  // An even count takes the mean of the middle two; NaN (NA) is left out.
  EXPECT_NEAR(genomic_inflation({p_of(1.0), NAN, p_of(4.0), p_of(2.0), p_of(9.0)}),
              3.0 / null_median, 1e-12);
  EXPECT_TRUE(std::isnan(genomic_inflation({})));
  EXPECT_TRUE(std::isnan(genomic_inflation({NAN})));
  // Uniform P-values give about 1.
  std::vector<double> uniform;
  for (int k = 0; k < 10001; ++k) uniform.push_back((k + 0.5) / 10001.0);
  EXPECT_NEAR(genomic_inflation(uniform), 1.0, 1e-3);
  // A P of 0 is an infinite chi-square: it moves the median, not the sum.
  EXPECT_NEAR(genomic_inflation({0.0, p_of(3.0), p_of(1.0)}), 3.0 / null_median, 1e-12);
}

MarkerResults results_of(const std::vector<std::pair<double, double>>& p_and_emp2) {
  MarkerResults results;
  results.from_table = true;
  int marker = 0;
  for (const auto& [p, emp2] : p_and_emp2) {
    MarkerResult m;
    m.marker = ++marker;
    m.p = p;
    m.emp1 = 0.5;
    m.emp2 = emp2;
    results.markers.push_back(m);
  }
  return results;
}

TEST(FamilyWiseLine, LiesBetweenTheMarkersOnEitherSideOfTheLevel) {
  FamilyWiseLine line =
      family_wise_line(results_of({{0.3, 1.0}, {1e-6, 0.01}, {4e-4, 0.2}, {1e-4, 0.05}}), 0.05);
  EXPECT_TRUE(line.drawn());
  EXPECT_EQ(line.reaching, 2);
  EXPECT_EQ(line.missing, 2);
  EXPECT_EQ(line.below, 1e-4);  // EMP2 = 0.05 reaches the level
  EXPECT_EQ(line.above, 4e-4);
  EXPECT_NEAR(line.p, 2e-4, 1e-15);
  // A P of 0 below the level: the line goes at the other side.
  line = family_wise_line(results_of({{0.0, 0.001}, {0.01, 0.5}}), 0.05);
  EXPECT_EQ(line.p, 0.01);
  // Markers without P or EMP2 take no part; the smallest EMP2 is still known.
  line = family_wise_line(results_of({{NAN, 0.001}, {0.2, NAN}, {0.01, 0.3}, {0.02, 0.6}}), 0.05);
  EXPECT_FALSE(line.drawn());
  EXPECT_EQ(line.reaching, 0);
  EXPECT_EQ(line.missing, 2);
  EXPECT_EQ(line.smallest_emp2, 0.001);
  line = family_wise_line(results_of({{1e-9, 0.001}, {1e-8, 0.002}}), 0.05);
  EXPECT_FALSE(line.drawn());
  EXPECT_EQ(line.reaching, 2);
  EXPECT_EQ(line.missing, 0);
}

TEST(TopMarkers, SmallestPFirstNaNLastTiesByEmp1ThenMarker) {
  MarkerResults results = results_of({{0.5, 1}, {NAN, 1}, {0.01, 1}, {0.01, 1}, {0.01, 1}, {0.2, 1}});
  results.markers[2].emp1 = 0.3;
  results.markers[3].emp1 = 0.1;
  results.markers[4].emp1 = 0.3;
  EXPECT_EQ(top_markers(results, 10), (std::vector<std::size_t>{3, 2, 4, 5, 0, 1}));
  EXPECT_EQ(top_markers(results, 2), (std::vector<std::size_t>{3, 2}));
  EXPECT_TRUE(top_markers(MarkerResults(), 10).empty());
}

// ------------------------------------------------------------ readers

using RunLogReader = InTemporaryFolder;

RunRecord sample_log(double bic_one) {
  RunRecord log;
  log.parameters = {"genotypes.txt", "traits.txt", "out/res.txt", 200, 80, 12, 30};
  StructureFit& fit = log.fit;
  fit.mean = 0.41;
  fit.variance = 0.0123;
  fit.mean1 = 0.61;
  fit.variance1 = 0.002;
  fit.weight1 = 0.45;
  fit.mean0 = 0.3;
  fit.variance0 = 0.004;
  fit.weight0 = 0.55;
  fit.bic_one = bic_one;
  fit.bic_two = -1230.827298;
  fit.passes = 7;
  fit.structure = bic_one > fit.bic_two;
  log.stage_seconds = {{"read", 0.01}};
  return log;
}

TEST_F(RunLogReader, ReadsBackWhatTheRunWrites) {
  write_run_log(path("res.log"), sample_log(-742.543896));
  const LoggedRun run = read_run_log(path("res.log"));
  EXPECT_EQ(run.parameters.output_file, "out/res.txt");
  EXPECT_EQ(run.parameters.n_individuals, 30);
  EXPECT_EQ(run.parameters.n_loci, 80);
  EXPECT_EQ(run.parameters.n_markers, 12);
  EXPECT_EQ(run.parameters.n_permutations, 200);
  EXPECT_EQ(run.fit.mean, 0.41);
  EXPECT_EQ(run.fit.variance0, 0.004);
  EXPECT_EQ(run.fit.weight1, 0.45);
  EXPECT_EQ(run.fit.bic_one, -742.543896);
  EXPECT_EQ(run.fit.bic_two, -1230.827298);
  EXPECT_EQ(run.fit.passes, 7);
  EXPECT_TRUE(run.fit.structure);
  // The adjustment says how EMP1 was formed; a log without the line is one
  // of a run from before the choice, whose EMP1 was c/R.
  EXPECT_TRUE(run.emp1_counts_the_observed);
  RunRecord sequential = sample_log(-742.543896);
  sequential.adjustment = Adjustment::sequential;
  write_run_log(path("adj.log"), sequential);
  EXPECT_FALSE(read_run_log(path("adj.log")).emp1_counts_the_observed);
  std::string text;
  {
    std::ifstream in(path("res.log"));
    for (std::string line; std::getline(in, line);)
      if (line.rfind("adjustment\t", 0) != 0) text += line + "\n";
  }
  EXPECT_FALSE(read_run_log(write("old.log", text)).emp1_counts_the_observed);

  // The BICs of a sample whose individuals all agree are not numbers.
  RunRecord agreeing = sample_log(NAN);
  agreeing.fit.bic_two = NAN;
  write_run_log(path("nan.log"), agreeing);
  const LoggedRun nan_run = read_run_log(path("nan.log"));
  EXPECT_TRUE(std::isnan(nan_run.fit.bic_one));
  EXPECT_FALSE(nan_run.fit.structure);
  EXPECT_FALSE(nan_run.fit.separated);
}

TEST_F(RunLogReader, NamesTheLineOrTheMissingKey) {
  write_run_log(path("res.log"), sample_log(-742.5));
  std::ifstream in(path("res.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const auto with = [&](const std::string& key, const std::string& value) {
    std::string text;
    for (std::size_t k = 0; k < lines.size(); ++k) {
      if (lines[k].rfind(key + "\t", 0) == 0) {
        if (value == "-") continue;
        text += key + "\t" + value + "\n";
      } else {
        text += lines[k] + "\n";
      }
    }
    return write("bad.log", text);
  };
  const auto line_of = [&](const std::string& key) {
    for (std::size_t k = 0; k < lines.size(); ++k)
      if (lines[k].rfind(key + "\t", 0) == 0) return std::to_string(k + 1);
    return std::string("?");
  };
  const auto value_of = [&](const std::string& key) {
    for (const std::string& line : lines)
      if (line.rfind(key + "\t", 0) == 0) return line.substr(key.size() + 1);
    return std::string();
  };
  struct Case {
    std::string key, value, message;
  };
  for (const Case& c : {Case{"markers", "12x", "line " + line_of("markers") + ": 'markers'"},
                        Case{"permutations", "0", "line " + line_of("permutations")},
                        Case{"one_group", "mean=0.4 variance=0.01", "line " + line_of("one_group")},
                        Case{"two_groups", value_of("two_groups") + " extra",
                             "line " + line_of("two_groups") + ": 'two_groups'"},
                        Case{"verdict", "maybe", "line " + line_of("verdict")},
                        Case{"individuals", "-", "no 'individuals' line"}}) {
    const std::string message = error_of([&] { read_run_log(with(c.key, c.value)); });
    EXPECT_NE(message.find("bad.log"), std::string::npos) << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.key << ": " << message;
  }
  EXPECT_NE(error_of([&] { read_run_log(write("x.log", "results\tx\n")); }).find("strataperm VERSION"),
            std::string::npos);
  EXPECT_NE(error_of([&] { read_run_log(write("y.log", "strataperm 1\nno tab here\n")); })
                .find("y.log, line 2"),
            std::string::npos);
}

using MarkerTableReader = InTemporaryFolder;

constexpr const char* kTableHeader =
    "#CHROM\tPOS\tID\tA1\tA2\tA1_FREQ\tOBS_CT\tBETA_ADD\tSE_ADD\tBETA_DOM\tSE_DOM\tF_STAT\tP\tEMP1\tEMP2\n";

TEST_F(MarkerTableReader, ReadsRowsWithNAAsNaN) {
  const std::string file = write(
      "r.tsv", std::string(kTableHeader) +
                   "1\t1500000\trs7\tG\tA\t0.25\t30\t0.5\t0.1\t-0.2\t0.12\t14.2\t3.1e-05\t0.0025\t0.00995\n"
                   ".\t.\t2\t.\t.\t-nan\t0\tNA\tNA\tNA\tNA\tNA\tNA\t0.5\tNA\n");
  const std::vector<AssociationRow> rows = read_association_rows(file, 2);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].chromosome, "1");
  EXPECT_EQ(rows[0].position, "1500000");
  EXPECT_EQ(rows[0].id, "rs7");
  EXPECT_EQ(rows[0].beta_add, 0.5);
  EXPECT_EQ(rows[0].beta_dom, -0.2);
  EXPECT_EQ(rows[0].p, 3.1e-05);
  EXPECT_EQ(rows[0].emp1, 0.0025);
  EXPECT_EQ(rows[0].emp2, 0.00995);
  EXPECT_EQ(rows[1].id, "2");
  EXPECT_TRUE(std::isnan(rows[1].p));
  EXPECT_TRUE(std::isnan(rows[1].emp2));
  EXPECT_TRUE(std::isnan(rows[1].beta_add));
  EXPECT_EQ(rows[1].emp1, 0.5);
}

TEST_F(MarkerTableReader, ReadsTheTableOfAnAdaptiveRunWithItsReplicateColumn) {
  EXPECT_EQ(table_header(false) + "\n", kTableHeader);
  const std::string file = write(
      "a.tsv", table_header(true) + "\n" +
                   "1\t100\trs1\tG\tA\t0.25\t30\t0.5\t0.1\t-0.2\t0.12\t14.2\t0.01\t0.047619047619047616\tNA\t20\n");
  const std::vector<AssociationRow> rows = read_association_rows(file, 1);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].emp1, 1.0 / 21.0);
  EXPECT_TRUE(std::isnan(rows[0].emp2));
  // Without its NP field the row is short.
  write("a.tsv", table_header(true) + "\n" +
                     "1\t100\trs1\tG\tA\t0.25\t30\t0.5\t0.1\t-0.2\t0.12\t14.2\t0.01\t0.05\tNA\n");
  EXPECT_THROW(read_association_rows(file, 1), InputError);
}

TEST_F(MarkerTableReader, ErrorsNameTheLine) {
  const std::string good = "1\t100\trs1\tG\tA\t0.25\t30\t0.5\t0.1\t-0.2\t0.12\t14.2\t0.01\t0.02\t0.3\n";
  struct Case {
    std::string text, message;
  };
  for (const Case& c : {
           Case{"#CHROM\tPOS\n" + good, "r.tsv, line 1: it is not the header"},
           Case{kTableHeader + good + "1\t100\trs2\tG\tA\t0.25\t30\n", "r.tsv, line 3: 7 tab-separated fields"},
           Case{kTableHeader + good + "1\t100\trs2\tG\tA\t0.25\t30\t0.5\t0.1\t-0.2\t0.12\t14.2\t1.5\t0.02\t0.3\n",
                "r.tsv, line 3: P 1.5 is not in [0, 1]"},
           Case{kTableHeader + good + "1\t100\trs2\tG\tA\t0.25\t30\t0.5\t0.1\t-0.2\t0.12\t14.2\t0.1\tNA\t0.3\n",
                "r.tsv, line 3: EMP1 'NA' is not a number"},
           Case{kTableHeader + good + "1\t100\trs2\tG\tA\t0.25\t30\tbig\t0.1\t-0.2\t0.12\t14.2\t0.1\t0.1\t0.3\n",
                "r.tsv, line 3: BETA_ADD 'big' is not a number or NA"},
           Case{kTableHeader + good + "1\t100\t\tG\tA\t0.25\t30\t0.5\t0.1\t-0.2\t0.12\t14.2\t0.1\t0.1\t0.3\n",
                "r.tsv, line 3: the ID field is empty"},
           Case{kTableHeader + good, "r.tsv: the table ends after line 2 with 1 of the 2 markers"},
           Case{kTableHeader + good + good + good, "r.tsv, line 4: the table goes on after the 2 markers"},
       }) {
    const std::string message = error_of([&] { read_association_rows(write("r.tsv", c.text), 2); });
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}

using SimilarityTableReader = InTemporaryFolder;

TEST_F(SimilarityTableReader, ReadsBackWhatTheRunWritesAndChecksThePairs) {
  RandomStream stream;
  seed_random_stream(stream);
  const DistanceTable table = random_table(stream, 20, 30, 2);
  write_similarity_table(path("s.tsv"), counts_of(table));
  EXPECT_EQ(read_similarity_counts(path("s.tsv"), 20), counts_of(table));

  struct Case {
    std::string text, message;
  };
  for (const Case& c : {
           Case{"similarity\tpairs\n0\t3\n", "s.tsv, line 1"},
           Case{"#SIMILARITY\tPAIRS\n0.5\t1\n0.25\t2\n", "s.tsv, line 3: the similarities are not ascending"},
           Case{"#SIMILARITY\tPAIRS\n0.5\t0\n0.75\t3\n", "s.tsv, line 2: the pair count '0'"},
           Case{"#SIMILARITY\tPAIRS\n1.5\t3\n", "s.tsv, line 2: the similarity 1.5 is not in [0, 1]"},
           Case{"#SIMILARITY\tPAIRS\n0.5\t2\n", "s.tsv: its pairs add up to 2, not the 3 pairs"},
           Case{"#SIMILARITY\tPAIRS\n0.5\t2\n0.7\t2\n", "s.tsv, line 3: the pairs add up to more than the 3"},
           Case{"#SIMILARITY\tPAIRS\n0.5 3\n", "s.tsv, line 2: the line is not 'SIMILARITY<TAB>PAIRS'"},
       }) {
    const std::string message = error_of([&] { read_similarity_counts(write("s.tsv", c.text), 3); });
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
  // The one row of a sample whose individuals all agree.
  const auto agreeing = read_similarity_counts(write("s.tsv", "#SIMILARITY\tPAIRS\n-nan\t3\n"), 3);
  ASSERT_EQ(agreeing.size(), 1u);
  EXPECT_TRUE(std::isnan(agreeing[0].first));
}

}  // namespace
}  // namespace strataperm
