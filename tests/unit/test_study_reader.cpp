#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "core/errors.hpp"
#include "core/file_handle.hpp"
#include "io/study_reader.hpp"

namespace strataperm {
namespace {

namespace fs = std::filesystem;

TEST(TokenParsing, IntegersMustBeWholeTokensWithin32Bits) {
  int v = 0;
  EXPECT_TRUE(parse_int_token("0", v));
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(parse_int_token("-17", v));
  EXPECT_EQ(v, -17);
  EXPECT_TRUE(parse_int_token("+5", v));
  EXPECT_EQ(v, 5);
  EXPECT_TRUE(parse_int_token("2147483647", v));
  EXPECT_TRUE(parse_int_token("-2147483648", v));
  EXPECT_EQ(v, -2147483648);
  for (const char* bad : {"", "-", "+", "2147483648", "-2147483649", "1.0", "12abc", "x", "1e3",
                          "99999999999999999999"}) {
    EXPECT_FALSE(parse_int_token(bad, v)) << bad;
  }
}

TEST(TokenParsing, RealsMustBeFiniteWholeTokens) {
  double v = 0;
  EXPECT_TRUE(parse_real_token("1.25", v));
  EXPECT_EQ(v, 1.25);
  EXPECT_TRUE(parse_real_token("-3e-2", v));
  EXPECT_EQ(v, -3e-2);
  EXPECT_TRUE(parse_real_token("0.1000000000000000055511151231257827", v));
  EXPECT_EQ(v, 0.1);
  for (const char* bad : {"", "nan", "NaN", "inf", "-inf", "1e999", "1.5x", "abc", "--1"}) {
    EXPECT_FALSE(parse_real_token(bad, v)) << bad;
  }
}

class InTemporaryFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("strataperm_input_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string write(const std::string& name, const std::string& text) {
    const fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
  fs::path folder_;
};

using TokenReaderTest = InTemporaryFolder;

TEST_F(TokenReaderTest, SkipLinesReportsHowFarItGot) {
  std::FILE* f = std::fopen(write("t", "a\nb\nc").c_str(), "r");
  TokenReader reader(f);
  EXPECT_EQ(reader.skip_lines(1), 1);
  std::string_view token;
  ASSERT_TRUE(reader.next_token(token));
  EXPECT_EQ(token, "b");
  EXPECT_EQ(reader.token_line(), 2);
  EXPECT_EQ(reader.skip_lines(3), -1);
  EXPECT_FALSE(reader.next_token(token));
  std::fclose(f);
}

TEST_F(TokenReaderTest, TokensSpanningTheReadBufferAreWhole) {
  std::string text;
  for (int i = 0; i < 300000; ++i) text += std::to_string(i) + (i % 17 ? " " : "\n");
  std::FILE* f = std::fopen(write("big", text).c_str(), "r");
  TokenReader reader(f);
  std::string_view token;
  for (int i = 0; i < 300000; ++i) {
    ASSERT_TRUE(reader.next_token(token));
    ASSERT_EQ(token, std::to_string(i));
  }
  EXPECT_FALSE(reader.next_token(token));
  std::fclose(f);
}

// A parameter file read under its own name (the name is used in messages).
void read_parameters_at(const std::string& path, Parameters& parameters) {
  const FileHandle file(std::fopen(path.c_str(), "r"));
  ASSERT_NE(file, nullptr) << path;
  read_parameter_stream(file.get(), path, parameters);
}

using ParameterFile = InTemporaryFolder;

TEST_F(ParameterFile, LabelsAreSkippedAndTrailingTextIgnored) {
  const std::string plain =
      write("p1", "a\ng.txt\nb\nm.txt\nc\nout.txt\nd\n100\ne\n20\nf\n5\ng\n10\n");
  const std::string odd =
      write("p2",
            "12 34 labels with digits\ng.txt trailing words\n999\n\n\nm.txt\n7 7\nout.txt\n"
            "x\n100 permutations\ny\n20\t# loci\nz\n5\nw\n10");
  Parameters a, b;
  read_parameters_at(plain, a);
  read_parameters_at(odd, b);
  for (const Parameters* p : {&a, &b}) {
    EXPECT_EQ(p->genotype_file, "g.txt");
    EXPECT_EQ(p->marker_file, "m.txt");
    EXPECT_EQ(p->output_file, "out.txt");
    EXPECT_EQ(p->n_permutations, 100);
    EXPECT_EQ(p->n_loci, 20);
    EXPECT_EQ(p->n_markers, 5);
    EXPECT_EQ(p->n_individuals, 10);
  }
}

TEST_F(ParameterFile, LongNamesAreKeptWhole) {
  const std::string name(10000, 'g');
  const std::string path = write("p", "a\n" + name + "\nb\nm\nc\no\nd\n1\ne\n1\nf\n1\ng\n2\n");
  Parameters p;
  read_parameters_at(path, p);
  EXPECT_EQ(p.genotype_file, name);
}

// Runs `read` and returns the InputError message it throws ("" if none).
template <typename Read>
std::string error_of(Read read) {
  try {
    read();
  } catch (const InputError& error) {
    EXPECT_EQ(error.category(), Error::Category::malformed_input);
    return error.what();
  }
  return "";
}

#define EXPECT_INPUT_ERROR(statement, pattern)                                          \
  do {                                                                                  \
    const std::string message = error_of([&] { statement; });                           \
    EXPECT_TRUE(std::regex_search(message, std::regex(pattern))) << "got: " << message; \
  } while (0)

using ParameterFileErrors = InTemporaryFolder;

TEST_F(ParameterFileErrors, BadCountsNameTheFileTheLineAndTheProblem) {
  const std::string head = "a\ng\nb\nm\nc\no\n";
  Parameters p;
  EXPECT_INPUT_ERROR(read_parameters_at(write("p1", head + "d\n10.5\ne\n1\nf\n1\ng\n2\n"), p),
                     "p1, line 8: the number of permutations must be a whole number, found '10.5'");
  EXPECT_INPUT_ERROR(read_parameters_at(write("p2", head + "d\n10\ne\n1\nf\n1\ng\n1\n"), p),
                     "p2, line 14: the number of individuals must be at least 2, found 1");
  EXPECT_INPUT_ERROR(read_parameters_at(write("p3", head + "d\n0\ne\n1\nf\n1\ng\n2\n"), p),
                     "number of permutations must be at least 1, found 0");
  EXPECT_INPUT_ERROR(read_parameters_at(write("p4", head + "d\n10\ne\n1\n"), p),
                     "p4: the file ends before the number of markers \\(value 6 of 7\\)");
  EXPECT_INPUT_ERROR(read_parameters_at(write("p5", head + "d\nloci 10\ne\n1\nf\n1\ng\n2\n"), p),
                     "must be a whole number, found 'loci'");
}

class DataFiles : public InTemporaryFolder {
 protected:
  Parameters parameters_with(const std::string& genotypes, const std::string& markers, int n, int l,
                             int m) {
    Parameters p;
    p.genotype_file = write("geno", genotypes);
    p.marker_file = write("markers", markers);
    p.n_individuals = n;
    p.n_loci = l;
    p.n_markers = m;
    p.n_permutations = 1;
    return p;
  }
};

TEST_F(DataFiles, LineBreaksBetweenValuesAreFree) {
  const Parameters a = parameters_with("h\n0 1 1 1\n2 0 -1 3\n", "h\n1.5 0 1\n-2 1 1\n", 2, 2, 1);
  SampleData da;
  allocate_sample_data(a, da);
  read_genotype_file(".", a, da);
  read_marker_file(".", a, da);
  const Parameters b =
      parameters_with("h i j\n0\n1\n1 1 2 0 -1\n\n3", "h\n1.5 0\n1 -2 1\n1", 2, 2, 1);
  SampleData db;
  allocate_sample_data(b, db);
  read_genotype_file(".", b, db);
  read_marker_file(".", b, db);
  EXPECT_EQ(da.locus_count.bytes, db.locus_count.bytes);
  EXPECT_EQ(da.locus_count.base, db.locus_count.base);
  EXPECT_EQ(da.marker_class, db.marker_class);
  EXPECT_EQ(da.trait, db.trait);
  // Only the sum of the two codes is kept: 0+1, 1+1, 2+0, -1+3.
  ASSERT_TRUE(da.locus_count.narrow());
  EXPECT_EQ(da.locus_count.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(da.locus_count[k], (k == 0 ? 1 : 2));
  EXPECT_EQ(da.trait, (std::vector<double>{1.5, -2.0}));
  EXPECT_EQ(da.marker_class, (std::vector<std::uint8_t>{kHeterozygous, kSumTwo}));
}

TEST_F(DataFiles, ExtraValuesAreReadPastWithAWarning) {
  const Parameters p = parameters_with("h\n0 1\n1 1\n5 5 5\n", "h\n1 0 0\n2 1 1\n", 2, 1, 1);
  SampleData d;
  allocate_sample_data(p, d);
  ::testing::internal::CaptureStderr();
  read_genotype_file(".", p, d);
  read_marker_file(".", p, d);
  const std::string warning = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(warning.find("geno holds 3 more values after the last expected one"), std::string::npos)
      << warning;
  EXPECT_EQ(warning.find("markers holds"), std::string::npos);
}

using DataFileErrors = DataFiles;

TEST_F(DataFileErrors, ProblemsNameTheFileTheIndividualAndTheValue) {
  SampleData d;
  Parameters p = parameters_with("h\n0 1 1 1\n2 0\n", "h\n1 0 1\n2 1 1\n", 2, 2, 1);
  allocate_sample_data(p, d);
  EXPECT_INPUT_ERROR(
      read_genotype_file(".", p, d),
      "geno: the file ends early: expected 8 allele codes after the header line \\(2 "
      "individuals x 2 loci x 2\\), found 6 \\(missing from individual 2, locus 2, first "
      "allele\\)");
  p = parameters_with("h\n0 1 1 1\n2 zero 1 1\n", "", 2, 2, 1);
  EXPECT_INPUT_ERROR(read_genotype_file(".", p, d),
                     "geno, line 3: individual 2, locus 1, second allele: 'zero' is not an integer "
                     "allele code");
  p = parameters_with("", "h\n1 0 1\nnan 1 1\n", 2, 2, 1);
  EXPECT_INPUT_ERROR(
      read_marker_file(".", p, d),
      "markers, line 3: individual 2: trait value 'nan' is not a finite real number");
  p = parameters_with("", "h\n1 0 1\n2 1\n", 2, 2, 1);
  EXPECT_INPUT_ERROR(read_marker_file(".", p, d),
                     "markers: the file ends early: expected 6 values .* found 5 \\(missing from "
                     "individual 2, marker 1, second allele\\)");
  p = parameters_with("", "", 2, 2, 1);
  EXPECT_INPUT_ERROR(read_marker_file(".", p, d), "found 0");
}

}  // namespace
}  // namespace strataperm
