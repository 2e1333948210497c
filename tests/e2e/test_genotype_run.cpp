// `strataperm run --bfile/--vcf`: the study made by the choices, streamed from
// the genotype files, against `import` with the same choices followed by a
// bare run, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/genotype_files.hpp"
#include "io/record_reader.hpp"
#include "numerics/random.hpp"
#include "support.hpp"

namespace strataperm {
namespace {

using namespace testing_support;

using Outcome = ProgramOutcome;

// A fileset of two populations on three chromosomes, with some missing
// calls, monomorphic SNPs and a causal SNP; the trait in a phenotype table.
class GenotypeFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    RandomStream gen;
    seed_random_stream(gen);
    const int n = 48, m = 320;
    for (int k = 1; k <= n; ++k) individuals_.push_back({numbered("f", k), numbered("i", k), "-9"});
    for (int j = 0; j < m; ++j) {
      Snp snp;
      snp.chromosome = std::to_string(1 + j * 3 / m);
      snp.id = numbered("rs", 1000 + j);
      snp.position = 1000 + 5000 * (j % (m / 3 + 1)) + static_cast<long long>(uniform_random(gen) * 4000);
      snp.allele1 = "A";
      snp.allele2 = j % 2 ? "G" : "C";
      const double shift = 0.3 * (uniform_random(gen) - 0.5);
      const double base = 0.15 + 0.7 * uniform_random(gen);
      const double missing = j % 5 == 0 ? 0.04 : j % 17 == 0 ? 0.2 : 0.0;
      for (int k = 0; k < n; ++k) {
        const double p = j % 41 == 0 ? 0.0 : base + (k < n / 2 ? shift : -shift);
        int call = (uniform_random(gen) < p) + (uniform_random(gen) < p);
        if (uniform_random(gen) < missing) call = -1;
        snp.calls.push_back(call);
      }
      snps_.push_back(snp);
    }
    write_plink(dir_ / "data", individuals_, snps_);
    std::string pheno = "FID IID height\n";
    for (int k = 0; k < n; ++k) {
      const int causal = snps_[200].calls[static_cast<std::size_t>(k)];
      const double trait = (k < n / 2 ? 0.0 : 1.0) + 0.8 * (causal < 0 ? 0 : causal) +
                           uniform_random(gen) - 0.5;
      pheno += individuals_[static_cast<std::size_t>(k)].family_id + " " +
               individuals_[static_cast<std::size_t>(k)].individual_id + " " +
               (k == 7 ? std::string("NA") : std::to_string(trait)) + "\n";
    }
    write_text(dir_ / "pheno.txt", pheno);
  }

  // `import` with `choices` and a bare run of the study, against `run` with
  // the same choices: the same standard output, results file and table.
  void expect_same_as_import(const std::string& name, const std::string& choices) {
    SCOPED_TRACE(name + ": " + choices);
    const std::string input = "--bfile '" + (dir_ / "data") + "' --pheno '" + (dir_ / "pheno.txt") + "' ";
    const Outcome imported = run_program(dir_.path(), "import " + input + choices + " --out " + name + "-study");
    ASSERT_EQ(imported.status, 0) << imported.err;
    const std::string study = dir_ / (name + "-study");
    const Outcome bare = run_program(study, "");
    ASSERT_EQ(bare.status, 0) << bare.err;
    const Outcome named = run_program(dir_.path(), "run " + name + "-study");
    ASSERT_EQ(named.status, 0) << named.err;
    const Outcome streamed = run_program(dir_.path(), "run " + input + choices + " --out " + name + "-out");
    ASSERT_EQ(streamed.status, 0) << streamed.err;
    const std::string out = dir_ / (name + "-out");
    EXPECT_NE(bare.out.find("\nmarker1  "), std::string::npos) << bare.out;
    EXPECT_EQ(streamed.out, bare.out);
    EXPECT_EQ(read_file(out + "/results.txt"), read_file(study + "/results.txt"));
    EXPECT_FALSE(read_file(out + "/results.tsv").empty());
    EXPECT_EQ(read_file(out + "/results.tsv"), read_file(study + "/results.tsv"));
  }

  TemporaryFolder dir_;
  std::vector<Individual> individuals_;
  std::vector<Snp> snps_;
};

TEST_F(GenotypeFiles, RunFromPlinkFilesIsImportThenABareRun) {
  expect_same_as_import("count", "--background-count 60");
  expect_same_as_import("region", "--background-count 40 --region 2:1-200000 --geno 0.05");
  write_text(dir_ / "bg.txt", "rs1003\nrs1011\nrs1040\nrs1100\nrs1150\nrs1230\nrs1290\nrs1301\n");
  write_text(dir_ / "mk.txt", "rs1200\nrs1201\nrs1205\nrs1210\nrs1017\nrs1041\n");
  expect_same_as_import("lists", "--background-ids bg.txt --markers-ids mk.txt --geno 0.3");
  write_text(dir_ / "ex.txt", "rs1001\nrs1002\n");
  write_text(dir_ / "keep.txt", "# FID IID\n" + [] {
    std::string keep;
    for (int k = 1; k <= 40; ++k) keep += numbered("f", k) + " " + numbered("i", k) + "\n";
    return keep;
  }());
  expect_same_as_import("filters", "--background-count 50 --maf 0.1 --chr 1,3 --exclude ex.txt "
                                   "--keep keep.txt --permutations 300");
}

TEST_F(GenotypeFiles, VcfRouteChoosesTheSameStudyAsThePlinkRoute) {
  write_vcf(dir_ / "data.vcf", individuals_, snps_);
  std::string pheno = read_file(dir_ / "pheno.txt");
  const std::string choices = " --pheno pheno.txt --background-count 60 --out ";
  const Outcome plink = run_program(dir_.path(), "run --bfile data" + choices + "plink");
  ASSERT_EQ(plink.status, 0) << plink.err;
  const Outcome vcf = run_program(dir_.path(), "run --vcf data.vcf" + choices + "vcf");
  ASSERT_EQ(vcf.status, 0) << vcf.err;
  EXPECT_NE(plink.out.find("\nmarker1  "), std::string::npos) << plink.out;
  EXPECT_EQ(vcf.out, plink.out);
  EXPECT_EQ(read_file(dir_ / "vcf/results.txt"), read_file(dir_ / "plink/results.txt"));
  EXPECT_EQ(read_file(dir_ / "vcf/results.tsv"), read_file(dir_ / "plink/results.tsv"));
  EXPECT_EQ(read_file(dir_ / "vcf/background_ids.txt"), read_file(dir_ / "plink/background_ids.txt"));
  // Replicates in chunks: the markers are read again, from the start of the
  // file, for each chunk; nothing changes.
  for (const char* route : {"--vcf data.vcf", "--bfile data"}) {
    const Outcome chunked = run_program(
        dir_.path(), std::string("run ") + route + choices + "chunked --chunk-replicates 96 --threads 2");
    ASSERT_EQ(chunked.status, 0) << chunked.err;
    EXPECT_EQ(chunked.out, plink.out) << route;
    EXPECT_EQ(read_file(dir_ / "chunked/results.tsv"), read_file(dir_ / "plink/results.tsv")) << route;
  }
}

TEST_F(GenotypeFiles, TheLoggedBackgroundListRepeatsTheRun) {
  const Outcome first = run_program(dir_.path(), "run --bfile data --pheno pheno.txt --out first");
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string log = read_file(dir_ / "first/results.log");
  for (const char* field : {"command\tstrataperm run --bfile data --pheno pheno.txt --out first\n",
                            "seeds\t3,1,1\n", "input\tdata.bed\tmd5 ", "input\tpheno.txt\tmd5 ",
                            "study\tcandidate markers kept with missing calls (mean codes): ",
                            "background_ids\tfirst/background_ids.txt\n"}) {
    EXPECT_NE(log.find(field), std::string::npos) << field << "\n" << log;
  }
  const Outcome again = run_program(
      dir_.path(), "run --bfile data --pheno pheno.txt --background-ids first/background_ids.txt --out again");
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, first.out);
  EXPECT_EQ(read_file(dir_ / "again/results.tsv"), read_file(dir_ / "first/results.tsv"));
}

TEST_F(GenotypeFiles, SeedsChangeThePermutationsOnly) {
  const std::string base = "run --bfile data --pheno pheno.txt --permutations 200 ";
  const Outcome plain = run_program(dir_.path(), base + "--out plain");
  const Outcome method = run_program(dir_.path(), base + "--seed 3,1,1 --out method");
  const Outcome other = run_program(dir_.path(), base + "--seed 11,22,33 --out other");
  ASSERT_EQ(plain.status, 0) << plain.err;
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(method.out, plain.out);
  EXPECT_NE(other.out, plain.out);
  // The fit and the verdict block do not depend on the draws.
  EXPECT_EQ(other.out.substr(0, other.out.find("marker1 ")), plain.out.substr(0, plain.out.find("marker1 ")));
  for (const char* bad : {"0,1,1", "1,2", "30269,1,1", "a,b,c", "1,1,1,1"}) {
    EXPECT_EQ(run_program(dir_.path(), base + "--seed " + bad + " --out bad").status, 2) << bad;
  }
}

// A cluster file for the fileset's individuals: FID IID CLUSTER, three
// clusters by k mod 3, optionally without the FID.
std::string cluster_file(const std::vector<Individual>& individuals, bool with_family) {
  std::string text;
  for (std::size_t k = 0; k < individuals.size(); ++k)
    text += (with_family ? individuals[k].family_id + " " : std::string()) +
            individuals[k].individual_id + "\tc" + std::to_string(k % 3) + "\n";
  return text;
}

TEST_F(GenotypeFiles, WithinGroupsReplaceTheStructureTestsGroupsOnEveryRoute) {
  write_text(dir_ / "clusters.txt", cluster_file(individuals_, true));
  const std::string choices = " --pheno pheno.txt --background-count 60 --permutations 200 ";
  const Outcome plain = run_program(dir_.path(), "run --bfile data" + choices + "--out plain");
  ASSERT_EQ(plain.status, 0) << plain.err;
  const Outcome within =
      run_program(dir_.path(), "run --bfile data" + choices + "--within clusters.txt --out within");
  ASSERT_EQ(within.status, 0) << within.err;
  // The structure test still runs and reports; the test itself changes.
  const auto verdict = [](const std::string& out) { return out.substr(0, out.find("marker1 ")); };
  EXPECT_EQ(verdict(within.out), verdict(plain.out));
  EXPECT_NE(within.out, plain.out);
  // Individual f8 (no trait) is in the file but not in the study: passed over.
  const std::string log = read_file(dir_ / "within/results.log");
  for (const char* line : {"groups_from\tclusters.txt\n", "groups\t3 (sizes 16 15 16)\n",
                           "input\tclusters.txt\tmd5 ", "adjustment\tmeans "}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_NE(read_file(dir_ / "plain/results.log").find("groups_from\tthe structure test\n"),
            std::string::npos);

  // VCF samples are matched by IID alone; a study folder by its individuals.tsv.
  write_vcf(dir_ / "data.vcf", individuals_, snps_);
  write_text(dir_ / "iid_clusters.txt", cluster_file(individuals_, false));
  const Outcome vcf = run_program(
      dir_.path(), "run --vcf data.vcf" + choices + "--within iid_clusters.txt --out vcf");
  ASSERT_EQ(vcf.status, 0) << vcf.err;
  EXPECT_EQ(vcf.out, within.out);
  EXPECT_EQ(read_file(dir_ / "vcf/results.tsv"), read_file(dir_ / "within/results.tsv"));
  const Outcome imported =
      run_program(dir_.path(), "import --bfile data" + choices + "--out study");
  ASSERT_EQ(imported.status, 0) << imported.err;
  // The study folder does not know f8 i8 (left out by import for its missing
  // trait): its line is passed over with a warning.
  const Outcome folder = run_program(dir_.path(), "run --within clusters.txt study");
  ASSERT_EQ(folder.status, 0) << folder.err;
  EXPECT_NE(folder.err.find("clusters.txt: 1 line naming no individual of the study passed over, "
                            "the first on line 8 (individual f8 i8)"),
            std::string::npos)
      << folder.err;
  EXPECT_EQ(folder.out, within.out);
  EXPECT_EQ(read_file(dir_ / "study/results.tsv"), read_file(dir_ / "within/results.tsv"));

  // The sequential adjustment is one option away, and says so in the log.
  const Outcome sequential = run_program(
      dir_.path(), "run --bfile data" + choices + "--adjustment sequential --out sequential");
  ASSERT_EQ(sequential.status, 0) << sequential.err;
  EXPECT_NE(read_file(dir_ / "sequential/results.log").find("adjustment\tsequential "),
            std::string::npos);
  EXPECT_EQ(run_program(dir_.path(), "run --bfile data" + choices + "--adjustment rows --out x").status, 2);
}

TEST_F(GenotypeFiles, ClusterFileMistakesNameTheFileLineAndIndividual) {
  const std::string good = cluster_file(individuals_, true);
  const std::string rest = good.substr(good.find('\n') + 1);  // without f1 i1
  const struct {
    std::string text, message;
  } cases[] = {
      {"f1 i1 c0\nf9 i999 c1\n" + rest, "clusters.txt, line 2: individual f9 i999 is not in the genotype files"},
      {good + "f3 i3 c1\n", "clusters.txt, line 49: individual f3 i3 is named twice (first on line 3)"},
      {"f1 i1\n" + rest, "clusters.txt, line 1: holds 2 fields; expected FID IID CLUSTER"},
      {rest, "clusters.txt: no cluster for individual f1 i1"},
  };
  for (const auto& c : cases) {
    write_text(dir_ / "clusters.txt", c.text);
    const Outcome outcome = run_program(
        dir_.path(), "run --bfile data --pheno pheno.txt --within clusters.txt --out refused");
    EXPECT_EQ(outcome.status, 1) << c.message;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "refused/results.txt")) << c.message;
  }
}

// A covariate table: age follows the trait, pc1 the genotypes at rs1200;
// `missing` individuals (by index) have -9 or NA for age.
std::string covariate_table(const std::vector<Individual>& individuals, const std::vector<Snp>& snps,
                            bool with_family, const std::vector<std::size_t>& missing = {}) {
  std::string text = with_family ? "#FID\tIID\tage\tpc1\tbatch\n" : "#IID\tage\tpc1\tbatch\n";
  for (std::size_t k = 0; k < individuals.size(); ++k) {
    const int call = snps[200].calls[k];
    const bool lost = std::find(missing.begin(), missing.end(), k) != missing.end();
    text += (with_family ? individuals[k].family_id + "\t" : std::string()) + individuals[k].individual_id +
            "\t" + (lost ? (k % 2 ? "-9" : "NA") : std::to_string(20 + (k * 37) % 41)) + "\t" +
            std::to_string(0.5 * (call < 0 ? 1 : call) + 0.01 * static_cast<double>(k % 5)) + "\t" +
            std::to_string(k % 4) + "\n";
  }
  return text;
}

TEST_F(GenotypeFiles, CovariatesOnEveryRouteAndOnAnyNumberOfThreads) {
  write_text(dir_ / "covar.txt", covariate_table(individuals_, snps_, true, {3, 30}));
  const std::string choices = " --pheno pheno.txt --background-count 60 --permutations 200 ";
  const Outcome one = run_program(dir_.path(), "run --bfile data" + choices + "--covar covar.txt --threads 1 --out one");
  ASSERT_EQ(one.status, 0) << one.err;
  const Outcome three = run_program(dir_.path(), "run --bfile data" + choices + "--covar covar.txt --threads 3 --out three");
  ASSERT_EQ(three.status, 0) << three.err;
  EXPECT_EQ(three.out, one.out);
  for (const char* name : {"results.txt", "results.tsv"})
    EXPECT_EQ(read_file(dir_ / ("three/" + std::string(name))), read_file(dir_ / ("one/" + std::string(name)))) << name;
  const std::string log = read_file(dir_ / "one/results.log");
  for (const char* line : {"covariates_from\tcovar.txt\n", "covariates\tage pc1 batch\n", "model_rank\t",
                           "study\tindividuals dropped, no covariate row or a missing covariate: 2\n",
                           "individuals\t45\n", "input\tcovar.txt\tmd5 "})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  const Outcome plain = run_program(dir_.path(), "run --bfile data" + choices + "--out plain");
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(read_file(dir_ / "plain/results.tsv"), read_file(dir_ / "one/results.tsv"));
  EXPECT_EQ(read_file(dir_ / "plain/results.log").find("covariates"), std::string::npos);

  // --covar-name picks columns as a file of those columns alone would.
  std::string only_age;
  {
    const std::string full = read_file(dir_ / "covar.txt");
    for (std::size_t start = 0; start < full.size();) {
      const std::size_t end = full.find('\n', start);
      const std::vector<std::string> f = split_fields(full.substr(start, end - start));
      only_age += f[0] + " " + f[1] + " " + f[2] + " " + f[4] + "\n";
      start = end + 1;
    }
  }
  write_text(dir_ / "age_batch.txt", only_age);
  const Outcome named = run_program(dir_.path(), "run --bfile data" + choices + "--covar covar.txt --covar-name age,batch --out named");
  const Outcome numbered_ = run_program(dir_.path(), "run --bfile data" + choices + "--covar covar.txt --covar-name 1,3 --out numbered");
  const Outcome alone = run_program(dir_.path(), "run --bfile data" + choices + "--covar age_batch.txt --out alone");
  ASSERT_EQ(named.status, 0) << named.err;
  ASSERT_EQ(alone.status, 0) << alone.err;
  EXPECT_EQ(named.out, alone.out);
  EXPECT_EQ(numbered_.out, alone.out);
  EXPECT_EQ(read_file(dir_ / "named/results.tsv"), read_file(dir_ / "alone/results.tsv"));

  // VCF samples match by IID; a study folder by its individuals.tsv (with
  // everyone's covariates: its individuals cannot be left out).
  write_text(dir_ / "complete.txt", covariate_table(individuals_, snps_, true));
  write_text(dir_ / "iid_covar.txt", covariate_table(individuals_, snps_, false));
  const Outcome bed = run_program(dir_.path(), "run --bfile data" + choices + "--covar complete.txt --out bed");
  ASSERT_EQ(bed.status, 0) << bed.err;
  write_vcf(dir_ / "data.vcf", individuals_, snps_);
  const Outcome vcf = run_program(dir_.path(), "run --vcf data.vcf" + choices + "--covar iid_covar.txt --out vcf");
  ASSERT_EQ(vcf.status, 0) << vcf.err;
  EXPECT_EQ(vcf.out, bed.out);
  EXPECT_EQ(read_file(dir_ / "vcf/results.tsv"), read_file(dir_ / "bed/results.tsv"));
  ASSERT_EQ(run_program(dir_.path(), "import --bfile data" + choices + "--out study").status, 0);
  const Outcome folder = run_program(dir_.path(), "run --covar complete.txt study");
  ASSERT_EQ(folder.status, 0) << folder.err;
  EXPECT_EQ(folder.out, bed.out);
  EXPECT_EQ(read_file(dir_ / "study/results.tsv"), read_file(dir_ / "bed/results.tsv"));
  const Outcome gaps = run_program(dir_.path(), "run --covar covar.txt --out gaps study");
  EXPECT_EQ(gaps.status, 1);
  EXPECT_NE(gaps.err.find("covar.txt, line 5: individual f4 i4 has no value of covariate 'age'"),
            std::string::npos) << gaps.err;
}

TEST_F(GenotypeFiles, CovariateMistakesNameTheFileAndColumnAndWriteNothing) {
  write_text(dir_ / "clusters.txt", cluster_file(individuals_, true));
  std::string marks_a_group = "FID IID age c1\n";
  for (std::size_t k = 0; k < individuals_.size(); ++k)
    marks_a_group += individuals_[k].family_id + " " + individuals_[k].individual_id + " " +
                     std::to_string(30 + k) + (k % 3 == 1 ? " 2\n" : " 0\n");
  std::string constant = "FID IID age sex\n", word = constant;
  for (std::size_t k = 0; k < individuals_.size(); ++k) {
    const std::string ids = individuals_[k].family_id + " " + individuals_[k].individual_id;
    constant += ids + " " + std::to_string(30 + k) + " 1\n";
    word += ids + " " + (k == 5 ? std::string("forty") : std::to_string(30 + k)) + " 1\n";
  }
  const struct {
    std::string text, options, message;
    int status;
  } cases[] = {
      {word, "", "covar.txt, line 7: covariate 'age' holds 'forty', not a number", 1},
      {constant, "", "covar.txt: covariate 'sex' is constant over the individuals analysed", 1},
      {marks_a_group, "--within clusters.txt",
       "covar.txt: covariate 'c1' is a linear combination of the intercept, the group indicators", 1},
      {constant, "--covar-name weight", "covar.txt: --covar-name names 'weight', which is no covariate column", 1},
      {constant, "--adjustment sequential", "needs the 'means' adjustment", 2},
  };
  for (const auto& c : cases) {
    write_text(dir_ / "covar.txt", c.text);
    const Outcome outcome = run_program(
        dir_.path(), "run --bfile data --pheno pheno.txt --covar covar.txt " + c.options + " --out refused");
    EXPECT_EQ(outcome.status, c.status) << c.message;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "refused/results.txt")) << c.message;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "refused/results.tsv")) << c.message;
  }
  EXPECT_EQ(run_program(dir_.path(), "run --bfile data --pheno pheno.txt --covar-name age --out x").status, 2);
}

TEST_F(GenotypeFiles, CommandLineMistakesAreUsageErrors) {
  EXPECT_EQ(run_program(dir_.path(), "run --bfile data --pheno pheno.txt").status, 2);
  EXPECT_EQ(run_program(dir_.path(), "run --bfile data --out o somefolder").status, 2);
  const Outcome stray = run_program(dir_.path(), "run --background-count 5 .");
  EXPECT_EQ(stray.status, 2);
  EXPECT_NE(stray.err.find("--bfile or --vcf"), std::string::npos) << stray.err;
}

}  // namespace
}  // namespace strataperm
