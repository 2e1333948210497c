// The study folder's own files (parameter.txt, markers.tsv, individuals.tsv)
// read back as they are written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "io/association_table.hpp"
#include "io/id_lists.hpp"
#include "io/marker_table.hpp"
#include "io/results_file.hpp"
#include "io/study_folder.hpp"
#include "io/study_reader.hpp"

namespace strataperm {
namespace {

namespace fs = std::filesystem;

class StudyFolderFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("strataperm_folder_" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  // Writes `name` through `body` and returns its path.
  template <typename Body>
  std::string written(const std::string& name, Body body) {
    const std::string path = (folder_ / name).string();
    std::FILE* file = std::fopen(path.c_str(), "w");
    body(file);
    std::fclose(file);
    return path;
  }
  fs::path folder_;
};

TEST_F(StudyFolderFiles, EachReadsBackWhatIsWritten) {
  Parameters parameters{"g.txt", "t.txt", "out.txt", 250, 40, 3, 17};
  const std::string parameter_path =
      written("parameter.txt", [&](std::FILE* f) { write_parameter_file(f, parameters); });
  Parameters read;
  std::FILE* file = std::fopen(parameter_path.c_str(), "r");
  read_parameter_stream(file, parameter_path, read);
  std::fclose(file);
  EXPECT_EQ(read.genotype_file, "g.txt");
  EXPECT_EQ(read.marker_file, "t.txt");
  EXPECT_EQ(read.output_file, "out.txt");
  EXPECT_EQ(read.n_permutations, 250);
  EXPECT_EQ(read.n_loci, 40);
  EXPECT_EQ(read.n_markers, 3);
  EXPECT_EQ(read.n_individuals, 17);

  const std::vector<MarkerInfo> markers = {
      {"rs1", "1", "1200", "A", "G"}, {"rs2", "X", "99", "C", "T"}, {"rs3", "chr22", "7", "G", "A"}};
  const std::string marker_path =
      written("markers.tsv", [&](std::FILE* f) { write_marker_table(f, markers); });
  const std::vector<MarkerInfo> back = read_marker_table(marker_path, 3);
  ASSERT_EQ(back.size(), 3u);
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_EQ(back[j].id, markers[j].id);
    EXPECT_EQ(back[j].chromosome, markers[j].chromosome);
    EXPECT_EQ(back[j].position, markers[j].position);
    EXPECT_EQ(back[j].allele1, markers[j].allele1);
    EXPECT_EQ(back[j].allele2, markers[j].allele2);
  }
  // A study folder with a broken markers.tsv gets none, and says why.
  EXPECT_TRUE(usable_marker_table(folder_.string(), 3, "").has_value());
  std::string why;
  EXPECT_FALSE(usable_marker_table(folder_.string(), 4, "for the test", &why).has_value());
  EXPECT_NE(why.find("marker 4"), std::string::npos) << why;
  fs::remove(marker_path);
  why.clear();
  EXPECT_FALSE(usable_marker_table(folder_.string(), 3, "", &why).has_value());
  EXPECT_EQ(why, "");

  const std::vector<IndividualKey> individuals = {{"f1", "i1"}, {"0", "s2"}, {"f3", "i3"}};
  const std::string individual_path =
      written("individuals.tsv", [&](std::FILE* f) { write_individual_table(f, individuals); });
  const std::vector<IndividualKey> ids = read_individual_table(individual_path);
  ASSERT_EQ(ids.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(ids[k].family_id, individuals[k].family_id);
    EXPECT_EQ(ids[k].individual_id, individuals[k].individual_id);
  }
  written("individuals.tsv", [](std::FILE* f) { std::fputs("IID\nx\n", f); });
  EXPECT_THROW(read_individual_table(individual_path), InputError);
}

// A whole study folder as import writes it reads back as the study it was
// made from: counts, calls (a missing call included) and traits to the bit.
TEST_F(StudyFolderFiles, AWrittenStudyReadsBackAsTheStudy) {
  const std::size_t n = 3, loci = 2, markers = 2, width = loci + markers;
  // Copies of allele2 per individual: two background loci, then two markers.
  const std::vector<std::int8_t> calls = {0, 2, 1, -1,  //
                                          1, 1, 2, 0,   //
                                          2, 0, 0, 1};
  const std::vector<double> traits = {0.1, -2.5e-7, 1.0 / 3.0};
  written("genotypes.txt",
          [&](std::FILE* f) { write_genotype_file(f, calls.data(), n, width, loci); });
  written("traits.txt",
          [&](std::FILE* f) { write_trait_file(f, traits, calls.data() + loci, width, markers); });
  written("parameter.txt", [&](std::FILE* f) {
    write_parameter_file(f, Parameters{"genotypes.txt", "traits.txt", "results.txt", 10,
                                       static_cast<int>(loci), static_cast<int>(markers),
                                       static_cast<int>(n)});
  });
  Parameters parameters;
  SampleData data;
  read_parameters(folder_.string(), parameters, data);
  ASSERT_EQ(parameters.n_individuals, 3);
  ASSERT_EQ(data.trait.size(), n);
  for (std::size_t r = 0; r < n; ++r) {
    EXPECT_EQ(data.trait[r], traits[r]);
    for (std::size_t l = 0; l < loci; ++l)
      EXPECT_EQ(data.locus_count[r * loci + l], calls[r * width + l]) << r << " " << l;
    for (std::size_t j = 0; j < markers; ++j) {
      const std::int8_t call = calls[r * width + loci + j];
      EXPECT_EQ(data.marker_class[r * markers + j], call < 0 ? kMissing : marker_class_of(call));
    }
  }
}

TEST_F(StudyFolderFiles, TheBackgroundListIsAnIdListAndTheResultsTableReadsBack) {
  const std::string list = written("background_ids.txt", [](std::FILE* f) {
    write_background_id_list(f, {"rs10", "rs2", "chr3:17"});
  });
  EXPECT_EQ(read_id_list(list), (std::vector<std::string>{"rs10", "rs2", "chr3:17"}));

  // The results file's sorted table, as written, read back (the P-values as
  // the file rounds them).
  const int m = 3;
  IntVector ids = ivector(1, m);
  DoubleVector p = dvector(1, m);
  const int order[] = {2, 3, 1};
  const double values[] = {0.0125, 0.5, 0.99875};
  for (int k = 1; k <= m; ++k) {
    ids[k] = order[k - 1];
    p[k] = values[k - 1];
  }
  StructureFit fit;
  fit.structure = true;
  write_results_file(folder_.string(), "results.txt", fit, ids, p, m);
  const std::vector<MarkerPValue> table = read_p_value_table((folder_ / "results.txt").string(), m);
  ASSERT_EQ(table.size(), 3u);
  for (int k = 0; k < m; ++k) {
    EXPECT_EQ(table[static_cast<std::size_t>(k)].marker, order[k]);
    EXPECT_NEAR(table[static_cast<std::size_t>(k)].p_value, values[k], 5e-6);
  }
  free_dvector(p, 1, m);
  free_ivector(ids, 1, m);
}

// RESULTS.tsv as the table writes it and the plot's reader reads it.
TEST_F(StudyFolderFiles, TheMarkerTableReadsBackAsWritten) {
  MarkerStatistics fitted;
  fitted.sum_zz = 4.0;
  fitted.sum_xx = 2.0;
  fitted.sum_xy = 3.0;
  fitted.sum_zy = -2.0;
  fitted.sum_xz = 0.0;
  fitted.t_observed = 4.0 * 3.0 * 3.0 + 2.0 * -2.0 * -2.0;  // sum_xz = 0
  fitted.exceed = 2.5;
  fitted.called = 30;
  fitted.copies = 21;
  MarkerStatistics monomorphic = fitted;
  monomorphic.sum_zz = 0.0;
  monomorphic.sum_zy = 0.0;
  const std::vector<MarkerStatistics> markers = {fitted, monomorphic};
  const std::string path = (folder_ / "results.tsv").string();
  {
    AssociationTable table(path);
    table.add(markers);
    const TableModel model = table_model(Adjustment::means, 30, 20.0, 2);
    table.write(model, 9, {0.1, 0.5, 0.2, 0.9, 0.05, 0.3, 0.7, 0.8, 0.6},
                [](long marker) { return MarkerLabel{"2", std::to_string(100 * marker), "rs" + std::to_string(marker), "G", "A"}; });
  }
  const std::vector<AssociationRow> rows = read_association_rows(path, 2);
  ASSERT_EQ(rows.size(), 2u);
  const AssociationSummary s = summarize_association(fitted, 20.0, 26);
  EXPECT_EQ(rows[0].id, "rs1");
  EXPECT_EQ(rows[0].chromosome, "2");
  EXPECT_EQ(rows[0].position, "100");
  EXPECT_NEAR(rows[0].beta_add, s.beta_add, 1e-5 * std::fabs(s.beta_add));
  EXPECT_NEAR(rows[0].p, s.p, 1e-5 * s.p);
  EXPECT_EQ(rows[0].emp1, (2.5 + 1.0) / 10.0);
  // Its ratio T / (Delta S) = 44 / 160 = 0.275: six maxima reach it.
  EXPECT_EQ(rows[0].emp2, (1.0 + 6.0) / 10.0);
  EXPECT_TRUE(std::isnan(rows[1].p));
  EXPECT_TRUE(std::isnan(rows[1].emp2));
  EXPECT_EQ(rows[1].emp1, 0.35);
}

}  // namespace
}  // namespace strataperm
