// The command line around the unchanged batch run: `run DIR`, threads,
// options, and the extras written beside the results.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support.hpp"
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using strataperm::testing_support::read_file;

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("strataperm_cli_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // A copy of a golden study's input folder under the test's root.
  fs::path study(const std::string& name, const std::string& golden_case = "two_groups") {
    const fs::path folder = root_ / name;
    fs::copy(fs::path(STRATAPERM_GOLDEN_DIR) / golden_case / "input", folder,
             fs::copy_options::recursive);
    return folder;
  }

  struct Outcome {
    int status;
    std::string out, err;
  };
  // Runs the program with `arguments` from `folder`.
  Outcome run(const fs::path& folder, const std::string& arguments) {
    const fs::path out = root_ / "stdout", err = root_ / "stderr";
    const std::string command = "cd '" + folder.string() + "' && '" STRATAPERM_BINARY "' " +
                                arguments + " > '" + out.string() + "' 2> '" + err.string() + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out), read_file(err)};
  }
  fs::path root_;
};

TEST_F(CommandLine, RunInAFolderGivesTheBareRunsBytes) {
  const fs::path bare = study("bare"), other = study("other");
  const Outcome plain = run(bare, "");
  ASSERT_EQ(plain.status, 0);
  const Outcome with_dir = run(root_, "run other");
  ASSERT_EQ(with_dir.status, 0);
  EXPECT_EQ(with_dir.out, plain.out);
  EXPECT_EQ(read_file(other / "results.txt"), read_file(bare / "results.txt"));
  EXPECT_EQ(read_file(bare / "results.txt"),
            read_file(fs::path(STRATAPERM_GOLDEN_DIR) / "two_groups" / "results"));
  // The bare run writes nothing beyond its results file.
  EXPECT_FALSE(fs::exists(bare / "results.log"));
  EXPECT_TRUE(fs::exists(other / "results.log"));
}

TEST_F(CommandLine, TheNumberOfThreadsDoesNotChangeAByte) {
  for (const std::string golden : {"two_groups", "many_markers", "odd_codes_and_ties"}) {
    const fs::path one = study(golden + "_1", golden), three = study(golden + "_3", golden);
    const Outcome a = run(one, "run --threads 1");
    const Outcome b = run(three, "run --threads=3 .");
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.out, b.out) << golden;
    EXPECT_EQ(read_file(one / "results.txt"), read_file(three / "results.txt")) << golden;
  }
}

TEST_F(CommandLine, MistakesAreUsageErrorsWithHints) {
  const fs::path folder = study("s");
  Outcome o = run(folder, "run --thread 2");
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err,
            "strataperm: unknown option '--thread' for 'strataperm run'; did you mean "
            "'--threads'? (see 'strataperm run --help')\n");
  o = run(folder, "run --thr 2");  // no prefix matching
  EXPECT_EQ(o.status, 2);
  o = run(folder, "run --threads 0");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("'--threads' needs a whole number from 1"), std::string::npos);
  o = run(folder, "run --threads");
  EXPECT_EQ(o.status, 2);
  o = run(folder, "run a b");
  EXPECT_EQ(o.status, 2);
  o = run(folder, "rnu");
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("unknown command 'rnu'"), std::string::npos);
  o = run(folder, "run no_such_folder");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("cannot enter the study folder no_such_folder"), std::string::npos);
  EXPECT_FALSE(fs::exists(folder / "results.txt"));
}

TEST_F(CommandLine, VersionAndHelp) {
  // Three lines: the version, the commit built from (git describe's text,
  // or "unknown" outside a checkout) and the SIMD kernels.
  Outcome o = run(root_, "--version");
  EXPECT_EQ(o.status, 0);
  std::vector<std::string> lines;
  std::istringstream version_text(o.out);
  for (std::string line; std::getline(version_text, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << o.out;
  EXPECT_EQ(o.out.back(), '\n');
  EXPECT_EQ(lines[0], std::string("strataperm ") + STRATAPERM_VERSION);
  EXPECT_EQ(lines[1].rfind("commit ", 0), 0u) << lines[1];
  EXPECT_GT(lines[1].size(), std::string("commit ").size()) << lines[1];
  EXPECT_EQ(lines[1].find(' ', 7), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2].rfind("kernels: ", 0), 0u) << lines[2];
  EXPECT_GT(lines[2].size(), std::string("kernels: ").size()) << lines[2];
  EXPECT_TRUE(o.err.empty()) << o.err;
  for (const char* command : {"--help", "-h", "run --help", "import --help", "plot --help",
                                     "merge --help", "run -h", "import -h", "plot -h", "merge -h"}) {
    o = run(root_, command);
    EXPECT_EQ(o.status, 0) << command;
    EXPECT_NE(o.out.find("usage"), std::string::npos) << command;
    // Every line of the help fits a terminal and no escape leaks through.
    EXPECT_EQ(o.out.find("\\n"), std::string::npos) << command;
    std::size_t start = 0;
    for (std::size_t end; (end = o.out.find('\n', start)) != std::string::npos; start = end + 1)
      EXPECT_LE(end - start, 100u) << command << ": " << o.out.substr(start, end - start);
  }
}

TEST_F(CommandLine, MarkerNamesAndTheLogComeBesideTheResults) {
  const fs::path folder = study("named", "single_marker");
  std::ofstream(folder / "markers.tsv")
      << "marker\tid\tchromosome\tposition\tallele1\tallele2\n1\trs42\t7\t123456\tA\tG\n";
  const Outcome o = run(folder, "run --progress");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, read_file(fs::path(STRATAPERM_GOLDEN_DIR) / "single_marker" / "stdout"));
  const std::string table = read_file(folder / "results.tsv");
  EXPECT_EQ(table.rfind("#CHROM\tPOS\tID\tA1\tA2\tA1_FREQ\tOBS_CT\tBETA_ADD\tSE_ADD\tBETA_DOM\t"
                        "SE_DOM\tF_STAT\tP\tEMP1\tEMP2\n7\t123456\trs42\tG\tA\t",
                        0),
            0u)
      << table;
  const std::string log = read_file(folder / "results.log");
  for (const char* field : {"strataperm ", "started\t", "finished\t", "threads\t", "individuals\t12",
                            "markers\t1", "one_group\t", "two_groups\t", "verdict\t", "groups\t",
                            "seconds_markers\t"}) {
    EXPECT_NE(log.find(field), std::string::npos) << field;
  }
  EXPECT_NE(o.err.find("strataperm: reading the study\n"), std::string::npos);
  EXPECT_NE(o.err.find("replicate 40 of 40"), std::string::npos) << o.err;
}

TEST_F(CommandLine, AMalformedMarkerTableIsAWarningNotAFailure) {
  const fs::path folder = study("bad_names", "single_marker");
  std::ofstream(folder / "markers.tsv") << "marker\tid\tchromosome\tposition\nseven\tx\t1\t2\n";
  const Outcome o = run(folder, "run");
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.err.find("warning: markers.tsv not used: line 2"), std::string::npos) << o.err;
  // The table is written all the same, without the labels.
  EXPECT_EQ(read_file(folder / "results.tsv").find("\n.\t.\t1\t.\t.\t"), read_file(folder / "results.tsv").find('\n'))
      << read_file(folder / "results.tsv");
}

}  // namespace
