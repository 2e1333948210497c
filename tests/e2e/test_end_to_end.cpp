// End-to-end runs of the built program on the studies under tests/golden/.
//
// Each case folder holds `input/` (the files the program finds in its working
// folder) and the expected `stdout`, `status`, optionally `stderr`, and
// `results` (the expected results file "results.txt"; when absent, a results
// file must not exist after the run, unless the input already held one, which
// must then be left untouched). A case may also hold `stdout.sequential` and
// `results.sequential`: what `strataperm run --adjustment sequential` gives
// there (the adjustment as first defined, kept digit for digit).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support.hpp"
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using strataperm::testing_support::read_file;

std::vector<std::string> case_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(STRATAPERM_GOLDEN_DIR))
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The cases that also hold the sequential adjustment's expectations.
std::vector<std::string> sequential_case_names() {
  std::vector<std::string> names;
  for (const std::string& name : case_names())
    if (fs::exists(fs::path(STRATAPERM_GOLDEN_DIR) / name / "stdout.sequential")) names.push_back(name);
  return names;
}

class GoldenRun : public ::testing::TestWithParam<std::string> {};
class GoldenSequentialRun : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenRun, MatchesExpectedOutputByteForByte) {
  const fs::path source = fs::path(STRATAPERM_GOLDEN_DIR) / GetParam();
  const fs::path work =
      fs::temp_directory_path() / ("strataperm_golden_" + std::to_string(::getpid()) + "_" + GetParam());
  fs::remove_all(work);
  fs::create_directories(work);
  if (fs::exists(source / "input")) fs::copy(source / "input", work, fs::copy_options::recursive);
  const bool had_results = fs::exists(work / "results.txt");
  const std::string previous_results = had_results ? read_file(work / "results.txt") : "";

  const std::string command = "cd '" + work.string() + "' && '" STRATAPERM_BINARY
                              "' > run.stdout 2> run.stderr";
  const int raw = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  const int status = WEXITSTATUS(raw);

  EXPECT_EQ(status, std::stoi(read_file(source / "status")));
  EXPECT_EQ(read_file(work / "run.stdout"), read_file(source / "stdout"));
  if (fs::exists(source / "stderr")) {
    EXPECT_EQ(read_file(work / "run.stderr"), read_file(source / "stderr"));
  }
  if (fs::exists(source / "results")) {
    EXPECT_EQ(read_file(work / "results.txt"), read_file(source / "results"));
  } else if (had_results) {
    EXPECT_EQ(read_file(work / "results.txt"), previous_results) << "an earlier results file was changed";
  } else {
    EXPECT_FALSE(fs::exists(work / "results.txt")) << "a failed run left a results file";
  }
  for (const auto& entry : fs::directory_iterator(work)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos)
        << "temporary file left behind: " << entry.path();
    EXPECT_EQ(entry.path().filename().string().find(".strataperm-"), std::string::npos)
        << "temporary file left behind: " << entry.path();
  }
  fs::remove_all(work);
}

TEST_P(GoldenSequentialRun, MatchesItsOwnExpectedOutputByteForByte) {
  const fs::path source = fs::path(STRATAPERM_GOLDEN_DIR) / GetParam();
  const fs::path work = fs::temp_directory_path() /
                        ("strataperm_golden_seq_" + std::to_string(::getpid()) + "_" + GetParam());
  fs::remove_all(work);
  fs::create_directories(work);
  fs::copy(source / "input", work, fs::copy_options::recursive);
  const std::string command = "cd '" + work.string() + "' && '" STRATAPERM_BINARY
                              "' run --adjustment sequential . > ../" + work.filename().string() +
                              ".out 2> /dev/null";
  const int raw = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), std::stoi(read_file(source / "status")));
  const fs::path out = work.parent_path() / (work.filename().string() + ".out");
  EXPECT_EQ(read_file(out), read_file(source / "stdout.sequential"));
  EXPECT_EQ(read_file(work / "results.txt"), read_file(source / "results.sequential"));
  fs::remove(out);
  fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenRun, ::testing::ValuesIn(case_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });
INSTANTIATE_TEST_SUITE_P(Cases, GoldenSequentialRun, ::testing::ValuesIn(sequential_case_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(EndToEnd, RunningTwiceGivesIdenticalOutput) {
  const fs::path source = fs::path(STRATAPERM_GOLDEN_DIR) / "two_groups" / "input";
  const fs::path work = fs::temp_directory_path() / ("strataperm_repeat_" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  fs::copy(source, work, fs::copy_options::recursive);
  const std::string command = "cd '" + work.string() + "' && '" STRATAPERM_BINARY "' > ";
  ASSERT_EQ(std::system((command + "first.out").c_str()), 0);
  const std::string first_results = read_file(work / "results.txt");
  ASSERT_EQ(std::system((command + "second.out").c_str()), 0);
  EXPECT_EQ(read_file(work / "first.out"), read_file(work / "second.out"));
  EXPECT_EQ(read_file(work / "results.txt"), first_results);
  fs::remove_all(work);
}

}  // namespace

namespace {

// A study folder written by the test itself, for broken and degenerate inputs.
class BrokenStudy : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("strataperm_broken_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(folder_);
  }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(folder_ / name, std::ios::binary) << text;
  }
  void write_parameters(const std::string& genotypes, const std::string& traits,
                        const std::string& results, const std::string& r, const std::string& l,
                        const std::string& m, const std::string& n) {
    write("parameter.txt", "genotype file\n" + genotypes + "\ntraits\n" + traits + "\nresults\n" +
                               results + "\nR\n" + r + "\nL\n" + l + "\nM\n" + m + "\nN\n" + n +
                               "\n");
  }
  // A valid study of 4 individuals, 3 loci, 2 markers.
  void write_small_study(const std::string& trait_of_last = "0.4") {
    write_parameters("g.txt", "t.txt", "results.txt", "20", "3", "2", "4");
    write("g.txt", "header\n0 0 1 1 0 1\n0 0 1 1 0 0\n1 1 0 0 1 1\n1 1 0 1 1 1\n");
    write("t.txt", "header\n1.5 0 1 1 1\n-0.5 0 0 0 1\n2.25 1 1 0 0\n" + trait_of_last +
                       " 1 1 1 1\n");
  }
  struct Outcome {
    int status;
    std::string out, err;
  };
  Outcome run() {
    const std::string command = "cd '" + folder_.string() + "' && '" STRATAPERM_BINARY
                                "' > ../" + folder_.filename().string() + ".out 2> ../" +
                                folder_.filename().string() + ".err";
    const int raw = std::system(command.c_str());
    const fs::path out = folder_.parent_path() / (folder_.filename().string() + ".out");
    const fs::path err = folder_.parent_path() / (folder_.filename().string() + ".err");
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out), read_file(err)};
    fs::remove(out);
    fs::remove(err);
    return outcome;
  }
  bool has_file(const std::string& name) const { return fs::exists(folder_ / name); }
  std::string contents(const std::string& name) const { return read_file(folder_ / name); }
  std::vector<std::string> leftover_temporaries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_))
      if ((entry.path().filename().string().find(".tmp.") != std::string::npos ||
           entry.path().filename().string().find(".strataperm-") != std::string::npos))
        names.push_back(entry.path().filename().string());
    return names;
  }
  fs::path folder_;
};

TEST_F(BrokenStudy, TenThousandCharacterNamesAreReportedNotOverrun) {
  const std::string long_name(10000, 'g');
  write_parameters(long_name, "t.txt", "results.txt", "20", "3", "2", "4");
  Outcome outcome = run();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "can't open file " + long_name + " in current directory\n");

  write_small_study();
  const std::string long_results(10000, 'r');
  write_parameters("g.txt", "t.txt", long_results, "20", "3", "2", "4");
  outcome = run();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "can't open file " + long_results + "\n");
  EXPECT_TRUE(leftover_temporaries().empty());
}

TEST_F(BrokenStudy, HugeCountsEndThroughTheAllocationFailureReport) {
  write_small_study();
  write_parameters("g.txt", "t.txt", "results.txt", "20", "2000000000", "2", "2000000000");
  const Outcome outcome = run();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err,
            "Numerical Recipes run-time error...\nallocation failure: not enough memory for a "
            "study of this size\n...now exiting to system...\n");
  EXPECT_FALSE(has_file("results.txt"));
}

TEST_F(BrokenStudy, AnEarlierResultsFileSurvivesAnyInputFailure) {
  for (const std::string bad_trait : {"nan", "inf", "1.5.2", "-"}) {
    write_small_study(bad_trait);
    write("results.txt", "earlier results\n");
    const Outcome outcome = run();
    EXPECT_EQ(outcome.status, 1) << bad_trait;
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "strataperm: t.txt, line 5: individual 4: trait value '" + bad_trait +
                               "' is not a finite real number\n");
    EXPECT_EQ(contents("results.txt"), "earlier results\n");
  }
}

TEST_F(BrokenStudy, AReadOnlyFolderCannotTakeTheResults) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  write_small_study();
  fs::permissions(folder_, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const Outcome outcome = run();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.out.find("can't open file results.txt\n"), std::string::npos);
}

TEST_F(BrokenStudy, ExtraValuesWarnButLeaveTheResultsUnchanged) {
  write_small_study();
  const Outcome clean = run();
  ASSERT_EQ(clean.status, 0);
  const std::string clean_results = contents("results.txt");
  write("g.txt", contents("g.txt") + "7 7 7\n");
  const Outcome padded = run();
  EXPECT_EQ(padded.status, 0);
  EXPECT_EQ(padded.out, clean.out);
  EXPECT_EQ(contents("results.txt"), clean_results);
  EXPECT_NE(padded.err.find("g.txt holds 3 more values after the last expected one"),
            std::string::npos)
      << padded.err;
}

// A study folder without individuals.tsv takes one cluster label a line, in
// the individuals' order.
TEST_F(BrokenStudy, WithinGroupsOfAStudyFolderGoInTheIndividualsOrder) {
  write_small_study();
  const auto run_within = [this](const std::string& labels) {
    write("clusters.txt", labels);
    const std::string command = "cd '" + folder_.string() + "' && '" STRATAPERM_BINARY
                                "' run --within clusters.txt . > out.txt 2> err.txt";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  ASSERT_EQ(run_within("b\na\n\nb\na\n"), 0) << contents("err.txt");
  EXPECT_NE(contents("results.log").find("groups\t2 (sizes 2 2)\n"), std::string::npos)
      << contents("results.log");
  EXPECT_NE(contents("results.log").find("groups_from\tclusters.txt\n"), std::string::npos);
  // Each individual in a group of its own: every replicate keeps the trait
  // where it is, so every marker ties R times.
  ASSERT_EQ(run_within("1\n2\n3\n4\n"), 0) << contents("err.txt");
  EXPECT_NE(contents("out.txt").find("marker1    P-value=0.500000\nmarker2    P-value=0.500000\n"),
            std::string::npos)
      << contents("out.txt");
  EXPECT_EQ(run_within("a\nb\na\n"), 1);
  EXPECT_EQ(contents("err.txt"),
            "strataperm: clusters.txt: holds 3 cluster labels for the study's 4 individuals (one a "
            "line, in their order)\n");
  EXPECT_EQ(run_within("a\nb a\na\nb\n"), 1);
  EXPECT_NE(contents("err.txt").find("clusters.txt, line 2: holds 2 fields; one cluster label a line"),
            std::string::npos)
      << contents("err.txt");
  EXPECT_EQ(run_within("a\nb\na\nb\nc\n"), 1);
  EXPECT_NE(contents("err.txt").find("clusters.txt, line 5: is one line too many"), std::string::npos)
      << contents("err.txt");
}

TEST_F(BrokenStudy, IdenticalBackgroundGenotypesRunAsOneGroupWithAWarning) {
  write_small_study();
  write("g.txt", "header\n0 1 1 1 0 1\n1 0 1 1 1 0\n0 1 1 1 1 0\n1 0 1 1 0 1\n");
  const Outcome outcome = run();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err,
            "strataperm: warning: the background loci separate no two individuals (every pairwise "
            "distance is 0); the sample is treated as one group\n");
  EXPECT_EQ(outcome.out.rfind("There does not exist population structure\n", 0), 0u);
  EXPECT_TRUE(std::regex_search(outcome.out, std::regex("BIC\\(1\\)=-?nan  BIC\\(2\\)=-?nan\n")))
      << outcome.out;
  // One group: the P-values are finite multiples of 1/40.
  EXPECT_EQ(outcome.out.find("P-value=nan"), std::string::npos);
  EXPECT_EQ(outcome.out.find("P-value=-nan"), std::string::npos);
}

}  // namespace
