// `strataperm run --compress`: RESULTS.tsv.gz holds the plain run's table
// byte for byte once decompressed, its tabix index answers region queries
// where the markers are in genome order and is left out (with a warning)
// where they are not, merged shards give the whole run's files byte for
// byte, plot reads the compressed table, and a folder never holds two
// tables or an index of another table.
#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/tbx.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "e2e/genotype_files.hpp"
#include "io/association_table.hpp"
#include "numerics/random.hpp"
#include "support.hpp"

namespace strataperm {
namespace {

using namespace testing_support;

using Outcome = ProgramOutcome;

// The whole text of a bgzip file; fails the test when it is not BGZF or
// lacks its end-of-file block.
std::string bgzip_text(const std::string& path) {
  BGZF* file = bgzf_open(path.c_str(), "r");
  if (file == nullptr) {
    ADD_FAILURE() << path << ": cannot open";
    return "";
  }
  EXPECT_EQ(bgzf_compression(file), static_cast<int>(bgzf)) << path << " is not BGZF";
  EXPECT_EQ(bgzf_check_EOF(file), 1) << path << " lacks the BGZF end-of-file block";
  std::string text;
  char chunk[65536];
  ssize_t got;
  while ((got = bgzf_read(file, chunk, sizeof chunk)) > 0)
    text.append(chunk, static_cast<std::size_t>(got));
  EXPECT_EQ(got, 0) << path << ": read error";
  bgzf_close(file);
  return text;
}

// The rows the index of `path` gives for `region` ("CHR:FROM-TO"), in order;
// an unknown chromosome gives none.
std::vector<std::string> tabix_query(const std::string& path, const std::string& region) {
  std::vector<std::string> rows;
  htsFile* file = hts_open(path.c_str(), "r");
  tbx_t* index = tbx_index_load2(path.c_str(), (path + ".tbi").c_str());
  if (file == nullptr || index == nullptr) {
    ADD_FAILURE() << path << ": cannot open it or its index";
  } else if (hts_itr_t* it = tbx_itr_querys(index, region.c_str())) {
    kstring_t line = {0, 0, nullptr};
    while (tbx_itr_next(file, index, it, &line) >= 0) rows.emplace_back(line.s, line.l);
    free(line.s);
    tbx_itr_destroy(it);
  }
  if (index != nullptr) tbx_destroy(index);
  if (file != nullptr) hts_close(file);
  return rows;
}

// The rows of a table's text on chromosome `chromosome` from `from` to `to`.
std::vector<std::string> rows_within(const std::string& table, const std::string& chromosome,
                                     long long from, long long to) {
  std::vector<std::string> rows;
  std::size_t start = table.find('\n') + 1;  // past the header
  while (start < table.size()) {
    const std::size_t end = table.find('\n', start);
    const std::string row = table.substr(start, end - start);
    const std::size_t tab = row.find('\t');
    const long long position = std::atoll(row.c_str() + tab + 1);
    if (row.substr(0, tab) == chromosome && position >= from && position <= to) rows.push_back(row);
    start = end + 1;
  }
  return rows;
}

bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

// A PLINK fileset on three chromosomes in genome order, the trait in the
// .fam, and the same SNPs out of order in two more filesets.
class CompressedOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    RandomStream gen;
    seed_random_stream(gen);
    for (int k = 1; k <= 40; ++k)
      individuals_.push_back({numbered("f", k), numbered("i", k), std::to_string(k % 7)});
    snps_ = random_snps(gen, 150, 40, 50, [](int j) { return 1000LL * (j % 50 + 1); });
    write_plink(dir_ / "data", individuals_, snps_);
    // Chromosome 1 again after chromosome 2.
    std::vector<Snp> blocks = snps_;
    std::rotate(blocks.begin(), blocks.begin() + 25, blocks.begin() + 75);
    write_plink(dir_ / "blocks", individuals_, blocks);
    // Chromosome 3's positions falling.
    std::vector<Snp> falling = snps_;
    for (std::size_t j = 100; j < 150; ++j)
      falling[j].position = 1000LL * static_cast<long long>(150 - j);
    write_plink(dir_ / "falling", individuals_, falling);
  }

  Outcome run(const std::string& args) { return run_program(dir_.path(), args); }

  TemporaryFolder dir_;
  std::vector<Individual> individuals_;
  std::vector<Snp> snps_;
};

const std::string kPlink = "--bfile data --background-count 40 --permutations 200 ";

TEST_F(CompressedOutput, TheCompressedTableIsThePlainTableAndItsIndexAnswersRegions) {
  for (const std::string& options :
       {std::string(), std::string("--adaptive --max-permutations 400 ")}) {
    SCOPED_TRACE(options);
    const Outcome plain = run("run " + kPlink + options + "--out plain");
    ASSERT_EQ(plain.status, 0) << plain.err;
    const Outcome packed = run("run " + kPlink + options + "--compress --out packed");
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_EQ(packed.out, plain.out);
    EXPECT_EQ(packed.err.find("tabix"), std::string::npos) << packed.err;
    const std::string table = read_file(dir_ / "plain/results.tsv");
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(bgzip_text(dir_ / "packed/results.tsv.gz"), table);
    EXPECT_FALSE(exists(dir_ / "packed/results.tsv"));
    for (const char* name : {"results.txt", "results.similarity.tsv", "background_ids.txt"})
      EXPECT_EQ(read_file(dir_ / ("packed/" + std::string(name))),
                read_file(dir_ / ("plain/" + std::string(name))))
          << name;
    const std::string log = read_file(dir_ / "packed/results.log");
    EXPECT_NE(log.find("table_file\tresults.tsv.gz\ntable_index\tresults.tsv.gz.tbi\n"),
              std::string::npos)
        << log;
    EXPECT_NE(read_file(dir_ / "plain/results.log").find("table_file\tresults.tsv\n"),
              std::string::npos);

    // Regions inside a chromosome, at its ends, a whole chromosome, and a
    // chromosome the table lacks.
    const std::string gz = dir_ / "packed/results.tsv.gz";
    for (const auto& [chromosome, from, to] :
         std::vector<std::tuple<std::string, long long, long long>>{{"2", 20000, 30000},
                                                                    {"1", 1, 1000},
                                                                    {"3", 50000, 90000},
                                                                    {"2", 1, 50000},
                                                                    {"2", 20500, 20900}}) {
      const std::string region = chromosome + ":" + std::to_string(from) + "-" + std::to_string(to);
      EXPECT_EQ(tabix_query(gz, region), rows_within(table, chromosome, from, to)) << region;
    }
    EXPECT_FALSE(tabix_query(gz, "2:20000-30000").empty());
    EXPECT_TRUE(tabix_query(gz, "4:1-100000").empty());
  }
}

TEST_F(CompressedOutput, TheTabixProgramReadsTheTableAndItsHeader) {
  if (std::system("command -v tabix > /dev/null 2>&1") != 0) GTEST_SKIP() << "no tabix program";
  ASSERT_EQ(run("run " + kPlink + "--compress --out packed").status, 0);
  ASSERT_EQ(std::system(("tabix -H '" + (dir_ / "packed/results.tsv.gz") + "' > '" +
                         (dir_ / "header") + "' && tabix '" + (dir_ / "packed/results.tsv.gz") +
                         "' 3:2000-3000 > '" + (dir_ / "rows") + "'")
                            .c_str()),
            0);
  EXPECT_EQ(read_file(dir_ / "header"), table_header(false) + "\n");
  std::string expected;
  for (const std::string& row :
       rows_within(bgzip_text(dir_ / "packed/results.tsv.gz"), "3", 2000, 3000))
    expected += row + "\n";
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(read_file(dir_ / "rows"), expected);
}

TEST_F(CompressedOutput, MarkersOutOfGenomeOrderOrWithoutPlacesGetNoIndexAndAWarning) {
  const auto expect_unindexed = [&](const std::string& args, const std::string& folder,
                                    const std::string& why) {
    SCOPED_TRACE(args);
    const Outcome outcome = run("run " + args + " --compress --out " + folder);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("results.tsv.gz gets no tabix index: " + why), std::string::npos)
        << outcome.err;
    EXPECT_TRUE(exists(dir_ / (folder + "/results.tsv.gz")));
    EXPECT_FALSE(exists(dir_ / (folder + "/results.tsv.gz.tbi")));
    EXPECT_NE(read_file(dir_ / (folder + "/results.log")).find("table_index\tnone (" + why),
              std::string::npos);
    // The text is still the plain run's.
    const Outcome plain = run("run " + args + " --out " + folder + "-plain");
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(bgzip_text(dir_ / (folder + "/results.tsv.gz")),
              read_file(dir_ / (folder + "-plain/results.tsv")));
  };
  expect_unindexed("--bfile blocks --background-count 40 --permutations 100", "blocks",
                   "the markers are not in genome order (marker ");
  EXPECT_NE(
      read_file(dir_ / "blocks/results.log")
          .find(" on chromosome 1 comes after the markers of chromosome 2, but chromosome 1 came "
                "before them)"),
      std::string::npos);
  expect_unindexed("--bfile falling --background-count 40 --permutations 100", "falling",
                   "the markers are not in genome order (marker ");
  EXPECT_NE(read_file(dir_ / "falling/results.log").find(" on chromosome 3 at "),
            std::string::npos);

  // A study folder without markers.tsv has no places; the same study with
  // markers.tsv in genome order, as import writes it, is indexed.
  fs::copy(fs::path(STRATAPERM_GOLDEN_DIR) / "many_markers" / "input", dir_ / "study",
           fs::copy_options::recursive);
  expect_unindexed("study", "bare", "the markers have no places on the genome (marker 1 has no");
  ASSERT_EQ(run("import " + kPlink + "--out imported").status, 0);
  const Outcome imported = run("run imported --compress --out imported-run");
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(imported.err.find("tabix"), std::string::npos) << imported.err;
  EXPECT_TRUE(exists(dir_ / "imported-run/results.tsv.gz.tbi"));
}

TEST_F(CompressedOutput, GenomeOrderTakesChromosomeBlocksInAnyOrderAndRisingPositions) {
  const auto breach = [](const std::vector<std::pair<std::string, std::string>>& places) {
    GenomeOrder order;
    long marker = 0;
    for (const auto& [chromosome, position] : places) {
      MarkerLabel label;
      label.chromosome = chromosome;
      label.position = position;
      label.id = numbered("rs", ++marker);
      order.add(marker, label);
    }
    return order.breach();
  };
  EXPECT_EQ(
      breach({{"2", "5"}, {"2", "5"}, {"2", "9"}, {"X", "1"}, {"1", "3"}, {"1", "536870911"}}), "");
  EXPECT_NE(breach({{"1", "5"}, {"2", "1"}, {"1", "9"}})
                .find("marker 3 (rs3) on chromosome 1 comes after"),
            std::string::npos);
  EXPECT_NE(breach({{"1", "5"}, {"1", "4"}})
                .find("marker 2 (rs2) on chromosome 1 at 4 comes after position 5"),
            std::string::npos);
  EXPECT_NE(breach({{"1", "0"}}).find("marker 1 (rs1) lies at position 0"), std::string::npos);
  EXPECT_NE(breach({{"1", "536870912"}}).find("outside the positions 1 to 536870911"),
            std::string::npos);
  for (const auto& unplaced : std::vector<std::pair<std::string, std::string>>{
           {".", "5"}, {"1", "."}, {"1", "-5"}, {"1", "5.5"}, {"", "5"}})
    EXPECT_NE(breach({{"1", "1"}, unplaced}).find("no places on the genome (marker 2"),
              std::string::npos)
        << unplaced.first << ":" << unplaced.second;
  // The first breach is the one reported.
  EXPECT_NE(breach({{"1", "5"}, {"1", "4"}, {".", "."}}).find("marker 2"), std::string::npos);
}

TEST_F(CompressedOutput, MergedCompressedShardsAreTheWholeCompressedRunByteForByte) {
  for (const std::string& options :
       {std::string(), std::string("--adaptive --max-permutations 400 ")}) {
    SCOPED_TRACE(options);
    const std::string tag = options.empty() ? "fixed" : "adaptive";
    const Outcome whole = run("run " + kPlink + options + "--compress --out whole-" + tag);
    ASSERT_EQ(whole.status, 0) << whole.err;
    for (int k = 1; k <= 3; ++k)
      ASSERT_EQ(run("run " + kPlink + options + "--compress --out sharded-" + tag + " --shard " +
                    std::to_string(k) + "/3")
                    .status,
                0);
    const Outcome merged = run("merge sharded-" + tag);
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.out, whole.out);
    for (const char* name :
         {"results.tsv.gz", "results.tsv.gz.tbi", "results.txt", "results.similarity.tsv"}) {
      const std::string merged_file = read_file(dir_ / ("sharded-" + tag + "/" + name));
      EXPECT_FALSE(merged_file.empty()) << name;
      EXPECT_EQ(merged_file, read_file(dir_ / ("whole-" + tag + "/" + name))) << name;
    }
    EXPECT_FALSE(exists(dir_ / ("sharded-" + tag + "/results.tsv")));
  }
  // Shards of which only some were run with --compress are not of one run.
  ASSERT_EQ(run("run " + kPlink + "--compress --out mixed --shard 1/2").status, 0);
  ASSERT_EQ(run("run " + kPlink + "--out mixed --shard 2/2").status, 0);
  const Outcome mixed = run("merge mixed");
  EXPECT_EQ(mixed.status, 1);
  EXPECT_NE(mixed.err.find("belongs to another run than"), std::string::npos) << mixed.err;
  EXPECT_FALSE(exists(dir_ / "mixed/results.tsv.gz"));
}

TEST_F(CompressedOutput, PlotDrawsTheCompressedTableAsThePlainOne) {
  ASSERT_EQ(run("run " + kPlink + "--out report").status, 0);
  ASSERT_EQ(run("plot report").status, 0);
  const std::string from_plain = read_file(dir_ / "report/results.report.svg");
  ASSERT_NE(from_plain.find("P, EMP1, EMP2: results.tsv;"), std::string::npos);
  ASSERT_EQ(run("run " + kPlink + "--compress --out report").status, 0);
  ASSERT_EQ(run("plot report").status, 0);
  std::string from_packed = read_file(dir_ / "report/results.report.svg");
  const std::string source = "P, EMP1, EMP2: results.tsv.gz;";
  const std::size_t at = from_packed.find(source);
  ASSERT_NE(at, std::string::npos);
  from_packed.replace(at, source.size(), "P, EMP1, EMP2: results.tsv;");
  EXPECT_EQ(from_packed, from_plain);

  // A plain table put back beside the compressed one is not the run's: plot
  // draws what the log names.
  write_text(dir_ / "report/results.tsv", "not a table\n");
  const Outcome again = run("plot report");
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(read_file(dir_ / "report/results.report.svg").find(source), std::string::npos);
}

TEST_F(CompressedOutput, PlotRefusesALogThatNamesAnotherTable) {
  ASSERT_EQ(run("run " + kPlink + "--compress --out report").status, 0);
  std::string log = read_file(dir_ / "report/results.log");
  const std::size_t at = log.find("table_file\tresults.tsv.gz\n");
  ASSERT_NE(at, std::string::npos);
  log.replace(at, std::string("table_file\tresults.tsv.gz").size(), "table_file\t../elsewhere.tsv");
  write_text(dir_ / "report/results.log", log);
  const Outcome refused = run("plot report");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("results.log, line "), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("'table_file' ../elsewhere.tsv is neither results.tsv nor "
                             "results.tsv.gz"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(exists(dir_ / "report/results.report.svg"));
}

TEST_F(CompressedOutput, ARunLeavesOneTableAndNoIndexOfAnotherTable) {
  // Compressed and indexed, then plain: the compressed table and its index go.
  ASSERT_EQ(run("run " + kPlink + "--compress --out x").status, 0);
  ASSERT_TRUE(exists(dir_ / "x/results.tsv.gz.tbi"));
  ASSERT_EQ(run("run " + kPlink + "--out x").status, 0);
  EXPECT_TRUE(exists(dir_ / "x/results.tsv"));
  EXPECT_FALSE(exists(dir_ / "x/results.tsv.gz"));
  EXPECT_FALSE(exists(dir_ / "x/results.tsv.gz.tbi"));

  // Plain, then compressed: the plain table goes.
  ASSERT_EQ(run("run " + kPlink + "--compress --out x").status, 0);
  EXPECT_FALSE(exists(dir_ / "x/results.tsv"));
  EXPECT_TRUE(exists(dir_ / "x/results.tsv.gz"));
  EXPECT_TRUE(exists(dir_ / "x/results.tsv.gz.tbi"));

  // Indexed, then a table that cannot be indexed: the earlier index goes.
  const Outcome unsorted =
      run("run --bfile blocks --background-count 40 --permutations 200 --compress --out x");
  ASSERT_EQ(unsorted.status, 0) << unsorted.err;
  EXPECT_TRUE(exists(dir_ / "x/results.tsv.gz"));
  EXPECT_FALSE(exists(dir_ / "x/results.tsv.gz.tbi"));

  // A failed run leaves the earlier table and index as they were.
  ASSERT_EQ(run("run " + kPlink + "--compress --out y").status, 0);
  const std::string table = read_file(dir_ / "y/results.tsv.gz");
  const std::string index = read_file(dir_ / "y/results.tsv.gz.tbi");
  write_text(dir_ / "bad.pheno", "FID IID trait\nnobody here 1\n");
  EXPECT_EQ(run("run " + kPlink + "--pheno bad.pheno --out y").status, 1);
  EXPECT_EQ(read_file(dir_ / "y/results.tsv.gz"), table);
  EXPECT_EQ(read_file(dir_ / "y/results.tsv.gz.tbi"), index);
  EXPECT_FALSE(exists(dir_ / "y/results.tsv"));
}

TEST_F(CompressedOutput, NoTableNameMayLeadToAnInputAndTheHelpDescribesTheOption) {
  fs::create_directories(dir_ / "z");
  fs::create_symlink(dir_ / "data.bim", dir_ / "z/results.tsv.gz.tbi");
  const std::string bim = read_file(dir_ / "data.bim");
  const Outcome refused = run("run " + kPlink + "--out z");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("it is the input file"), std::string::npos) << refused.err;
  EXPECT_EQ(read_file(dir_ / "data.bim"), bim);
  EXPECT_TRUE(exists(dir_ / "z/results.tsv.gz.tbi"));

  const Outcome help = run("run --help");
  EXPECT_NE(help.out.find("--compress"), std::string::npos);
  EXPECT_NE(help.out.find("tabix RESULTS.tsv.gz"), std::string::npos);
  EXPECT_NE(run("merge --help").out.find("RESULTS.tsv.gz"), std::string::npos);
}

}  // namespace
}  // namespace strataperm
