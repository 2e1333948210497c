// The PLINK and VCF/BCF readers on damaged or incomplete input: each problem
// is one InputError naming the file and what is wrong, and the built program
// then exits with status 1 and leaves the study folder as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/errors.hpp"
#include "io/genotype_records.hpp"
#include "io/plink_reader.hpp"
#include "io/vcf_reader.hpp"
#include "support.hpp"

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/vcf.h>

namespace strataperm {
namespace {

namespace fs = std::filesystem;
using testing_support::read_file;

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "strataperm_readers_XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The message of the InputError that `action` throws, or a note that it threw
// none.
std::string import_error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const InputError& error) {
    return error.what();
  }
  return "(no InputError)";
}

// ---------------------------------------------------------------------------
// PLINK file sets

// A .bim of `snps` SNPs and a matching .bed with every call 0/1 beside `fam`.
void write_plink(const std::string& prefix, const std::string& fam, std::size_t individuals,
                 std::size_t snps) {
  write_text(prefix + ".fam", fam);
  std::string bim;
  std::string bed = {'\x6c', '\x1b', '\x01'};
  for (std::size_t s = 0; s < snps; ++s) {
    bim += "1\ts" + std::to_string(s + 1) + "\t0\t" + std::to_string(100 * (s + 1)) + "\tA\tG\n";
    // Calls cycle 0, 1, 2 by individual and SNP, so no SNP is monomorphic.
    std::string packed((individuals + 3) / 4, '\0');
    for (std::size_t k = 0; k < individuals; ++k) {
      const unsigned codes[3] = {0u, 2u, 3u};
      packed[k / 4] = static_cast<char>(static_cast<unsigned char>(packed[k / 4]) |
                                        codes[(k + s) % 3] << (2 * (k % 4)));
    }
    bed += packed;
  }
  write_text(prefix + ".bim", bim);
  write_text(prefix + ".bed", bed);
}

TEST(PlinkReaderFam, AnIndividualListedTwiceIsRefusedNamingBothLines) {
  TemporaryFolder dir;
  const std::string prefix = dir / "data";
  // Line 3 is blank: line numbers are those of the file.
  write_plink(prefix,
              "FAM1 IND1 0 0 1 1.5\nFAM1 IND2 0 0 2 2.5\n\nFAM2 IND3 0 0 1 -9\n"
              "FAM1 IND4 0 0 1 3\nFAM3 IND5 0 0 2 4\nFAM1 IND2 0 0 1 7\n",
              6, 4);
  EXPECT_EQ(import_error_of([&] { read_plink_file_set(prefix); }),
            prefix + ".fam, lines 2 and 7: individual FAM1 IND2 is listed twice");

  // The first repeat found is reported, also when the copy follows at once.
  write_plink(prefix, "F I 0 0 1 1\nF I 0 0 1 1\nF J 0 0 1 1\nF J 0 0 1 1\n", 4, 4);
  EXPECT_EQ(import_error_of([&] { read_plink_file_set(prefix); }),
            prefix + ".fam, lines 1 and 2: individual F I is listed twice");
}

TEST(PlinkReaderFam, OneIidInTwoFamiliesOrOneFidWithTwoIidsIsNoRepeat) {
  TemporaryFolder dir;
  const std::string prefix = dir / "data";
  // Fields are split on spaces and tabs alike: "A B" and "A\tB" are one pair,
  // "AB" another.
  write_plink(prefix, "A B 0 0 1 1\nB A 0 0 1 1\nAB B 0 0 1 1\nA BB 0 0 1 1\nA\tC 0 0 1 1\n", 5, 3);
  const PlinkFileSet files = read_plink_file_set(prefix);
  ASSERT_EQ(files.samples.size(), 5u);
  EXPECT_EQ(files.samples[2].family_id, "AB");
  EXPECT_EQ(files.samples[4].individual_id, "C");

  write_plink(prefix, "A B 0 0 1 1\nA\tB\t0\t0\t2\t5\n", 2, 3);
  EXPECT_EQ(import_error_of([&] { read_plink_file_set(prefix); }),
            prefix + ".fam, lines 1 and 2: individual A B is listed twice");
}


// ---------------------------------------------------------------------------
// VCF/BCF files

const char* const kMeta =
    "##fileformat=VCFv4.2\n##contig=<ID=1,length=100000>\n"
    "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
    "##FORMAT=<ID=DS,Number=1,Type=Float,Description=\"Dosage\">\n";
const char* const kColumns = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO";

// A #CHROM line with the FORMAT column and `samples`.
std::string chrom_line(const std::vector<std::string>& samples) {
  std::string line = std::string(kColumns) + "\tFORMAT";
  for (const std::string& name : samples) line += "\t" + name;
  return line + "\n";
}

const std::vector<std::string> kSamples = {"a", "b", "c", "d", "e", "f"};

// Record `r` (from 1) of a six-sample file: a biallelic SNP at 1:10r whose GT
// calls differ from record to record.
std::string record(int r) {
  static const char* const kCalls[3] = {"0/0", "0/1", "1/1"};
  std::string line =
      "1\t" + std::to_string(10 * r) + "\trs" + std::to_string(r) + "\tA\tG\t.\t.\t.\tGT";
  for (int k = 0; k < 6; ++k) line += std::string("\t") + kCalls[(k * (r + 1) + r) % 3];
  return line + "\n";
}

std::string records(int from, int to) {
  std::string text;
  for (int r = from; r <= to; ++r) text += record(r);
  return text;
}

std::string good_vcf(int count = 8) { return kMeta + chrom_line(kSamples) + records(1, count); }

// Every usable variant of `path` with its calls as text (calls "." when
// missing), one "id:calls" string a variant.
std::vector<std::string> scan_all(const std::string& path) {
  std::vector<std::string> seen;
  scan_vcf_genotypes(
      path, [](std::size_t) { return true; },
      [&](std::size_t, const Variant& variant, std::span<const std::int8_t> calls) {
        std::string text = variant.id + ":";
        for (std::int8_t call : calls) text += call == kMissingCall ? '.' : char('0' + call);
        seen.push_back(text);
      });
  return seen;
}

// Writes `parts` to `path` with htslib's BGZF writer, each part ending a
// block, then the end-of-file block.
void write_bgzf(const std::string& path, const std::vector<std::string>& parts) {
  BGZF* file = bgzf_open(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  for (const std::string& part : parts) {
    ASSERT_EQ(bgzf_write(file, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    ASSERT_EQ(bgzf_flush(file), 0);
  }
  ASSERT_EQ(bgzf_close(file), 0);
}

// The offsets at which the BGZF blocks of `bytes` start (BSIZE + 1 bytes each,
// BSIZE at bytes 16 and 17), the last being the 28-byte end-of-file block.
std::vector<std::size_t> block_starts(const std::string& bytes) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at + 18 <= bytes.size();) {
    starts.push_back(at);
    at += 1 + (static_cast<unsigned char>(bytes[at + 16]) |
               static_cast<unsigned char>(bytes[at + 17]) << 8);
  }
  return starts;
}

constexpr std::size_t kEofBlockSize = 28;

// A BCF copy of the VCF file `vcf`, written by htslib.
void write_bcf(const std::string& vcf, const std::string& bcf) {
  htsFile* in = hts_open(vcf.c_str(), "r");
  ASSERT_NE(in, nullptr);
  bcf_hdr_t* header = bcf_hdr_read(in);
  ASSERT_NE(header, nullptr);
  htsFile* out = hts_open(bcf.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(bcf_hdr_write(out, header), 0);
  bcf1_t* line = bcf_init();
  while (bcf_read(in, header, line) == 0) ASSERT_EQ(bcf_write(out, header, line), 0);
  bcf_destroy(line);
  hts_close(out);
  bcf_hdr_destroy(header);
  hts_close(in);
}

TEST(VcfReaderSamples, ADuplicateSampleNameIsNamedWithBothColumns) {
  TemporaryFolder dir;
  const std::string vcf = dir / "dup.vcf";
  write_text(vcf, kMeta + chrom_line({"a", "b", "c", "b", "e", "f"}) + records(1, 2));
  const std::string expected =
      vcf +
      ", header line 5: the sample name 'b' is listed twice (columns 11 and 13 of the "
      "#CHROM line)";
  EXPECT_EQ(import_error_of([&] { read_vcf_samples(vcf); }), expected);
  EXPECT_EQ(import_error_of([&] { scan_all(vcf); }), expected);

  // bgzipped, and with Windows line ends: the '\r' is no part of the name.
  std::string text;
  for (const char c : kMeta + chrom_line({"x", "y", "x"})) {
    if (c == '\n') text += '\r';
    text += c;
  }
  write_bgzf(dir / "dup.vcf.gz", {text});
  EXPECT_EQ(import_error_of([&] { read_vcf_samples(dir / "dup.vcf.gz"); }),
            (dir / "dup.vcf.gz") +
                ", header line 5: the sample name 'x' is listed twice (columns 10 and 12 of the "
                "#CHROM line)");
}

TEST(VcfReaderSamples, ADuplicateSampleNameInABcfHeaderIsNamed) {
  TemporaryFolder dir;
  // htslib refuses to write such a header, so it is written here: "BCF" 2 2,
  // the length of the NUL-ended header text (little-endian), the text.
  const std::string text = kMeta + chrom_line({"s1", "s2", "s3", "s1"}) + '\0';
  std::string bcf = "BCF\x02\x02";
  for (int shift = 0; shift < 32; shift += 8)
    bcf += static_cast<char>((text.size() >> shift) & 0xff);
  bcf += text;
  write_bgzf(dir / "dup.bcf", {bcf});
  EXPECT_EQ(import_error_of([&] { read_vcf_samples(dir / "dup.bcf"); }),
            (dir / "dup.bcf") +
                ", header line 5: the sample name 's1' is listed twice (columns 10 and 13 of the "
                "#CHROM line)");
}

TEST(VcfReaderSamples, AFileWithoutSamplesIsRefusedAtOpen) {
  TemporaryFolder dir;
  const std::string without_format =
      std::string(kMeta) + kColumns + "\n1\t10\trs1\tA\tG\t.\t.\t.\n";
  const std::string format_only =
      std::string(kMeta) + kColumns + "\tFORMAT\n1\t10\trs1\tA\tG\t.\t.\t.\tGT\n";
  for (const std::string& text : {without_format, format_only}) {
    write_text(dir / "sites.vcf", text);
    const std::string expected =
        (dir / "sites.vcf") + ": the VCF/BCF file has no samples (no genotype columns)";
    EXPECT_EQ(import_error_of([&] { read_vcf_samples(dir / "sites.vcf"); }), expected);
    EXPECT_EQ(import_error_of([&] { scan_all(dir / "sites.vcf"); }), expected);
  }
}

TEST(VcfReaderGenotypeField, AHeaderWithoutGtAndAFirstRecordWithoutGtIsRefusedAtOpen) {
  TemporaryFolder dir;
  const std::string vcf = dir / "dosage.vcf";
  std::string meta = kMeta;
  meta.erase(meta.find("##FORMAT=<ID=GT"),
             meta.find("##FORMAT=<ID=DS") - meta.find("##FORMAT=<ID=GT"));
  // The second record carries GT, but the first decides.
  write_text(vcf, meta + chrom_line({"a", "b"}) + "1\t10\trs1\tA\tG\t.\t.\t.\tDS\t0.1\t1.9\n" +
                      "1\t20\trs2\tA\tG\t.\t.\t.\tGT\t0/1\t1/1\n");
  const std::string expected =
      vcf +
      ": no GT (genotype) field: the header declares no FORMAT=<ID=GT> and the first "
      "record has none";
  EXPECT_EQ(import_error_of([&] { read_vcf_samples(vcf); }), expected);
  EXPECT_EQ(import_error_of([&] { scan_all(vcf); }), expected);

  // No record at all: nothing could carry GT either.
  write_text(vcf, meta + chrom_line({"a", "b"}));
  EXPECT_EQ(import_error_of([&] { read_vcf_samples(vcf); }), expected);
}

TEST(VcfReaderGenotypeField, GtUsedByTheRecordsButNotDeclaredIsRead) {
  TemporaryFolder dir;
  const std::string vcf = dir / "undeclared.vcf";
  std::string meta = kMeta;
  meta.erase(meta.find("##FORMAT=<ID=GT"),
             meta.find("##FORMAT=<ID=DS") - meta.find("##FORMAT=<ID=GT"));
  write_text(vcf, meta + chrom_line({"a", "b", "c"}) +
                      "1\t10\trs1\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\t1|1\n" +
                      "1\t20\trs2\tC\tT\t.\t.\t.\tDS:GT\t0:0/0\t1:1/0\t2:./.\n");
  EXPECT_EQ(read_vcf_samples(vcf).size(), 3u);
  EXPECT_EQ(scan_all(vcf), (std::vector<std::string>{"rs1:012", "rs2:01."}));
}

TEST(VcfReaderGenotypeField, RecordsWithoutGtAreAllMissingUnlessNoneHasGt) {
  TemporaryFolder dir;
  const std::string vcf = dir / "calls.vcf";
  const std::string head = kMeta + chrom_line({"a", "b"});
  // rs4 names GT but every sample drops it (trailing fields may be left
  // out): htslib stores a GT without values, which its bcf_get_genotypes
  // answers by ending the process.
  write_text(vcf, head + "1\t10\trs1\tA\tG\t.\t.\t.\tDS\t0\t1\n" +
                      "1\t20\trs2\tA\tG\t.\t.\t.\tGT\t0/1\t./.\n" +
                      "1\t30\trs3\tA\tG\t.\t.\t.\t.\t.\t.\n" +
                      "1\t40\trs4\tA\tG\t.\t.\t.\tDS:GT\t0\t1\n" +
                      "1\t50\trs5\tA\tG\t.\t.\t.\tDS:GT\t0\t1:1/1\n");
  EXPECT_EQ(scan_all(vcf),
            (std::vector<std::string>{"rs1:..", "rs2:1.", "rs3:..", "rs4:..", "rs5:.2"}));

  // Declared, but no SNP record carries it (the indel's GT does not count).
  write_text(vcf, head + "1\t10\trs1\tA\tG\t.\t.\t.\tDS\t0\t1\n" +
                      "1\t15\trs2\tA\tAT\t.\t.\t.\tGT\t0/1\t0/0\n" +
                      "1\t20\trs3\tC\tT\t.\t.\t.\t.\t.\t.\n");
  EXPECT_EQ(import_error_of([&] { scan_all(vcf); }),
            vcf + ": no GT (genotype) field in any of its 2 biallelic SNP records");
  // Without calls asked for, there is nothing to miss.
  std::size_t visited = 0;
  scan_vcf_genotypes(
      vcf, [](std::size_t) { return false; },
      [&](std::size_t, const Variant&, std::span<const std::int8_t> calls) {
        EXPECT_TRUE(calls.empty());
        ++visited;
      });
  EXPECT_EQ(visited, 2u);
}

TEST(VcfReaderTruncation, ABgzippedFileCutAtABlockBoundaryOrInsideABlockIsRefused) {
  TemporaryFolder dir;
  const std::string whole = dir / "whole.vcf.gz";
  // Header, records 1-4 and 5-8 in blocks of their own.
  write_bgzf(whole, {kMeta + chrom_line(kSamples), records(1, 4), records(5, 8)});
  const std::string bytes = read_file(whole);
  const std::vector<std::size_t> starts = block_starts(bytes);
  ASSERT_EQ(starts.size(), 4u);
  ASSERT_EQ(bytes.size() - starts.back(), kEofBlockSize);
  ASSERT_EQ(scan_all(whole).size(), 8u);

  const std::map<std::string, std::string> cuts = {
      {"without the end-of-file block", bytes.substr(0, starts[3])},
      {"after the header block", bytes.substr(0, starts[1])},
      {"inside the last data block", bytes.substr(0, starts[2] + 30)},
      {"inside the header block", bytes.substr(0, 40)},
      {"to its first 20 bytes", bytes.substr(0, 20)},
  };
  const std::string cut = dir / "cut.vcf.gz";
  for (const auto& [what, kept] : cuts) {
    write_text(cut, kept);
    const std::string expected =
        cut + ": the file is truncated: it lacks the BGZF end-of-file block";
    EXPECT_EQ(import_error_of([&] { read_vcf_samples(cut); }), expected) << what;
    EXPECT_EQ(import_error_of([&] { scan_all(cut); }), expected) << what;
  }
}

TEST(VcfReaderTruncation, CompressedDataEndingEarlyOrDamagedBeforeTheEndBlockIsRefused) {
  TemporaryFolder dir;
  const std::string whole = dir / "whole.vcf.gz";
  write_bgzf(whole, {kMeta + chrom_line(kSamples), records(1, 4), records(5, 8)});
  const std::string bytes = read_file(whole);
  const std::vector<std::size_t> starts = block_starts(bytes);
  ASSERT_EQ(starts.size(), 4u);
  const std::string eof_block = bytes.substr(starts[3]);

  // The last data block cut in half, the end-of-file block after it: its
  // header promises more bytes than there are.
  std::string short_block = bytes.substr(0, (starts[2] + starts[3]) / 2) + eof_block;
  // A byte of the last data block's deflated data flipped.
  std::string damaged = bytes;
  damaged[(starts[2] + 18 + starts[3] - 8) / 2] ^= 0x55;
  // The first data block damaged: no record can be read.
  std::string damaged_first = bytes;
  damaged_first[(starts[1] + 18 + starts[2] - 8) / 2] ^= 0x55;
  const std::string file = dir / "bad.vcf.gz";
  const std::string problem =
      ": the file is truncated or corrupt: its compressed data ends early or "
      "does not decompress ";
  for (const auto& [what, content, where] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"short block", short_block, "(after record 4)"},
           {"damaged block", damaged, "(after record 4)"},
           {"damaged first block", damaged_first, "(before the first record)"}}) {
    write_text(file, content);
    EXPECT_EQ(read_vcf_samples(file).size(), 6u) << what;
    EXPECT_EQ(import_error_of([&] { scan_all(file); }), file + problem + where) << what;
  }

  // Damage inside the header block shows when the header is read.
  std::string damaged_header = bytes;
  damaged_header[(18 + starts[1] - 8) / 2] ^= 0x55;
  write_text(file, damaged_header);
  EXPECT_EQ(import_error_of([&] { read_vcf_samples(file); }),
            file + problem + "(inside the header)");
}

TEST(VcfReaderTruncation, ABcfFileCutShortIsRefused) {
  TemporaryFolder dir;
  write_text(dir / "calls.vcf", good_vcf());
  write_bcf(dir / "calls.vcf", dir / "calls.bcf");
  ASSERT_EQ(scan_all(dir / "calls.bcf"), scan_all(dir / "calls.vcf"));
  const std::string bytes = read_file(dir / "calls.bcf");
  const std::string cut = dir / "cut.bcf";
  for (const std::size_t size : {bytes.size() - kEofBlockSize, bytes.size() / 2}) {
    write_text(cut, bytes.substr(0, size));
    EXPECT_EQ(import_error_of([&] { read_vcf_samples(cut); }),
              cut + ": the file is truncated: it lacks the BGZF end-of-file block")
        << size;
  }
}

TEST(VcfReaderTruncation, APlainVcfCutInsideALineIsAMalformedRecord) {
  TemporaryFolder dir;
  const std::string text = good_vcf(4);
  const std::string line = record(4);
  const std::size_t start = text.size() - line.size();
  // The length of the first `columns` columns of `line`.
  const auto columns_of = [&line](int columns) {
    std::size_t end = 0;
    for (int k = 0; k < columns; ++k) end = line.find('\t', end + (k > 0 ? 1 : 0));
    return end;
  };
  const std::string vcf = dir / "cut.vcf";
  // Cut after POS or after QUAL, htslib takes the line for a record without
  // sample columns; cut after the second sample, it counts the samples.
  for (const int columns : {2, 6, 11}) {
    write_text(vcf, text.substr(0, start + columns_of(columns)));
    EXPECT_EQ(import_error_of([&] { scan_all(vcf); }),
              vcf +
                  ": record 4 is malformed (its number of columns does not match the samples); "
                  "the record before it is at 1:30")
        << text.substr(start, columns_of(columns));
  }
}


// ---------------------------------------------------------------------------
// The built program

struct ProgramRun {
  int status;
  std::string err;
};

ProgramRun run_program(const std::string& arguments, const TemporaryFolder& dir) {
  const std::string command = "'" STRATAPERM_BINARY "' import " + arguments + " > '" +
                              (dir / "stdout.txt") + "' 2> '" + (dir / "stderr.txt") + "'";
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(dir / "stderr.txt")};
}

// The files of a folder and their bytes.
std::map<std::string, std::string> folder_contents(const std::string& folder) {
  std::map<std::string, std::string> contents;
  for (const auto& entry : fs::directory_iterator(folder))
    contents[entry.path().filename().string()] = read_file(entry.path());
  return contents;
}

TEST(GenotypeReadersProgram, EachRefusalIsOneLineStatusOneAndLeavesTheStudyAsItWas) {
  TemporaryFolder dir;
  // An earlier study in "study" that a failed --force import must not touch.
  write_plink(dir / "good", "f a 0 0 1 1\nf b 0 0 1 2\nf c 0 0 2 3\nf d 0 0 1 4\nf e 0 0 2 5\n", 5,
              8);
  const std::string study = dir / "study";
  ASSERT_EQ(run_program(
                "--bfile '" + (dir / "good") + "' --background-count 3 --out '" + study + "'", dir)
                .status,
            0)
      << read_file(dir / "stderr.txt");
  const auto before = folder_contents(study);
  ASSERT_EQ(before.size(), 6u);  // the study files of import

  struct Case {
    std::string what;
    std::function<void()> make;
    std::string input;  // the --bfile or --vcf argument
    std::string message;
  };
  write_text(dir / "pheno.txt", "fa a 1\nfb b 2\nfc c 3\nfd d 4\nfe e 5\nff f 6\n");
  std::vector<Case> cases = {
      {"fam repeat",
       [&] { write_plink(dir / "dup", "f a 0 0 1 1\nf b 0 0 1 2\nf a 0 0 1 3\n", 3, 4); },
       "--bfile '" + (dir / "dup") + "'",
       (dir / "dup") + ".fam, lines 1 and 3: individual f a is listed twice"},
  };
  const std::string vcf = dir / "bad.vcf";
  const std::string gz = dir / "bad.vcf.gz";
  std::string meta = kMeta;
  meta.erase(meta.find("##FORMAT=<ID=GT"),
             meta.find("##FORMAT=<ID=DS") - meta.find("##FORMAT=<ID=GT"));
  cases.push_back({"sample repeat",
                   [&] {
                     write_text(vcf, kMeta + chrom_line({"a", "b", "a"}) + records(1, 1));
                   },
                   "--vcf '" + vcf + "'",
                   vcf + ", header line 5: the sample name 'a' is listed twice (columns 10 and 12 "
                         "of the #CHROM line)"});
  cases.push_back(
      {"no samples",
       [&] { write_text(vcf, std::string(kMeta) + kColumns + "\n1\t1\t.\tA\tG\t.\t.\t.\n"); },
       "--vcf '" + vcf + "'", vcf + ": the VCF/BCF file has no samples (no genotype columns)"});
  cases.push_back({"no GT",
                   [&] {
                     write_text(vcf, meta + chrom_line(kSamples) +
                                         "1\t1\t.\tA\tG\t.\t.\t.\tDS\t0\t1\t2\t0\t1\t2\n");
                   },
                   "--vcf '" + vcf + "'",
                   vcf + ": no GT (genotype) field: the header declares no FORMAT=<ID=GT> and "
                         "the first record has none"});
  cases.push_back({"GT in no SNP record",
                   [&] {
                     write_text(vcf, kMeta + chrom_line(kSamples) +
                                         "1\t1\t.\tA\tG\t.\t.\t.\tDS\t0\t1\t2\t0\t1\t2\n");
                   },
                   "--vcf '" + vcf + "'",
                   vcf + ": no GT (genotype) field in any of its 1 biallelic SNP records"});
  cases.push_back({"cut at a block boundary",
                   [&] {
                     write_bgzf(gz, {kMeta + chrom_line(kSamples), records(1, 8)});
                     const std::string bytes = read_file(gz);
                     write_text(gz, bytes.substr(0, bytes.size() - kEofBlockSize));
                   },
                   "--vcf '" + gz + "'",
                   gz + ": the file is truncated: it lacks the BGZF end-of-file block"});
  cases.push_back({"short block",
                   [&] {
                     write_bgzf(gz, {kMeta + chrom_line(kSamples), records(1, 4), records(5, 8)});
                     const std::string bytes = read_file(gz);
                     const auto starts = block_starts(bytes);
                     write_text(gz, bytes.substr(0, starts[2] + 20) + bytes.substr(starts[3]));
                   },
                   "--vcf '" + gz + "'",
                   gz + ": the file is truncated or corrupt: its compressed data ends early or "
                        "does not decompress (after record 4)"});
  for (const Case& c : cases) {
    c.make();
    for (const std::string& out : {"'" + study + "' --force", "'" + (dir / "fresh") + "'"}) {
      const ProgramRun run = run_program(
          c.input + " --pheno '" + (dir / "pheno.txt") + "' --background-count 3 --out " + out,
          dir);
      EXPECT_EQ(run.status, 1) << c.what;
      EXPECT_EQ(run.err, "strataperm: " + c.message + "\n") << c.what;
    }
    EXPECT_EQ(folder_contents(study), before) << c.what;
    EXPECT_FALSE(fs::exists(dir / "fresh")) << c.what;
  }
}

}  // namespace
}  // namespace strataperm
