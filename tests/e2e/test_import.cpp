// `strataperm import`: PLINK and VCF files in, a study folder out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "io/record_reader.hpp"
#include "io/plink_reader.hpp"
#include "commands/cli.hpp"
#include "commands/import/import_command.hpp"
#include "commands/options.hpp"
#include "e2e/genotype_files.hpp"
#include "support.hpp"

namespace strataperm {
namespace {

namespace fs = std::filesystem;
using testing_support::read_file;
using namespace testing_support;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

// Runs `strataperm import ARGS` in this process, through the command line's
// one error handler.
Outcome import(const std::vector<std::string>& args) {
  std::vector<std::string> words = {"strataperm", "import"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int status = run_command_line(static_cast<int>(argv.size()), argv.data());
  Outcome outcome{status, "", ""};
  outcome.out = ::testing::internal::GetCapturedStdout();
  outcome.err = ::testing::internal::GetCapturedStderr();
  return outcome;
}

std::vector<std::vector<std::string>> read_rows(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) rows.push_back(split_fields(line));
  return rows;
}

// The allele-code pairs of a row from `first` on, as allele2 counts (-1 for
// a missing call, ". ."); fails the test on any other pair than 0 0, 0 1,
// 1 1 and ". .".
std::vector<int> counts_of(const std::vector<std::string>& row, std::size_t first = 0) {
  std::vector<int> counts;
  for (std::size_t k = first; k + 1 < row.size(); k += 2) {
    const std::string pair = row[k] + " " + row[k + 1];
    EXPECT_TRUE(pair == "0 0" || pair == "0 1" || pair == "1 1" || pair == ". .") << pair;
    counts.push_back(pair == ". ." ? -1 : std::stoi(row[k]) + std::stoi(row[k + 1]));
  }
  EXPECT_EQ((row.size() - first) % 2, 0u);
  return counts;
}

std::vector<std::string> marker_ids(const std::string& folder) {
  std::vector<std::string> ids;
  for (const auto& row : read_rows(folder + "/markers.tsv")) ids.push_back(row.at(1));
  return ids;
}

// Nine individuals (a multiple of four plus one, so the last .bed byte is
// padded) on three chromosomes; the calls follow no pattern the code could
// mistake for another.
std::vector<Individual> nine_individuals() {
  std::vector<Individual> individuals;
  for (int k = 1; k <= 9; ++k)
    individuals.push_back({numbered("f", k), numbered("i", k), std::to_string(k)});
  return individuals;
}

std::vector<Snp> eight_snps() {
  const int calls[8][9] = {{0, 1, 2, 0, 1, 2, 0, 1, 2}, {2, 2, 1, 0, 0, 1, 1, 2, 0},
                           {1, 0, 1, 2, 0, 1, 2, 2, 1}, {0, 0, 1, 1, 2, 2, 1, 0, 2},
                           {1, 1, 1, 0, 0, 2, 2, 0, 1}, {2, 1, 0, 1, 2, 0, 1, 1, 0},
                           {0, 2, 0, 2, 1, 1, 0, 2, 1}, {1, 2, 1, 0, 2, 0, 0, 1, 2}};
  const char* chromosomes[8] = {"1", "1", "1", "2", "2", "2", "3", "3"};
  const long long positions[8] = {100, 200, 300, 150, 250, 350, 50, 60};
  const char* alleles[8][2] = {{"A", "G"}, {"C", "T"}, {"G", "A"}, {"T", "C"},
                               {"A", "C"}, {"G", "T"}, {"C", "A"}, {"T", "G"}};
  std::vector<Snp> snps;
  for (int s = 0; s < 8; ++s) {
    snps.push_back({chromosomes[s], numbered("s", s + 1), positions[s], alleles[s][0],
                    alleles[s][1], std::vector<int>(calls[s], calls[s] + 9)});
  }
  return snps;
}

TEST(ImportPlink, RoundTripKeepsCallsTraitsAndMarkerTable) {
  TemporaryFolder dir;
  const auto individuals = nine_individuals();
  const auto snps = eight_snps();
  write_plink(dir / "data", individuals, snps);
  // f4 has no row, f5 and f6 a missing weight; fx is not genotyped.
  write_text(dir / "pheno.txt",
             "fid iid height weight\n"
             "f1 i1 1 0.1\nf2 i2 1 -2.5\nf3 i3 1 0.33333333333333331\n"
             "f5 i5 1 NA\nf6 i6 1 -9\nf7 i7 1 1e-300\nf8 i8 1 12345.678901234567\n"
             "f9 i9 1 -7\nfx ix 1 4\n");
  write_text(dir / "background.txt", "s1\ns3\n# a comment\n\ns5\n");
  const Outcome outcome =
      import({"--bfile", dir / "data", "--pheno", dir / "pheno.txt", "--pheno-col", "weight",
              "--background-ids", dir / "background.txt", "--region", "chr2:150-350",
              "--permutations", "77", "--out", dir / "study"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("individuals read: 9\n"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("individuals kept: 6\n"), std::string::npos);
  EXPECT_NE(outcome.out.find("individuals dropped, no phenotype row: 1\n"), std::string::npos);
  EXPECT_NE(outcome.out.find("individuals dropped, missing trait: 2\n"), std::string::npos);
  // s5 is listed as background and lies in the region: a marker only.
  EXPECT_NE(outcome.out.find("note: 1 listed background loci"), std::string::npos);

  const std::vector<std::size_t> kept = {0, 1, 2, 6, 7, 8};
  const std::vector<double> traits = {0.1, -2.5, 1.0 / 3.0, 1e-300, 12345.678901234567, -7};
  const std::vector<std::size_t> background = {0, 2};  // s1, s3
  const std::vector<std::size_t> markers = {3, 4, 5};  // s4, s5, s6
  const std::string study = dir / "study";

  const auto genotype_rows = read_rows(study + "/genotypes.txt");
  const auto trait_rows = read_rows(study + "/traits.txt");
  const auto individual_rows = read_rows(study + "/individuals.tsv");
  ASSERT_EQ(genotype_rows.size(), kept.size());
  ASSERT_EQ(trait_rows.size(), kept.size());
  ASSERT_EQ(individual_rows.size(), kept.size());
  for (std::size_t r = 0; r < kept.size(); ++r) {
    const Individual& individual = individuals[kept[r]];
    EXPECT_EQ(individual_rows[r],
              (std::vector<std::string>{individual.family_id, individual.individual_id}));
    const std::vector<int> loci = counts_of(genotype_rows[r]);
    ASSERT_EQ(loci.size(), background.size());
    for (std::size_t j = 0; j < background.size(); ++j)
      EXPECT_EQ(loci[j], snps[background[j]].calls[kept[r]]) << "row " << r << " locus " << j;
    EXPECT_EQ(std::strtod(trait_rows[r][0].c_str(), nullptr), traits[r]) << trait_rows[r][0];
    const std::vector<int> calls = counts_of(trait_rows[r], 1);
    ASSERT_EQ(calls.size(), markers.size());
    for (std::size_t j = 0; j < markers.size(); ++j)
      EXPECT_EQ(calls[j], snps[markers[j]].calls[kept[r]]) << "row " << r << " marker " << j;
  }
  EXPECT_EQ(read_file(study + "/markers.tsv"),
            "marker\tid\tchromosome\tposition\tallele1\tallele2\n"
            "1\ts4\t2\t150\tT\tC\n2\ts5\t2\t250\tA\tC\n3\ts6\t2\t350\tG\tT\n");
  EXPECT_EQ(read_file(study + "/parameter.txt"),
            "genotype file of the background loci\ngenotypes.txt\n"
            "trait and marker file\ntraits.txt\nresults file\nresults.txt\n"
            "number of permutations (R)\n77\nnumber of background loci (L)\n2\n"
            "number of candidate markers (M)\n3\nnumber of individuals (N)\n6\n");
  for (const auto& entry : fs::directory_iterator(study))
    EXPECT_EQ(entry.path().filename().string().find("tmp"), std::string::npos) << entry.path();
}

TEST(ImportPlink, FamPhenotypeColumnsWithoutPhenotypeTable) {
  TemporaryFolder dir;
  auto individuals = nine_individuals();
  individuals[1].fam_phenotype = "-9";
  individuals[4].fam_phenotype = "2.5 NA";  // a second column, missing here
  for (std::size_t k = 0; k < individuals.size(); ++k)
    if (k != 4) individuals[k].fam_phenotype += " " + std::to_string(10 * k);
  write_plink(dir / "data", individuals, eight_snps());

  Outcome outcome =
      import({"--bfile", dir / "data", "--background-count", "3", "--out", dir / "one"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  auto rows = read_rows(dir / "one/traits.txt");
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows[0][0], "1");
  EXPECT_EQ(rows[1][0], "3");  // i2 (-9) dropped

  outcome = import({"--bfile", dir / "data", "--pheno-col", "2", "--background-count", "3", "--out",
                    dir / "two"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  rows = read_rows(dir / "two/traits.txt");
  ASSERT_EQ(rows.size(), 8u);  // i5 (NA) dropped
  EXPECT_EQ(rows[1][0], "10");
  EXPECT_EQ(rows[4][0], "50");

  EXPECT_THROW(run_import({"--bfile", dir / "data", "--pheno-col", "weight", "--out", dir / "x"}),
               UsageError);
}

TEST(ImportPlink, BackgroundByCountIsSpreadEvenlyOverCommonSnps) {
  TemporaryFolder dir;
  auto individuals = nine_individuals();
  individuals.pop_back();  // eight: a minor-allele frequency is a multiple of 1/16
  std::vector<Snp> snps;
  // Ten SNPs; s3 and s8 are monomorphic, s6 has one copy of allele2 (MAF 1/16).
  for (int s = 1; s <= 10; ++s) {
    std::vector<int> calls = {0, 1, 2, 1, 0, 1, 2, 1};
    if (s == 3 || s == 8) calls.assign(8, s == 3 ? 0 : 2);
    if (s == 6) calls = {0, 0, 0, 1, 0, 0, 0, 0};
    snps.push_back({"1", numbered("s", s), 10LL * s, "A", "G", calls});
  }
  write_plink(dir / "data", individuals, snps);

  Outcome outcome = import(
      {"--bfile", dir / "data", "--background-count", "3", "--min-maf", "0.1", "--out", dir / "a"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  // Seven SNPs s1 s2 s4 s5 s7 s9 s10 reach MAF 0.1; positions floor((2i+1)7/6) =
  // 1, 3, 5 of them make the background: s2, s5, s9.
  EXPECT_EQ(marker_ids(dir / "a"),
            (std::vector<std::string>{"s1", "s3", "s4", "s6", "s7", "s8", "s10"}));
  EXPECT_NE(outcome.out.find("(not used as background): 3\n"), std::string::npos) << outcome.out;

  // A threshold equal to the MAF of s6 admits it; asking for more than there
  // are takes them all and leaves only the monomorphic SNPs as markers.
  outcome = import({"--bfile", dir / "data", "--background-count", "50", "--min-maf", "0.0625",
                    "--out", dir / "b"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(marker_ids(dir / "b"), (std::vector<std::string>{"s3", "s8"}));
  EXPECT_NE(outcome.err.find("only 8 SNPs qualify"), std::string::npos) << outcome.err;

  // Candidates listed by id are never background, even when they qualify.
  write_text(dir / "markers.txt", "s2\ns5\nnot_there\n");
  outcome =
      import({"--bfile", dir / "data", "--markers-ids", dir / "markers.txt", "--out", dir / "c"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(marker_ids(dir / "c"), (std::vector<std::string>{"s2", "s5"}));
  EXPECT_NE(read_file(dir / "c/parameter.txt").find("(L)\n6\n"), std::string::npos);
  EXPECT_NE(outcome.err.find("1 ids of"), std::string::npos) << outcome.err;
}

TEST(ImportPlink, MissingCallsKeepACandidateUpToTheMissingShareButNeverABackgroundLocus) {
  TemporaryFolder dir;
  auto individuals = nine_individuals();
  individuals[2].fam_phenotype = "NA";  // i3 dropped
  auto snps = eight_snps();
  snps[4].calls[5] = -1;  // s5: missing in kept i6 (1 of 8)
  snps[5].calls[2] = -1;  // s6: missing only in dropped i3: complete
  snps[0].calls[8] = -1;  // s1: could be background, but has a missing call
  write_plink(dir / "data", individuals, snps);

  // 1 missing of 8 is above the default share of 0.1: s5 is left out.
  Outcome outcome = import({"--bfile", dir / "data", "--background-count", "2", "--region",
                            "2:1-1000", "--out", dir / "strict"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("SNPs with missing calls among the kept individuals: 2 (never "
                             "background loci)\n"),
            std::string::npos)
      << outcome.out;
  EXPECT_NE(outcome.out.find("candidate markers left out, missing share above 0.1 (--geno): 1\n"),
            std::string::npos);
  EXPECT_EQ(marker_ids(dir / "strict"), (std::vector<std::string>{"s4", "s6"}));

  // Allowed up to 0.2, s5 stays and its missing call is written ". .".
  outcome = import({"--bfile", dir / "data", "--background-count", "2", "--region", "2:1-1000",
                    "--geno", "0.2", "--out", dir / "study"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("candidate markers kept with missing calls (mean codes): 1\n"),
            std::string::npos)
      << outcome.out;
  EXPECT_EQ(marker_ids(dir / "study"), (std::vector<std::string>{"s4", "s5", "s6"}));
  const auto rows = read_rows(dir / "study/traits.txt");
  ASSERT_EQ(rows.size(), 8u);
  for (std::size_t r = 0, k = 0; k < 9; ++k) {
    if (k == 2) continue;
    EXPECT_EQ(counts_of(rows[r], 1),
              (std::vector<int>{snps[3].calls[k], snps[4].calls[k], snps[5].calls[k]}));
    ++r;
  }
  // Background: two spread by position over the SNPs outside the region
  // without missing calls, s2 s3 s7 s8 (1:200, 1:300, 3:50, 3:60), at
  // floor((2i+1)4/4) = 1, 3: s3, s8.
  const auto genotypes = read_rows(dir / "study/genotypes.txt");
  ASSERT_EQ(genotypes.size(), 8u);
  EXPECT_EQ(counts_of(genotypes[7]), (std::vector<int>{snps[2].calls[8], snps[7].calls[8]}));
  // The study runs, the missing call taking the marker's mean codes.
  const std::string command = "cd '" + (dir / "study") + "' && '" STRATAPERM_BINARY "' > out.txt 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << read_file(dir / "study/out.txt");
}

TEST(ImportPlink, BadInputIsOneLineNamingTheFileAndWritesNothing) {
  TemporaryFolder dir;
  const auto individuals = nine_individuals();
  const auto snps = eight_snps();
  const std::string prefix = dir / "data";
  const std::string study = dir / "study";
  struct Case {
    const char* what;
    std::function<void()> damage;
    std::string file;
    std::string message;
    std::vector<std::string> extra = {};
  };
  const std::vector<Case> cases = {
      {"bad magic", [&] { write_text(prefix + ".bed", "\x6c\x1c\x01"); }, prefix + ".bed",
       "not a PLINK .bed file"},
      {"individual-major",
       [&] {
         std::string bed = read_file(prefix + ".bed");
         bed[2] = '\0';
         write_text(prefix + ".bed", bed);
       },
       prefix + ".bed", "individual-major"},
      {"short bed",
       [&] {
         std::string bed = read_file(prefix + ".bed");
         write_text(prefix + ".bed", bed.substr(0, bed.size() - 1));
       },
       prefix + ".bed", "need 27"},
      {"bim fields",
       [&] { write_text(prefix + ".bim", read_file(prefix + ".bim") + "1 s9 0 5 A\n"); },
       prefix + ".bim, line 9", "expected 6 fields"},
      {"fam fields", [&] { write_text(prefix + ".fam", "f1 i1 0 0\n"); }, prefix + ".fam, line 1",
       "expected 6 fields"},
      {"missing bim", [&] { fs::remove(prefix + ".bim"); }, prefix + ".bim", "cannot open"},
      {"pheno text",
       [&] { write_text(dir / "pheno.txt", "f1 i1 1.5\nf2 i2 tall\n"); },
       dir / "pheno.txt" + ", line 2",
       "'tall' is not a number",
       {"--pheno", dir / "pheno.txt"}},
      {"pheno all missing",
       [&] { write_text(dir / "pheno.txt", "f1 i1 NA\nf2 i2 -9\n"); },
       dir / "pheno.txt",
       "no individual",
       {"--pheno", dir / "pheno.txt"}},
      {"pheno column name",
       [&] { write_text(dir / "pheno.txt", "FID IID bmi\nf1 i1 1\n"); },
       dir / "pheno.txt",
       "no phenotype column named 'height'",
       {"--pheno", dir / "pheno.txt", "--pheno-col", "height"}},
      {"no markers in region",
       [] {},
       prefix + ".bed",
       "no candidate marker left",
       {"--region", "7:1-100"}},
  };
  for (const Case& c : cases) {
    write_plink(prefix, individuals, snps);
    c.damage();
    std::vector<std::string> args = {"--bfile", prefix, "--background-count", "3", "--out", study};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Outcome outcome = import(args);
    EXPECT_EQ(outcome.status, 1) << c.what;
    EXPECT_EQ(outcome.err.rfind("strataperm: " + c.file + ": ", 0), 0u)
        << c.what << ": " << outcome.err;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << c.what << ": " << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << c.what;
    EXPECT_FALSE(fs::exists(study)) << c.what;
  }
}

TEST(ImportPlink, ExistingStudyIsReplacedOnlyWithForce) {
  TemporaryFolder dir;
  write_plink(dir / "data", nine_individuals(), eight_snps());
  const std::vector<std::string> args = {"--bfile", dir / "data", "--background-count",
                                         "3",       "--out",      dir / "study"};
  ASSERT_EQ(import(args).status, 0);
  write_text(dir / "study/traits.txt", "earlier\n");
  const Outcome refused = import(args);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_EQ(read_file(dir / "study/traits.txt"), "earlier\n");

  std::vector<std::string> forced = args;
  forced.push_back("--force");
  ASSERT_EQ(import(forced).status, 0);
  EXPECT_EQ(read_rows(dir / "study/traits.txt").size(), 9u);
}

TEST(ImportOptions, CommandLineMistakesAreUsageErrors) {
  const auto message_of = [](const std::vector<std::string>& args) -> std::string {
    try {
      run_import(args);
    } catch (const UsageError& error) {
      return error.what();
    }
    return "(no usage error)";
  };
  EXPECT_NE(message_of({"--bfile", "x", "--out", "o", "--pheno-cols", "2"})
                .find("did you mean '--pheno-col'?"),
            std::string::npos);
  EXPECT_NE(
      message_of({"--bfile", "x", "--vcf", "y.vcf", "--pheno", "p", "--out", "o"}).find("not both"),
      std::string::npos);
  EXPECT_NE(message_of({"--out", "o"}).find("--bfile or --vcf"), std::string::npos);
  EXPECT_NE(message_of({"--bfile", "x"}).find("--out"), std::string::npos);
  EXPECT_NE(message_of({"--vcf", "y.vcf", "--out", "o"}).find("--pheno"), std::string::npos);
  EXPECT_NE(message_of({"--bfile", "x", "--out", "o", "--region", "1:20-10"}).find("--region"),
            std::string::npos);
  EXPECT_NE(message_of({"--bfile", "x", "--out", "o", "--region", "1"}).find("--region"),
            std::string::npos);
  EXPECT_NE(message_of({"--bfile", "x", "--out", "o", "--min-maf", "0.6"}).find("--min-maf"),
            std::string::npos);
  EXPECT_NE(message_of({"--bfile", "x", "--out", "o", "--background-count", "0"})
                .find("--background-count"),
            std::string::npos);
  EXPECT_NE(
      message_of({"--bfile", "x", "--out", "o", "--background-count", "5", "--background-ids", "f"})
          .find("not both"),
      std::string::npos);
  EXPECT_NE(message_of({"--bfile", "x", "--out", "o", "extra"}).find("positional"),
            std::string::npos);

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run_import({"--help"}), 0);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("--background-count K"),
            std::string::npos);
}

TEST(ImportPlink, ImportedFolderRunsWithTheProgram) {
  TemporaryFolder dir;
  std::vector<Individual> individuals;
  std::vector<Snp> snps;
  unsigned state = 12345;
  const auto next = [&state] { return (state = state * 1103515245u + 12345u) >> 16; };
  for (int k = 0; k < 30; ++k)
    individuals.push_back(
        {"f", numbered("i", k), std::to_string(static_cast<int>(next() % 1000) / 100.0)});
  for (int s = 0; s < 40; ++s) {
    std::vector<int> calls;
    for (int k = 0; k < 30; ++k) calls.push_back(static_cast<int>(next() % 3));
    snps.push_back({"1", numbered("s", s), 1000LL * s, "A", "G", calls});
  }
  write_plink(dir / "data", individuals, snps);
  const Outcome outcome = import({"--bfile", dir / "data", "--background-count", "25",
                                  "--permutations", "40", "--out", dir / "study folder"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::string command =
      "cd '" + (dir / "study folder") + "' && '" STRATAPERM_BINARY "' > stdout.txt 2> stderr.txt";
  EXPECT_EQ(std::system(command.c_str()), 0) << read_file(dir / "study folder/stderr.txt");
  EXPECT_NE(read_file(dir / "study folder/stdout.txt").find("marker15 "), std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "study folder/results.txt"));
}


TEST(ImportVcf, RoundTripOfBiallelicSnpsWithMissingCallPolicy) {
  TemporaryFolder dir;
  write_text(dir / "calls.vcf",
             "##fileformat=VCFv4.2\n"
             "##contig=<ID=1,length=1000>\n##contig=<ID=2,length=1000>\n"
             "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
             "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\tc\td\te\n"
             "1\t10\trsA\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\t1/1\t0|1\t1|0\n"
             "1\t20\trsMulti\tA\tG,T\t.\t.\t.\tGT\t0/1\t0/2\t1/1\t0/0\t0/0\n"
             "1\t30\trsIndel\tA\tAT\t.\t.\t.\tGT\t0/1\t0/1\t1/1\t0/0\t0/0\n"
             "1\t40\t.\tC\tT\t.\t.\t.\tGT\t1/1\t1/1\t0/0\t0/1\t0/0\n"
             "1\t50\trsHaploid\tG\tC\t.\t.\t.\tGT\t0/1\t1\t0/1\t0/1\t0/0\n"
             "1\t55\trsTriploid\tG\tC\t.\t.\t.\tGT\t0/1\t0/1\t0/1/1\t0/1\t0/0\n"
             "1\t60\trsOnlyInDropped\tT\tA\t.\t.\t.\tGT\t./.\t0/1\t0/0\t1/1\t0/1\n"
             "1\t70\trsHalf\tT\tC\t.\t.\t.\tGT\t0/1\t0/.\t0/0\t1/1\t0/1\n"
             "2\t15\trsB\tg\ta\t.\t.\t.\tGT\t1/1\t0/0\t0/1\t0/1\t1/1\n");
  // Matched by IID; "a" has a missing trait, "x" is not in the VCF.
  write_text(dir / "pheno.txt", "fa a NA\nfb b 1.5\nfc c -0.25\nfd d 3\nfe e 2\nfx x 4\n");
  write_text(dir / "background.txt", "rsA\nrsB\n");
  const Outcome outcome =
      import({"--vcf", dir / "calls.vcf", "--pheno", dir / "pheno.txt", "--background-ids",
              dir / "background.txt", "--out", dir / "study"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("SNPs read: 7\n"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("records skipped, not biallelic SNPs: 2\n"), std::string::npos);
  EXPECT_NE(outcome.out.find("SNPs with missing calls among the kept individuals: 3 (never "
                             "background loci)\n"),
            std::string::npos)
      << outcome.out;
  EXPECT_NE(outcome.out.find("individuals dropped, missing trait: 1\n"), std::string::npos);
  // A haploid, triploid or half-missing call is a missing call: 1 of 4, above
  // the default share of 0.1, leaves those SNPs out.
  EXPECT_NE(outcome.out.find("candidate markers left out, missing share above 0.1 (--geno): 3\n"),
            std::string::npos);

  EXPECT_EQ(read_file(dir / "study/markers.tsv"),
            "marker\tid\tchromosome\tposition\tallele1\tallele2\n"
            "1\t1:40\t1\t40\tC\tT\n2\trsOnlyInDropped\t1\t60\tT\tA\n");
  EXPECT_EQ(read_file(dir / "study/individuals.tsv"), "FID\tIID\nfb\tb\nfc\tc\nfd\td\nfe\te\n");
  const std::vector<std::vector<int>> background = {{1, 2, 1, 1}, {0, 1, 1, 2}};  // rsA, rsB
  const std::vector<std::vector<int>> markers = {{2, 0, 1, 0}, {1, 0, 2, 1}};
  const std::vector<std::string> traits = {"1.5", "-0.25", "3", "2"};
  const auto genotype_rows = read_rows(dir / "study/genotypes.txt");
  const auto trait_rows = read_rows(dir / "study/traits.txt");
  ASSERT_EQ(genotype_rows.size(), 4u);
  ASSERT_EQ(trait_rows.size(), 4u);
  for (std::size_t r = 0; r < 4; ++r) {
    EXPECT_EQ(counts_of(genotype_rows[r]), (std::vector<int>{background[0][r], background[1][r]}));
    EXPECT_EQ(trait_rows[r][0], traits[r]);
    EXPECT_EQ(counts_of(trait_rows[r], 1), (std::vector<int>{markers[0][r], markers[1][r]}));
  }
}

TEST(ImportVcf, MalformedRecordIsOneLineErrorWithItsNumber) {
  TemporaryFolder dir;
  write_text(dir / "pheno.txt", "a a 1\nb b 2\n");
  const std::string head =
      "##fileformat=VCFv4.2\n##contig=<ID=1,length=1000>\n"
      "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
      "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\n"
      "1\t10\trsA\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\n";
  const std::string bad_records[] = {"1\tten\trsB\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\n",
                                     "1\t20\trsB\tA\tG\t.\t.\t.\tGT\t0/0\n"};
  for (const std::string& bad : bad_records) {
    write_text(dir / "bad.vcf", head + bad);
    const Outcome outcome =
        import({"--vcf", dir / "bad.vcf", "--pheno", dir / "pheno.txt", "--out", dir / "study"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err.rfind("strataperm: " + (dir / "bad.vcf") + ": record 2 is malformed", 0),
              0u)
        << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    EXPECT_FALSE(fs::exists(dir / "study"));
  }
}


}  // namespace
}  // namespace strataperm
