// End-to-end runs of the built program on the studies under tests/golden/.
//
// Each case folder holds `input/` (the files the program finds in its working
// folder) and the expected `stdout`, `status`, optionally `stderr`, and
// `results` (the expected results file "results.txt"; when absent, a results
// file must not exist after the run, unless the input already held one, which
// must then be left untouched).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> case_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(STRATAPERM_GOLDEN_DIR))
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class GoldenRun : public ::testing::TestWithParam<std::string> {};

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
  }
  fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenRun, ::testing::ValuesIn(case_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

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
