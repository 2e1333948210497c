// `strataperm run ... --shard K/S` and `strataperm merge`: the merged shards
// give byte for byte what the whole run gives, for any number of shards, and
// shards that do not belong together are refused with nothing written.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/genotype_files.hpp"
#include "numerics/random.hpp"
#include "support.hpp"

namespace strataperm {
namespace {

using namespace testing_support;

using Outcome = ProgramOutcome;

const char* const kOutputs[] = {"results.txt", "results.tsv", "results.similarity.tsv",
                                "background_ids.txt"};

class Shards : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(fs::path(STRATAPERM_GOLDEN_DIR) / "many_markers" / "input", dir_ / "study",
             fs::copy_options::recursive);
    RandomStream gen;
    seed_random_stream(gen);
    for (int k = 1; k <= 40; ++k) individuals_.push_back({numbered("f", k), numbered("i", k), std::to_string(k % 7)});
    snps_ = random_snps(gen, 150, 40, 50, [](int j) { return 1000LL * (j + 1); });
    write_plink(dir_ / "data", individuals_, snps_);
  }

  // The whole run with `run_args` into `single`, and its S shards into
  // `sharded`, then the merge: the same standard output and files.
  void expect_merge_is_the_whole_run(const std::string& run_args, int shards) {
    SCOPED_TRACE(run_args + ", " + std::to_string(shards) + " shards");
    const std::string single = "single" + std::to_string(shards);
    const std::string sharded = "sharded" + std::to_string(shards);
    const Outcome whole = run_program(dir_.path(), "run " + run_args + " --out " + single);
    ASSERT_EQ(whole.status, 0) << whole.err;
    for (int k = 1; k <= shards; ++k) {
      const Outcome part = run_program(dir_.path(), "run " + run_args + " --out " + sharded + " --shard " +
                                                        std::to_string(k) + "/" + std::to_string(shards));
      ASSERT_EQ(part.status, 0) << part.err;
      EXPECT_EQ(part.out, "");
    }
    const Outcome merged = run_program(dir_.path(), "merge " + sharded);
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.out, whole.out);
    for (const char* name : kOutputs)
      EXPECT_EQ(read_file(dir_ / (sharded + "/" + name)), read_file(dir_ / (single + "/" + name))) << name;
  }

  TemporaryFolder dir_;
  std::vector<Individual> individuals_;
  std::vector<Snp> snps_;
};

TEST_F(Shards, MergedShardsOfAStudyFolderAreTheWholeRun) {
  for (int shards : {1, 2, 3, 7}) expect_merge_is_the_whole_run("study", shards);
}

TEST_F(Shards, MergedShardsKeepTheAdjustmentAndTheUserGivenGroups) {
  std::string clusters;
  for (int k = 1; k <= 40; ++k) clusters += numbered("f", k) + " " + numbered("i", k) + (k % 3 ? " a\n" : " b\n");
  write_text(dir_ / "clusters.txt", clusters);
  const std::string plink = "--bfile data --background-count 40 --permutations 300 ";
  expect_merge_is_the_whole_run(plink + "--within clusters.txt", 2);
  expect_merge_is_the_whole_run("study --adjustment sequential", 3);
  expect_merge_is_the_whole_run(plink + "--adjustment sequential --adaptive --max-permutations 400", 4);
  expect_merge_is_the_whole_run(plink + "--within clusters.txt --adaptive --max-permutations 400", 5);
  EXPECT_NE(read_file(dir_ / "sharded5/results.log").find("groups_from\tclusters.txt\n"),
            std::string::npos);
}

TEST_F(Shards, CovariatesKeepShardsAndAdaptiveRunsExact) {
  std::string covariates = "FID IID age dose\n";
  for (int k = 1; k <= 40; ++k)
    covariates += numbered("f", k) + " " + numbered("i", k) + " " + std::to_string(20 + (k * 13) % 29) +
                  " " + std::to_string(0.25 * (k % 7) + 0.5 * snps_[10].calls[static_cast<std::size_t>(k - 1)]) +
                  "\n";
  write_text(dir_ / "covar.txt", covariates);
  const std::string plink = "--bfile data --background-count 40 --covar covar.txt ";
  expect_merge_is_the_whole_run(plink + "--permutations 300", 3);
  expect_merge_is_the_whole_run(plink + "--adaptive --max-permutations 400", 2);
  EXPECT_NE(read_file(dir_ / "sharded2/results.log").find("covariates\tage dose\nmodel_rank\t"),
            std::string::npos);
  const Outcome one = run_program(dir_.path(), "run " + plink + "--adaptive --max-permutations 5000 --threads 1 --out a1");
  const Outcome two = run_program(dir_.path(), "run " + plink + "--adaptive --max-permutations 5000 --threads 2 --out a2");
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(two.out, one.out);
  EXPECT_EQ(read_file(dir_ / "a2/results.tsv"), read_file(dir_ / "a1/results.tsv"));
}

TEST_F(Shards, MergedShardsOfPlinkInputAreTheWholeRun) {
  for (int shards : {1, 2, 3, 7})
    expect_merge_is_the_whole_run("--bfile data --background-count 40 --permutations 300", shards);
}

TEST_F(Shards, AdaptiveShardsMergeToTheAdaptiveRun) {
  for (int shards : {2, 3})
    expect_merge_is_the_whole_run("--bfile data --background-count 40 --adaptive --max-permutations 20000",
                                  shards);
}

TEST_F(Shards, AnAdaptiveRunIsTheSameOnAnyNumberOfThreadsAndARuleThatNeverStopsIsTheFixedRun) {
  const std::string base = "run --bfile data --background-count 40 ";
  const Outcome one = run_program(dir_.path(), base + "--adaptive --max-permutations 20000 --threads 1 --out t1");
  const Outcome two = run_program(dir_.path(), base + "--adaptive --max-permutations 20000 --threads 2 --out t2");
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_EQ(one.out, two.out);
  EXPECT_EQ(read_file(dir_ / "t1/results.txt"), read_file(dir_ / "t2/results.txt"));
  EXPECT_EQ(read_file(dir_ / "t1/results.tsv"), read_file(dir_ / "t2/results.tsv"));
  const std::string table = read_file(dir_ / "t1/results.tsv");
  EXPECT_EQ(table.substr(0, table.find('\n')).substr(table.find("EMP1")), "EMP1\tEMP2\tNP");
  EXPECT_NE(read_file(dir_ / "t1/results.log").find("study\treplicates per marker (NP): min "),
            std::string::npos);

  // The first check after the last replicate: every marker takes all 500,
  // and the run is the fixed run with R = 500.
  const Outcome never = run_program(dir_.path(), base + "--adaptive --max-permutations 500 "
                                                        "--adaptive-rule 500 0 1e-4 1 0.001 --out never");
  const Outcome fixed = run_program(dir_.path(), base + "--permutations 500 --out fixed");
  ASSERT_EQ(never.status, 0) << never.err;
  EXPECT_EQ(never.out, fixed.out);
  EXPECT_EQ(read_file(dir_ / "never/results.txt"), read_file(dir_ / "fixed/results.txt"));
  // Bad rules are usage errors.
  for (const char* bad : {"--adaptive-rule 0,0,1e-4,1,0.001", "--adaptive-rule 6,0,2,1,0.001",
                          "--max-permutations 0", "--adaptive-rule 6,0,1e-4"}) {
    EXPECT_EQ(run_program(dir_.path(), base + "--adaptive " + bad + " --out bad").status, 2) << bad;
  }
  EXPECT_EQ(run_program(dir_.path(), base + "--max-permutations 10 --out bad").status, 2);
}

TEST_F(Shards, ShardsThatDoNotBelongTogetherAreRefusedAndNothingIsWritten) {
  const std::string base = "run --bfile data --background-count 40 --permutations 100 --out ";
  for (int k = 1; k <= 3; ++k)
    ASSERT_EQ(run_program(dir_.path(), base + "a --shard " + std::to_string(k) + "/3").status, 0);
  const auto expect_refused = [&](const std::string& folder, const std::string& message) {
    const Outcome outcome = run_program(dir_.path(), "merge " + folder);
    EXPECT_EQ(outcome.status, 1) << outcome.err;
    EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out, "");
    for (const char* name : kOutputs) EXPECT_FALSE(fs::exists(dir_ / (folder + "/" + name))) << name;
  };

  // A missing shard.
  fs::rename(dir_ / "a/shards/2-of-3", dir_ / "parked");
  expect_refused("a", "a/shards/2-of-3 is missing: run the same command with --shard 2/3");
  fs::rename(dir_ / "parked", dir_ / "a/shards/2-of-3");

  // A shard of a run with other seeds, or of other choices.
  ASSERT_EQ(run_program(dir_.path(), base + "b --seed 5,6,7 --shard 2/3").status, 0);
  fs::rename(dir_ / "a/shards/2-of-3", dir_ / "parked");
  fs::rename(dir_ / "b/shards/2-of-3", dir_ / "a/shards/2-of-3");
  expect_refused("a", "a/shards/2-of-3: belongs to another run than");
  fs::remove_all(dir_ / "a/shards/2-of-3");
  ASSERT_EQ(run_program(dir_.path(), base + "a --shard 2/3 --geno 0.5").status, 0);
  expect_refused("a", "belongs to another run than");
  fs::remove_all(dir_ / "a/shards/2-of-3");
  fs::rename(dir_ / "parked", dir_ / "a/shards/2-of-3");

  // Shards of two splittings, and an unfinished shard.
  ASSERT_EQ(run_program(dir_.path(), base + "a --shard 1/2").status, 0);
  expect_refused("a", "holds shards of runs split 2, 3 ways");
  fs::remove_all(dir_ / "a/shards/1-of-2");
  fs::remove(dir_ / "a/shards/3-of-3/manifest.txt");
  expect_refused("a", "a/shards/3-of-3 is unfinished");

  // Nothing to merge.
  fs::create_directories(dir_ / "empty");
  expect_refused("empty", "empty/shards: no such folder");
}

}  // namespace
}  // namespace strataperm
