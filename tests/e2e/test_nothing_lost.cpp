// Nothing is lost whatever the program is pointed at: outputs never replace
// or write through to an input, a closed standard output cuts only the
// console report, and a killed run leaves nothing that looks like results.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "e2e/genotype_files.hpp"
#include "support.hpp"

namespace strataperm {
namespace {

using namespace testing_support;

struct Outcome {
  int status;
  std::string out, err;
};

// Runs `command_line` in `folder`, its output captured beside the folder in
// files of this process alone (the parent may be the shared temporary
// folder, where tests running side by side would otherwise mix their
// output), removed afterwards.
Outcome run_shell(const std::string& folder, const std::string& command_line) {
  static int calls = 0;
  const fs::path parent = fs::path(folder).parent_path();
  const std::string stem = ".strataperm-capture-" + std::to_string(::getpid()) + "-" + std::to_string(++calls);
  const fs::path out = parent / (stem + ".out"), err = parent / (stem + ".err");
  const std::string command =
      "cd '" + folder + "' && " + command_line + " > '" + out.string() + "' 2> '" + err.string() + "'";
  const int raw = std::system(command.c_str());
  Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out), read_file(err)};
  std::error_code ignored;
  fs::remove(out, ignored);
  fs::remove(err, ignored);
  return outcome;
}

const std::string kProgram = "'" STRATAPERM_BINARY "'";

// A small study folder; `markers` markers (each line of the console report is
// about 22 bytes, so 5000 markers overflow a pipe's buffer).
class StudyFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    study_ = dir_ / "study";
    fs::create_directories(study_);
  }
  void write_study(int markers, int permutations = 20, const std::string& results = "results.txt") {
    write_text(study_ + "/parameter.txt", "g\ngenotypes.txt\nt\ntraits.txt\nr\n" + results + "\nR\n" +
                                             std::to_string(permutations) + "\nL\n4\nM\n" +
                                             std::to_string(markers) + "\nN\n6\n");
    write_text(study_ + "/genotypes.txt",
               "h\n0 0 0 1 1 1 0 0\n0 1 0 0 1 1 0 0\n1 1 1 1 0 0 1 1\n1 1 1 0 0 0 1 1\n"
               "0 0 1 1 1 1 0 1\n1 0 1 1 0 0 1 1\n");
    std::string traits = "h\n";
    for (int i = 0; i < 6; ++i) {
      traits += std::to_string(0.5 * i - (i % 2));
      for (int j = 0; j < markers; ++j) traits += (i + j) % 3 == 0 ? " 1 1" : (i * j) % 2 ? " 0 1" : " 0 0";
      traits += "\n";
    }
    write_text(study_ + "/traits.txt", traits);
  }
  // Every name in the study folder that does not start with one of `known`.
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto& entry : fs::directory_iterator(study_)) all.push_back(entry.path().filename());
    std::sort(all.begin(), all.end());
    return all;
  }
  TemporaryFolder dir_;
  std::string study_;
};

// ------------------------------------------------- outputs onto inputs

TEST_F(StudyFolder, AnOutputNameThatLeadsToAnInputIsRefusedAndTheInputKept) {
  write_study(3);
  const std::string traits = read_file(study_ + "/traits.txt");
  const std::string genotypes = read_file(study_ + "/genotypes.txt");
  struct Case {
    std::string what;
    std::function<void()> make;
    std::string command;
  };
  const std::vector<Case> cases = {
      {"a log that is a symbolic link to the trait file",
       [&] { fs::create_symlink("traits.txt", study_ + "/results.log"); }, kProgram + " run ."},
      {"a results file hard-linked to the genotype file",
       [&] { fs::create_hard_link(study_ + "/genotypes.txt", study_ + "/results.txt"); },
       kProgram + " run ."},
      {"a table reached by another spelling of the trait file",
       [&] { fs::create_symlink("./././traits.txt", study_ + "/results.tsv"); },
       kProgram + " run ."},
      {"a report that is a link to the genotype file",
       [&] {
         fs::create_symlink("genotypes.txt", study_ + "/results.report.svg");
         ASSERT_EQ(std::system(("cd '" + study_ + "' && " + kProgram + " > /dev/null").c_str()), 0);
       },
       kProgram + " plot ."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* name : {"results.txt", "results.log", "results.tsv", "results.report.svg"})
      fs::remove(study_ + "/" + name);
    c.make();
    const Outcome outcome = run_shell(study_, c.command);
    EXPECT_EQ(outcome.status, 1) << outcome.err;
    EXPECT_NE(outcome.err.find("refusing to write there: it is the input file"), std::string::npos)
        << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_EQ(read_file(study_ + "/traits.txt"), traits);
    EXPECT_EQ(read_file(study_ + "/genotypes.txt"), genotypes);
  }
}

TEST_F(StudyFolder, AResultsFileNamedLikeAnInputIsRefusedEvenByThePlainRun) {
  write_study(3, 20, "traits.txt");
  const std::string traits = read_file(study_ + "/traits.txt");
  for (const std::string& command : {kProgram, kProgram + " run ."}) {
    const Outcome outcome = run_shell(study_, command);
    EXPECT_EQ(outcome.status, 1) << command;
    EXPECT_NE(outcome.err.find("traits.txt: refusing to write there"), std::string::npos) << outcome.err;
    EXPECT_EQ(read_file(study_ + "/traits.txt"), traits) << command;
  }
}

TEST_F(StudyFolder, ALinkAtAnOutputNameIsReplacedNotWrittenThrough) {
  write_study(3);
  write_text(dir_ / "elsewhere.txt", "keep me\n");
  fs::create_symlink(dir_ / "elsewhere.txt", study_ + "/results.txt");
  const Outcome outcome = run_shell(study_, kProgram + " run .");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_FALSE(fs::is_symlink(study_ + "/results.txt"));
  EXPECT_EQ(read_file(dir_ / "elsewhere.txt"), "keep me\n");
  EXPECT_NE(read_file(study_ + "/results.txt").find("marker#"), std::string::npos);
}

TEST(ImportOutputs, AStudyFileThatIsASourceIsRefused) {
  TemporaryFolder dir;
  std::vector<Individual> individuals;
  for (int k = 1; k <= 6; ++k) individuals.push_back({numbered("f", k), numbered("i", k), std::to_string(k)});
  std::vector<Snp> snps;
  for (int j = 0; j < 12; ++j) {
    Snp snp{"1", numbered("s", j), 100L * (j + 1), "A", "G", {}};
    for (int k = 0; k < 6; ++k) snp.calls.push_back((j + k) % 3);
    snps.push_back(snp);
  }
  write_plink(dir / "data", individuals, snps);
  fs::create_directories(dir / "study");
  fs::create_symlink(dir / "data.fam", dir / "study/individuals.tsv");
  const std::string fam = read_file(dir / "data.fam");
  const Outcome outcome = run_shell(dir.path(), kProgram + " import --bfile data --background-count 4 --out study --force");
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_NE(outcome.err.find("refusing to write there: it is the input file"), std::string::npos) << outcome.err;
  EXPECT_EQ(read_file(dir / "data.fam"), fam);
  EXPECT_FALSE(fs::exists(dir / "study/parameter.txt"));
}

// ------------------------------------------------- standard output closed

TEST_F(StudyFolder, AClosedStandardOutputCutsTheReportButNotTheFiles) {
  write_study(5000, 4);
  const Outcome whole = run_shell(study_, kProgram + " run .");
  ASSERT_EQ(whole.status, 0) << whole.err;
  const std::string results = read_file(study_ + "/results.txt");
  const std::string table = read_file(study_ + "/results.tsv");
  for (const char* name : {"results.txt", "results.tsv", "results.log", "results.similarity.tsv"})
    fs::remove(study_ + "/" + name);

  for (const std::string& command : {kProgram, kProgram + " run ."}) {
    SCOPED_TRACE(command);
    const std::string line = "cd '" + study_ + "' && (" + command +
                             " 2> ../err.txt; echo $? > ../status.txt) | head -n 1 > ../head.txt";
    ASSERT_EQ(std::system(line.c_str()), 0);
    EXPECT_EQ(read_file(dir_ / "status.txt"), "3\n");
    const std::string err = read_file(dir_ / "err.txt");
    EXPECT_NE(err.find("the console report was cut short"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(read_file(dir_ / "head.txt"), "There exists population structure.\n");
    EXPECT_EQ(read_file(study_ + "/results.txt"), results);
    for (const std::string& name : names())
      EXPECT_EQ(name.find("strataperm-"), std::string::npos) << "left behind: " << name;
  }
  EXPECT_EQ(read_file(study_ + "/results.tsv"), table);
}

// ------------------------------------------------- killed runs

TEST_F(StudyFolder, AKilledRunLeavesNothingThatLooksLikeResultsAndStaleTemporariesGo) {
  write_study(100000, 40000);  // runs for seconds
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::chdir(study_.c_str()) != 0) ::_exit(127);
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execl(STRATAPERM_BINARY, STRATAPERM_BINARY, "run", ".", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before it was killed";
  for (const std::string& name : names()) {
    EXPECT_TRUE(name == "parameter.txt" || name == "genotypes.txt" || name == "traits.txt" ||
                name[0] == '.')
        << "left behind: " << name;
  }

  // A temporary of a process that is gone is removed by the next run; one of
  // a process that still runs (here the test's own) is left alone.
  write_study(3);
  const std::string stale = study_ + "/.results.txt.strataperm-" + std::to_string(2147480000) + "-a1b2c3";
  const std::string live = study_ + "/.results.txt.strataperm-" + std::to_string(::getpid()) + "-d4e5f6";
  write_text(stale, "old");
  write_text(live, "busy");
  ASSERT_EQ(run_shell(study_, kProgram + " run .").status, 0);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live));
}

// ------------------------------------------------- import hints

TEST(ImportHints, NoCandidateLeftBecauseAllSnpsBecameBackgroundNamesTheOptions) {
  TemporaryFolder dir;
  std::vector<Individual> individuals;
  for (int k = 1; k <= 6; ++k) individuals.push_back({numbered("f", k), numbered("i", k), std::to_string(k)});
  std::vector<Snp> snps;
  for (int j = 0; j < 30; ++j) {
    Snp snp{"1", numbered("s", j), 100L * (j + 1), "A", "G", {}};
    for (int k = 0; k < 6; ++k) snp.calls.push_back((j + 2 * k) % 3);
    snps.push_back(snp);
  }
  write_plink(dir / "data", individuals, snps);
  for (const char* command : {" import --bfile data --out study", " run --bfile data --out out"}) {
    const Outcome outcome = run_shell(dir.path(), kProgram + command);
    EXPECT_EQ(outcome.status, 1) << command;
    EXPECT_NE(outcome.err.find("no candidate marker left: all 30 usable SNPs became background loci"),
              std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("--background-count"), std::string::npos);
    EXPECT_NE(outcome.err.find("--region"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "study/parameter.txt"));
  }
}

}  // namespace
}  // namespace strataperm
