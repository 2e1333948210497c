// Text inputs stored gzip- or bgzip-compressed: the same study, its tables and
// lists given plain, gzip and bgzip, gives the same outputs byte for byte; a
// compressed file cut short or holding a mistake is refused with its name.
#include <gtest/gtest.h>

#include <htslib/bgzf.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e/genotype_files.hpp"
#include "numerics/random.hpp"
#include "support.hpp"

namespace strataperm {
namespace {

using namespace testing_support;

// How a text file is stored.
enum class Form { plain, gzip, bgzip };

const char* form_name(Form form) {
  return form == Form::plain ? "plain" : form == Form::gzip ? "gzip" : "bgzip";
}

// Stores `text` at `path` in `form`: through the gzip program (one member, no
// name or time stamp) or htslib's BGZF writer (with the end-of-file block).
void store(const std::string& path, const std::string& text, Form form) {
  if (form == Form::plain) {
    write_text(path, text);
  } else if (form == Form::gzip) {
    write_text(path + ".source", text);
    const std::string command = "gzip -n -c '" + path + ".source' > '" + path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    fs::remove(path + ".source");
  } else {
    BGZF* out = bgzf_open(path.c_str(), "w");
    ASSERT_NE(out, nullptr) << path;
    ASSERT_EQ(bgzf_write(out, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(bgzf_close(out), 0);
  }
}

// Rewrites the plain file at `path` in `form`.
void recompress(const std::string& path, Form form) {
  const std::string text = read_file(path);
  store(path, text, form);
}

std::string md5_of(const std::string& path) {
  const std::string out = path + ".md5";
  const std::string command = "md5sum '" + path + "' > '" + out + "'";
  if (std::system(command.c_str()) != 0) return "";
  return read_file(out).substr(0, 32);
}

// The log less its MD5 checksums (those of the files as stored), clock times
// and stage timings.
std::string without_checksums(const std::string& log) {
  const std::string stable = std::regex_replace(
      log, std::regex("(started|finished|seconds_[a-z]+)\t[^\n]*\n"), "");
  return std::regex_replace(stable, std::regex("md5 [0-9a-f]{32}"), "md5 *");
}

// Two populations on two chromosomes and a trait, with every table the
// choices read: phenotypes, covariates, clusters, a keep list and an extract
// list.
class CompressedInputs : public ::testing::Test {
 protected:
  void SetUp() override {
    RandomStream gen;
    seed_random_stream(gen);
    const int n = 40, m = 160;
    for (int k = 1; k <= n; ++k) individuals_.push_back({numbered("f", k), numbered("i", k), "-9"});
    for (int j = 0; j < m; ++j) {
      Snp snp{std::to_string(1 + j * 2 / m), numbered("rs", 1000 + j), 1000 + 3000LL * (j % (m / 2)), "A",
              j % 2 ? "G" : "T", {}};
      const double shift = 0.3 * (uniform_random(gen) - 0.5);
      const double base = 0.2 + 0.6 * uniform_random(gen);
      for (int k = 0; k < n; ++k) {
        const double p = base + (k < n / 2 ? shift : -shift);
        int call = (uniform_random(gen) < p) + (uniform_random(gen) < p);
        if (j % 9 == 0 && uniform_random(gen) < 0.05) call = -1;
        snp.calls.push_back(call);
      }
      snps_.push_back(snp);
    }
    for (int k = 0; k < n; ++k) {
      const auto& who = individuals_[static_cast<std::size_t>(k)];
      const int causal = snps_[100].calls[static_cast<std::size_t>(k)];
      const double trait = (k < n / 2 ? 0.0 : 1.0) + 0.7 * (causal < 0 ? 0 : causal) + uniform_random(gen) - 0.5;
      pheno_ += who.family_id + " " + who.individual_id + " " + (k == 5 ? std::string("NA") : std::to_string(trait)) + "\n";
      covar_ += who.family_id + "\t" + who.individual_id + "\t" + std::to_string(20 + (k * 37) % 41) + "\t" +
                std::to_string(k % 3) + "\n";
      clusters_ += who.family_id + " " + who.individual_id + " c" + std::to_string(k % 2) + "\n";
      if (k != 11) keep_ += who.family_id + " " + who.individual_id + "\n";
    }
    pheno_ = "FID IID height\n" + pheno_;
    covar_ = "#FID\tIID\tage\tbatch\n" + covar_;
    for (int j = 60; j < m; j += 3) extract_ += snps_[static_cast<std::size_t>(j)].id + "\n";
  }

  // A folder `name` holding the fileset and the tables, every text file in
  // `form` (the .bed is binary and stays as it is).
  std::string inputs(const std::string& name, Form form) {
    const std::string folder = dir_ / name;
    fs::create_directories(folder);
    write_plink(folder + "/data", individuals_, snps_);
    recompress(folder + "/data.bim", form);
    recompress(folder + "/data.fam", form);
    store(folder + "/pheno.txt", pheno_, form);
    store(folder + "/covar.txt", covar_, form);
    store(folder + "/clusters.txt", clusters_, form);
    store(folder + "/keep.txt", keep_, form);
    store(folder + "/extract.txt", extract_, form);
    return folder;
  }

  TemporaryFolder dir_;
  std::vector<Individual> individuals_;
  std::vector<Snp> snps_;
  std::string pheno_, covar_, clusters_, keep_, extract_;
};

const std::vector<std::string> kOutputs = {"results.txt", "results.tsv", "results.similarity.tsv"};

TEST_F(CompressedInputs, PlinkRunWithEveryTableGivesTheSameOutputsInEveryForm) {
  const std::string choices =
      "run --bfile data --pheno pheno.txt --covar covar.txt --within clusters.txt --keep keep.txt "
      "--extract extract.txt --background-count 50 --permutations 150 --out out";
  const std::string plain = inputs("plain", Form::plain);
  const ProgramOutcome expected = run_program(plain, choices);
  ASSERT_EQ(expected.status, 0) << expected.err;
  ASSERT_NE(expected.out.find("marker1 "), std::string::npos) << expected.out;
  const std::string expected_log = read_file(plain + "/out/results.log");
  ASSERT_NE(expected_log.find("covariates_from\tcovar.txt\n"), std::string::npos) << expected_log;
  for (Form form : {Form::gzip, Form::bgzip}) {
    SCOPED_TRACE(form_name(form));
    const std::string folder = inputs(form_name(form), form);
    const ProgramOutcome got = run_program(folder, choices);
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, expected.out);
    EXPECT_EQ(got.err, expected.err);
    for (const std::string& name : kOutputs) {
      EXPECT_EQ(read_file(folder + "/out/" + name), read_file(plain + "/out/" + name)) << name;
    }
    // The log is the same but for the checksums, which are those of the
    // compressed files as stored.
    const std::string log = read_file(folder + "/out/results.log");
    EXPECT_EQ(without_checksums(log), without_checksums(expected_log));
    for (const char* table : {"pheno.txt", "covar.txt", "clusters.txt"}) {
      const std::string line = std::string("input\t") + table + "\tmd5 " + md5_of(folder + "/" + table);
      EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
  }
}

TEST_F(CompressedInputs, StudyFolderFilesMayBeCompressed) {
  const std::string plain = inputs("plain", Form::plain);
  const ProgramOutcome imported = run_program(
      plain, "import --bfile data --pheno pheno.txt --keep keep.txt --background-count 50 "
             "--permutations 120 --out study");
  ASSERT_EQ(imported.status, 0) << imported.err;
  const std::string study = plain + "/study";
  // The two data files' names, from parameter.txt (the 2nd and 4th lines).
  std::vector<std::string> lines;
  {
    const std::string parameter = read_file(study + "/parameter.txt");
    for (std::size_t start = 0; start < parameter.size();) {
      const std::size_t end = parameter.find('\n', start);
      lines.push_back(parameter.substr(start, end - start));
      start = end == std::string::npos ? parameter.size() : end + 1;
    }
  }
  ASSERT_GE(lines.size(), 4u);
  const std::vector<std::string> texts = {"parameter.txt", lines[1], lines[3], "markers.tsv",
                                          "individuals.tsv"};
  for (const std::string& name : texts) ASSERT_TRUE(fs::exists(study + "/" + name)) << name;

  for (Form form : {Form::gzip, Form::bgzip}) {
    const std::string copy = dir_ / (std::string("study_") + form_name(form));
    fs::copy(study, copy);
    for (const std::string& name : texts) recompress(copy + "/" + name, form);
    ASSERT_NE(read_file(copy + "/" + lines[1]), read_file(study + "/" + lines[1]));
  }
  // A bare run in the folder, then `run` with clusters matched through its
  // individuals.tsv.
  const ProgramOutcome expected = run_program(study, "");
  ASSERT_EQ(expected.status, 0) << expected.err;
  const std::string expected_results = read_file(study + "/results.txt");
  store(dir_ / "clusters.txt", clusters_, Form::plain);
  const std::string within = "run --within '" + (dir_ / "clusters.txt") + "'";
  const ProgramOutcome expected_within = run_program(study, within);
  ASSERT_EQ(expected_within.status, 0) << expected_within.err;
  ASSERT_NE(expected_within.out, expected.out);
  for (Form form : {Form::gzip, Form::bgzip}) {
    SCOPED_TRACE(form_name(form));
    const std::string copy = dir_ / (std::string("study_") + form_name(form));
    const ProgramOutcome got = run_program(copy, "");
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, expected.out);
    EXPECT_EQ(read_file(copy + "/results.txt"), expected_results);
    store(dir_ / "clusters.txt", clusters_, form);
    const ProgramOutcome got_within = run_program(copy, within);
    ASSERT_EQ(got_within.status, 0) << got_within.err;
    EXPECT_EQ(got_within.out, expected_within.out);
    for (const std::string& name : kOutputs) {
      EXPECT_FALSE(read_file(study + "/" + name).empty()) << name;
      EXPECT_EQ(read_file(copy + "/" + name), read_file(study + "/" + name)) << name;
    }
  }
}

TEST_F(CompressedInputs, MistakesInACompressedFileAreReportedAsInThePlainOne) {
  // A bad covariate value on line 7, a phenotype table with no rows, and a
  // keep list naming someone twice: each message the same in every form.
  std::string bad_covar = covar_;
  bad_covar.replace(bad_covar.find("\t26\t"), 4, "\tsix\t");
  const struct {
    const char* file;
    std::string text;
    const char* message;
  } cases[] = {
      {"covar.txt", bad_covar, "covar.txt, line "},
      {"pheno.txt", "", "pheno.txt"},
      {"data.bim", "1\trs1\t0\t100\tA\n", "data.bim, line 1"},
  };
  const std::string choices =
      "run --bfile data --pheno pheno.txt --covar covar.txt --background-count 50 --permutations 20 --out out";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string expected_err;
    for (Form form : {Form::plain, Form::gzip, Form::bgzip}) {
      SCOPED_TRACE(form_name(form));
      const std::string folder = inputs(std::string(c.file) + "_" + form_name(form), form);
      store(folder + "/" + c.file, c.text, form);
      const ProgramOutcome got = run_program(folder, choices);
      EXPECT_EQ(got.status, 1) << got.err;
      EXPECT_NE(got.err.find(c.message), std::string::npos) << got.err;
      EXPECT_FALSE(fs::exists(folder + "/out/results.txt"));
      if (form == Form::plain) expected_err = got.err;
      EXPECT_EQ(got.err, expected_err);
    }
  }
}

TEST_F(CompressedInputs, ACompressedFileCutShortIsRefusedAndNothingIsWritten) {
  const std::string choices =
      "run --bfile data --pheno pheno.txt --within clusters.txt --background-count 50 --permutations 20 --out out";
  // gzip cut in the middle of its data, or missing its trailer; bgzip
  // without its end-of-file block.
  for (Form form : {Form::gzip, Form::bgzip}) {
    SCOPED_TRACE(form_name(form));
    const std::string folder = inputs(form_name(form), form);
    for (const char* file : {"pheno.txt", "clusters.txt", "data.fam"}) {
      SCOPED_TRACE(file);
      const std::string path = folder + "/" + file;
      const std::string whole = read_file(path);
      const std::size_t keep = form == Form::bgzip ? whole.size() - 28 : whole.size() - 6;
      write_text(path, whole.substr(0, keep));
      const ProgramOutcome got = run_program(folder, choices);
      EXPECT_EQ(got.status, 1);
      const std::string expected =
          form == Form::bgzip
              ? std::string("strataperm: ") + file + ": the file is truncated: it lacks the BGZF end-of-file block\n"
              : std::string("strataperm: ") + file + ": the compressed data is truncated or corrupt";
      EXPECT_EQ(got.err.rfind(expected, 0), 0u) << got.err;
      EXPECT_EQ(got.out, "");
      EXPECT_FALSE(fs::exists(folder + "/out/results.txt"));
      write_text(path, whole);
    }
  }
  // A study folder's genotype file cut short: named as the folder's files
  // are named in its messages.
  const std::string plain = inputs("for_study", Form::plain);
  ASSERT_EQ(run_program(plain, "import --bfile data --pheno pheno.txt --background-count 50 "
                               "--permutations 20 --out study").status, 0);
  const std::string parameter = read_file(plain + "/study/parameter.txt");
  const std::size_t second = parameter.find('\n') + 1;
  const std::string genotypes = parameter.substr(second, parameter.find('\n', second) - second);
  const std::string path = plain + "/study/" + genotypes;
  recompress(path, Form::gzip);
  const std::string whole = read_file(path);
  write_text(path, whole.substr(0, whole.size() / 2));
  const ProgramOutcome got = run_program(plain + "/study", "");
  EXPECT_EQ(got.status, 1);
  EXPECT_NE(got.err.find(genotypes + ": the compressed data is truncated or corrupt"), std::string::npos)
      << got.err;
  EXPECT_FALSE(fs::exists(plain + "/study/results.txt"));
}

}  // namespace
}  // namespace strataperm
