// Covariates: the reduced model's residuals (and their fast tiles against the
// plain twin), its refusal of dependent columns, and the covariate table's
// reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/covariate_model.hpp"
#include "analysis/within_group_permutation.hpp"
#include "core/errors.hpp"
#include "io/covariate_table.hpp"
#include "numerics/random.hpp"

namespace strataperm {
namespace {

namespace fs = std::filesystem;

std::string numbered(const char* prefix, std::size_t k) {
  std::string name = prefix;
  name += std::to_string(k);
  return name;
}

GroupLists lists_of(const std::vector<int>& clusters) {
  return build_group_lists(same_group_of_clusters(clusters));
}

Covariates covariates_of(const std::vector<std::vector<double>>& columns) {
  Covariates c;
  c.source = "covar.txt";
  const std::size_t n = columns[0].size();
  for (std::size_t k = 0; k < columns.size(); ++k) c.names.push_back(numbered("c", k + 1));
  for (std::size_t i = 0; i < n; ++i)
    for (const auto& column : columns) c.values.push_back(column[i]);
  return c;
}

// The message of the error a model of these covariates and groups throws.
std::string refusal(const Covariates& covariates, const std::vector<int>& clusters) {
  try {
    ReducedModel model(covariates, lists_of(clusters));
  } catch (const Error& error) {
    EXPECT_EQ(error.category(), Error::Category::degenerate_data);
    return error.what();
  }
  return "";
}

TEST(ReducedModel, ResidualsAreOrthogonalToEveryColumnOfTheModel) {
  // Two groups, two covariates: Z = [1, age, dose, group 2].
  const std::vector<int> clusters = {0, 0, 0, 1, 1, 1, 0, 1, 0};
  const std::vector<double> age = {30, 41, 25, 52, 47, 38, 60, 29, 33};
  const std::vector<double> dose = {1.5, 0.2, 3.1, 2.2, 0.7, 1.9, 2.8, 0.1, 1.1};
  const ReducedModel model(covariates_of({age, dose}), lists_of(clusters));
  EXPECT_EQ(model.rank(), 4);
  EXPECT_EQ(model.covariate_count(), 2);
  std::vector<double> v = {3.0, -1.0, 2.5, 0.0, 7.0, 1.0, -2.0, 4.0, 0.5};
  model.residualize(v.data(), 1, 1);
  double ones = 0.0, by_age = 0.0, by_dose = 0.0, in_group2 = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    ones += v[i];
    by_age += age[i] * v[i];
    by_dose += dose[i] * v[i];
    if (clusters[i] == 1) in_group2 += v[i];
  }
  EXPECT_NEAR(ones, 0.0, 1e-12);
  EXPECT_NEAR(by_age, 0.0, 1e-10);
  EXPECT_NEAR(by_dose, 0.0, 1e-11);
  EXPECT_NEAR(in_group2, 0.0, 1e-12);
  // A column in the model's span has no residual.
  std::vector<double> inside(age.size());
  for (std::size_t i = 0; i < age.size(); ++i) inside[i] = 2.0 * age[i] - dose[i] + 4.0 + clusters[i];
  model.residualize(inside.data(), 1, 1);
  for (double e : inside) EXPECT_NEAR(e, 0.0, 1e-11);
}

TEST(ReducedModel, ColumnsInTheModelsSpanBecomeExactZeros) {
  // A marker constant within each group and a covariate's multiple have no
  // residual but rounding: they become zeros, and the marker is degenerate
  // as it is in exact arithmetic.
  const std::vector<int> clusters = {0, 0, 0, 0, 1, 1, 1, 1};
  const std::vector<double> age = {31.3, 47.1, 25.9, 52.7, 44.2, 38.8, 60.1, 29.4};
  const ReducedModel model(covariates_of({age}), lists_of(clusters));
  std::vector<double> block(8 * 3);
  for (std::size_t i = 0; i < 8; ++i) {
    block[i * 3] = clusters[i] == 0 ? 1.0 : -1.0;
    block[i * 3 + 1] = 0.1 * age[i];
    block[i * 3 + 2] = static_cast<double>(i % 3);
  }
  model.residualize(block.data(), 3, 3);
  double kept = 0.0;
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(block[i * 3], 0.0);
    EXPECT_EQ(block[i * 3 + 1], 0.0);
    kept += block[i * 3 + 2] * block[i * 3 + 2];
  }
  EXPECT_GT(kept, 0.5);
}

TEST(ReducedModel, OneCovariateOneGroupIsTheSimpleRegressionResidual) {
  const std::vector<double> x = {1, 2, 3, 4, 5};
  const std::vector<double> y = {2.0, 4.5, 5.0, 8.5, 9.0};
  const ReducedModel model(covariates_of({x}), lists_of({0, 0, 0, 0, 0}));
  std::vector<double> e = y;
  model.residualize(e.data(), 1, 1);
  // Slope 1.8, intercept 0.4 by hand: residuals y - 0.4 - 1.8 x.
  const double expected[] = {-0.2, 0.5, -0.8, 0.9, -0.4};
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(e[static_cast<std::size_t>(i)], expected[i], 1e-12);
}

TEST(ReducedModel, OverlappingListsLeaveTheGroupsOutOfTheModel) {
  // Lists that do not partition: Z is the intercept and the covariates.
  std::vector<std::uint8_t> same_group = {1, 1, 0, 1, 1, 1, 0, 1, 1};
  const GroupLists lists = build_group_lists(SameGroup::from_bytes(same_group, 3));
  ASSERT_FALSE(lists.partitions());
  const ReducedModel model(covariates_of({{0.5, 1.0, 4.0}}), lists);
  EXPECT_EQ(model.rank(), 2);
}

TEST(ReducedModel, FastTilesMatchThePlainTwinBitForBit) {
  RandomStream gen;
  seed_random_stream(gen);
  for (int trial = 0; trial < 60; ++trial) {
    const int n = 8 + static_cast<int>(uniform_random(gen) * 120);
    const int k = static_cast<int>(uniform_random(gen) * 6);
    const int labels = 1 + static_cast<int>(uniform_random(gen) * 4);
    const int width = 1 + static_cast<int>(uniform_random(gen) * 140);
    std::vector<int> clusters;
    for (int i = 0; i < n; ++i) clusters.push_back(i % labels);
    Covariates covariates;
    covariates.source = "covar.txt";
    for (int c = 0; c < k; ++c) covariates.names.push_back(numbered("c", c));
    for (int i = 0; i < n * k; ++i) covariates.values.push_back(uniform_random(gen) * 20.0 - 5.0);
    if (k == 0) {
      covariates.names.push_back("c");
      for (int i = 0; i < n; ++i) covariates.values.push_back(uniform_random(gen));
    }
    const ReducedModel model(covariates, lists_of(clusters));
    const int stride = width + static_cast<int>(uniform_random(gen) * 3);
    std::vector<double> fast(static_cast<std::size_t>(n) * static_cast<std::size_t>(stride));
    for (double& v : fast) v = static_cast<int>(uniform_random(gen) * 3) - 1.0 + (uniform_random(gen) < 0.1 ? 0.37 : 0.0);
    // Columns in the model's span: a constant, the first covariate.
    for (int i = 0; i < n; ++i) {
      fast[static_cast<std::size_t>(i) * static_cast<std::size_t>(stride)] = 2.0;
      if (width > 17) {
        fast[static_cast<std::size_t>(i) * static_cast<std::size_t>(stride) + 17] =
            covariates.values[static_cast<std::size_t>(i) * covariates.names.size()];
      }
    }
    std::vector<double> plain = fast;
    model.residualize(fast.data(), stride, width);
    model.residualize_plain(plain.data(), stride, width);
    ASSERT_EQ(0, std::memcmp(fast.data(), plain.data(), fast.size() * sizeof(double)))
        << "trial " << trial << ", n " << n << ", width " << width;
  }
}

TEST(ReducedModel, DependentColumnsAreRefusedByName) {
  const std::vector<double> a = {1, 2, 3, 4, 5, 6};
  const std::vector<double> b = {2, 1, 0, 2, 1, 5};
  // A constant, a linear combination of earlier covariates, a covariate that
  // marks a group.
  EXPECT_NE(refusal(covariates_of({a, {3, 3, 3, 3, 3, 3}}), {0, 0, 0, 0, 0, 0})
                .find("covar.txt: covariate 'c2' is constant"),
            std::string::npos);
  EXPECT_NE(refusal(covariates_of({a, b, {6, 5, 4, 9, 8, 17}}), {0, 0, 0, 0, 0, 0})
                .find("covariate 'c3' is a linear combination of the intercept and the covariates"),
            std::string::npos);
  EXPECT_NE(refusal(covariates_of({a, {0, 0, 1, 1, 0, 1}}), {0, 0, 1, 1, 0, 1})
                .find("covariate 'c2' is a linear combination of the intercept, the group indicators"),
            std::string::npos);
  // More columns than individuals.
  EXPECT_NE(refusal(covariates_of({{1, 2, 4}, {0, 1, 5}, {3, 1, 1}}), {0, 0, 0}), "");
  // Within-group variation is enough.
  EXPECT_EQ(refusal(covariates_of({a, b}), {0, 0, 0, 1, 1, 1}), "");
}

class CovariateTableFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("strataperm_covar_" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string file(const std::string& text) {
    const std::string path = (folder_ / "covar.txt").string();
    std::FILE* out = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), out);
    std::fclose(out);
    return path;
  }
  // The message of the reader's refusal.
  std::string refusal(const std::string& text, const std::string& selection,
                      CovariateMatch match = CovariateMatch::family_and_individual) {
    try {
      read_covariate_table(file(text), selection, match);
    } catch (const Error& error) {
      return error.what();
    }
    return "";
  }
  fs::path folder_;
};

TEST_F(CovariateTableFiles, HeaderFormsAndColumnChoices) {
  const std::string text = "#FID IID age sex PC1 PC2 PC3\nF1 I1 30 1 0.1 0.2 0.3\nF2 I2 NA 2 -9 1e-3 4\n";
  CovariateTable all = read_covariate_table(file(text), "", CovariateMatch::family_and_individual);
  EXPECT_EQ(all.names, (std::vector<std::string>{"age", "sex", "PC1", "PC2", "PC3"}));
  ASSERT_EQ(all.rows.count("F1\tI1"), 1u);
  const CovariateRow& second = all.rows.at("F2\tI2");
  EXPECT_FALSE(second.values[0].has_value());  // NA
  EXPECT_FALSE(second.values[2].has_value());  // -9
  EXPECT_EQ(*second.values[3], 1e-3);
  EXPECT_EQ(second.line, 3);
  // Names, numbers and ranges of either, in the order given.
  CovariateTable chosen = read_covariate_table(file(text), "PC3,age,PC1-PC2", CovariateMatch::individual);
  EXPECT_EQ(chosen.names, (std::vector<std::string>{"PC3", "age", "PC1", "PC2"}));
  EXPECT_TRUE(chosen.by_individual_id);
  EXPECT_EQ(*chosen.rows.at("I1").values[0], 0.3);
  EXPECT_EQ(read_covariate_table(file(text), "2,4-5", CovariateMatch::family_and_individual).names,
            (std::vector<std::string>{"sex", "PC2", "PC3"}));
  // IID alone; no header (FID IID values, columns named by number).
  EXPECT_TRUE(read_covariate_table(file("IID x\nI1 2\n"), "", CovariateMatch::family_and_individual)
                  .by_individual_id);
  CovariateTable bare = read_covariate_table(file("F1 I1 2 3\nF2 I2 4 5\n"), "2", CovariateMatch::family_and_individual);
  EXPECT_EQ(bare.names, (std::vector<std::string>{"COV2"}));
  EXPECT_EQ(read_covariate_table(file("F1 I1 2 3\n"), "COV2-COV2", CovariateMatch::family_and_individual).names,
            (std::vector<std::string>{"COV2"}));
  // A header whose '#' stands apart.
  EXPECT_EQ(read_covariate_table(file("# FID IID x y\nF1 I1 2 3\n"), "y", CovariateMatch::family_and_individual).names,
            (std::vector<std::string>{"y"}));
  EXPECT_EQ(read_covariate_table(file("# x y\n2 3\n"), "", CovariateMatch::order).names,
            (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(*bare.rows.at("F2\tI2").values[0], 5.0);
  // In order: values alone, a header when the first field is no number.
  CovariateTable ordered = read_covariate_table(file("age dose\n30 1\n40 NA\n"), "dose", CovariateMatch::order);
  ASSERT_EQ(ordered.ordered.size(), 2u);
  EXPECT_EQ(*ordered.ordered[0].values[0], 1.0);
  EXPECT_FALSE(ordered.ordered[1].values[0].has_value());
  EXPECT_EQ(read_covariate_table(file("30 1\n40 2\n"), "", CovariateMatch::order).ordered.size(), 2u);
}

TEST_F(CovariateTableFiles, WhatCannotBeReadIsNamedWithFileLineAndColumn) {
  const std::string head = "FID IID age sex\n";
  EXPECT_NE(refusal(head + "F1 I1 30 1\nF2 I2 old 2\n", "").find("covar.txt, line 3: covariate 'age' holds 'old', not a number"),
            std::string::npos);
  EXPECT_NE(refusal(head + "F1 I1 30\n", "").find("line 2: expected 4 fields"), std::string::npos);
  EXPECT_NE(refusal(head + "F1 I1 30 1\nF1 I1 31 2\n", "").find("individual F1 I1 appears again (first on line 2)"),
            std::string::npos);
  EXPECT_NE(refusal(head + "F1 I1 30 1\n", "height").find("names 'height', which is no covariate column"),
            std::string::npos);
  EXPECT_NE(refusal(head + "F1 I1 30 1\n", "3").find("the file has 2 covariate columns: age, sex"),
            std::string::npos);
  EXPECT_NE(refusal(head + "F1 I1 30 1\n", "age,1").find("names covariate 'age' twice"), std::string::npos);
  EXPECT_NE(refusal("FID IID\nF1 I1\n", "").find("at least one covariate"), std::string::npos);
  EXPECT_NE(refusal("", "").find("holds no covariates"), std::string::npos);
  EXPECT_NE(refusal("F1 I1 inf\n", "").find("holds 'inf', not a number"), std::string::npos);
}

}  // namespace
}  // namespace strataperm
