// Text inputs stored gzip- or bgzip-compressed read as their plain text does:
// the line reader, the study folder's token reader, and the errors of files
// that are cut short or corrupt.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <htslib/bgzf.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.hpp"
#include "core/study.hpp"
#include "io/record_reader.hpp"
#include "io/study_reader.hpp"

namespace strataperm {
namespace {

namespace fs = std::filesystem;

std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_bytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The InputError message `read` throws ("" when it throws none).
template <typename Read>
std::string error_of(Read read) {
  try {
    read();
  } catch (const InputError& error) {
    return error.what();
  }
  return "";
}

class CompressedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("strataperm_compressed_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string plain(const std::string& name, const std::string& text) {
    write_bytes(folder_ / name, text);
    return (folder_ / name).string();
  }
  // `text` through the gzip program (one member, no name or time stamp).
  std::string gzip(const std::string& name, const std::string& text) {
    const fs::path source = folder_ / (name + ".source");
    write_bytes(source, text);
    const std::string command =
        "gzip -n -c '" + source.string() + "' > '" + (folder_ / name).string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    fs::remove(source);
    return (folder_ / name).string();
  }
  // `text` in BGZF blocks through htslib's writer, with its end-of-file block.
  std::string bgzip(const std::string& name, const std::string& text) {
    const std::string path = (folder_ / name).string();
    BGZF* out = bgzf_open(path.c_str(), "w");
    EXPECT_NE(out, nullptr);
    EXPECT_EQ(bgzf_write(out, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_EQ(bgzf_close(out), 0);
    return path;
  }
  // The three forms of `text`, under names that all end in `.txt`: the
  // readers judge content, never names.
  std::vector<std::string> every_form(const std::string& stem, const std::string& text) {
    return {plain(stem + "_plain.txt", text), gzip(stem + "_gzip.txt", text),
            bgzip(stem + "_bgzip.txt", text)};
  }

  fs::path folder_;
};

struct ReadLine {
  std::string text;
  long long number;
};

std::vector<ReadLine> all_lines(const std::string& path) {
  RecordReader reader(path);
  std::vector<ReadLine> lines;
  std::string line;
  while (reader.next_line(line)) lines.push_back({line, reader.line_number()});
  return lines;
}

// The lines of `text` split by hand: at each line break, less the carriage
// returns before it; a last line without a break counts.
std::vector<std::string> expected_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void expect_lines(const std::string& path, const std::vector<std::string>& expected) {
  SCOPED_TRACE(path);
  const std::vector<ReadLine> lines = all_lines(path);
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t k = 0; k < lines.size(); ++k) {
    ASSERT_EQ(lines[k].text, expected[k]) << "line " << k + 1;
    ASSERT_EQ(lines[k].number, static_cast<long long>(k + 1));
  }
}

using LinesOfCompressedFiles = CompressedFiles;

TEST_F(LinesOfCompressedFiles, EveryFormGivesThePlainTextsLines) {
  // Many BGZF blocks and read chunks, whose boundaries fall inside lines; CRLF
  // and bare lines; a NUL inside a line; a line longer than any chunk; and a
  // last line without its break.
  std::string text = "FID IID trait\r\n\n\r\n";
  for (int k = 0; k < 60000; ++k) {
    const std::string number = std::to_string(k);
    text.append("f").append(number).append("\ti").append(number).append("\t");
    text.append(std::to_string(k * 0.25)).append(k % 7 ? "\n" : "\r\n");
  }
  text += std::string("a\0b", 3) + "\n";
  text += std::string(700000, 'x') + "\r\r\n";
  text += "last line";
  const std::vector<std::string> expected = expected_lines(text);
  ASSERT_EQ(expected.size(), 60006u);
  for (const std::string& path : every_form("lines", text)) expect_lines(path, expected);

  // Two gzip members one after another (cat a.gz b.gz) read as one text,
  // even when the cut between them falls inside a line.
  const std::size_t cut = text.size() / 3 + 5;
  const std::string first = file_bytes(gzip("first.gz", text.substr(0, cut)));
  const std::string second = file_bytes(gzip("second.gz", text.substr(cut)));
  expect_lines(plain("members.txt", first + second), expected);
}

TEST_F(LinesOfCompressedFiles, EmptyInputsHaveNoLines) {
  for (const std::string& path : every_form("empty", "")) {
    EXPECT_TRUE(all_lines(path).empty()) << path;
  }
  for (const std::string& path : every_form("breaks", "\n\r\n\n")) {
    RecordReader reader(path);
    std::vector<std::string> fields;
    EXPECT_FALSE(reader.next_fields(fields)) << path;
    EXPECT_EQ(reader.line_number(), 3) << path;
  }
}

TEST_F(LinesOfCompressedFiles, MessagesNameTheFileAndTheLineAsForPlainText) {
  const std::string text = "# header\n\nid1 1.5\nid2 oops\nid3 2\n";
  for (const std::string& path : every_form("table", text)) {
    RecordReader reader(path);
    std::vector<std::string> fields;
    std::string message;
    while (reader.next_fields(fields)) {
      if (fields[1] == "oops") {
        message = error_of([&] { reader.fail("'oops' is not a number"); });
        break;
      }
    }
    EXPECT_EQ(message, path + ", line 4: 'oops' is not a number");
  }
}

TEST_F(LinesOfCompressedFiles, AGzipFileCutShortOrCorruptIsRefusedWithItsName) {
  std::string text;
  for (int k = 0; k < 40000; ++k) text += "marker" + std::to_string(k) + " " + std::to_string(k % 3) + "\n";
  const std::string whole = file_bytes(gzip("whole.gz", text));
  ASSERT_GT(whole.size(), 1000u);
  const std::string prefix_of = ": the compressed data is truncated or corrupt: it breaks off or fails to decompress ";
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::string bad_data = whole;
  for (std::size_t k = whole.size() / 2; k < whole.size() / 2 + 16; ++k) bad_data[k] = static_cast<char>(~bad_data[k]);
  std::string bad_check = whole;
  bad_check[whole.size() - 6] = static_cast<char>(~bad_check[whole.size() - 6]);  // the CRC-32
  const Case cases[] = {
      {"magic_only.txt", whole.substr(0, 2)},
      {"header_only.txt", whole.substr(0, 12)},
      {"header_and_some.txt", whole.substr(0, 30)},
      {"half.txt", whole.substr(0, whole.size() / 2)},
      {"no_trailer.txt", whole.substr(0, whole.size() - 8)},
      {"short_trailer.txt", whole.substr(0, whole.size() - 3)},
      {"bad_data.txt", bad_data},
      {"bad_check.txt", bad_check},
  };
  for (const Case& c : cases) {
    const std::string path = plain(c.name, c.bytes);
    long long lines_read = 0;
    const std::string message = error_of([&] {
      RecordReader reader(path);
      std::string line;
      while (reader.next_line(line)) lines_read = reader.line_number();
    });
    ASSERT_EQ(message.rfind(path + prefix_of, 0), 0u) << c.name << ": " << message;
    // It says how far the text read whole went.
    if (lines_read == 0) {
      EXPECT_EQ(message, path + prefix_of + "in its first line");
    } else {
      EXPECT_EQ(message, path + prefix_of + "after line " + std::to_string(lines_read));
    }
  }
}

TEST_F(LinesOfCompressedFiles, ABgzipFileCutAtABlockBoundaryIsRefused) {
  std::string text;
  for (int k = 0; k < 50000; ++k) text += "rs" + std::to_string(k) + "\n";
  const std::string whole = file_bytes(bgzip("whole.gz", text));
  // The end-of-file block is the last 28 bytes; without it every block left
  // decompresses cleanly.
  const std::string path = plain("cut.txt", whole.substr(0, whole.size() - 28));
  EXPECT_EQ(error_of([&] { RecordReader reader(path); }),
            path + ": the file is truncated: it lacks the BGZF end-of-file block");
  // Cut inside a block, the block itself is refused.
  const std::string inside = plain("inside.txt", whole.substr(0, whole.size() / 2));
  EXPECT_NE(error_of([&] {
              RecordReader reader(inside);
              std::string line;
              while (reader.next_line(line)) {
              }
            }).find(inside + ": "),
            std::string::npos);
}

TEST_F(LinesOfCompressedFiles, FilesThatCannotBeOpenedOrReadKeepTheirMessages) {
  const std::string missing = (folder_ / "missing.txt").string();
  try {
    RecordReader reader(missing);
    FAIL() << "opened a missing file";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), missing + ": cannot open the file");
    EXPECT_EQ(error.category(), Error::Category::malformed_input);
  }
  const std::string folder = (folder_ / "a_folder").string();
  fs::create_directories(folder);
  EXPECT_EQ(error_of([&] {
              RecordReader reader(folder);
              std::string line;
              reader.next_line(line);
            }),
            folder + ": read error");
  // Names that htslib would read otherwise ("-" its standard input, "data:"
  // an inline URL) are file names here.
  for (const char* odd : {"-", "data:,text"}) {
    const fs::path path = folder_ / odd;
    write_bytes(path, "one\ntwo\n");
    const fs::path here = fs::current_path();
    fs::current_path(folder_);
    const std::vector<ReadLine> lines = all_lines(odd);
    fs::current_path(here);
    ASSERT_EQ(lines.size(), 2u) << odd;
    EXPECT_EQ(lines[1].text, "two");
  }
}

TEST_F(LinesOfCompressedFiles, ACompressedStreamFromAPipeReads) {
  // As `--pheno <(zcat ...)` or a named pipe gives it: no seeking, so the
  // end-of-file block cannot be checked, but the text reads whole.
  std::string text;
  for (int k = 0; k < 20000; ++k) text.append("i").append(std::to_string(k)).append(" ").append(std::to_string(k % 5)).append("\n");
  const std::string bytes = file_bytes(bgzip("stream.gz", text));
  const std::string fifo = (folder_ / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << bytes; });
  std::vector<ReadLine> lines;
  const std::string message = error_of([&] { lines = all_lines(fifo); });
  writer.join();
  EXPECT_EQ(message, "");
  EXPECT_EQ(lines.size(), 20000u);
  if (!lines.empty()) {
    EXPECT_EQ(lines.back().text, "i19999 4");
  }
}

// A study folder's three files, compressed one way or another, read as the
// plain ones do.
class CompressedStudy : public CompressedFiles {
 protected:
  static constexpr int kIndividuals = 300, kLoci = 200, kMarkers = 40;

  std::string parameter_text() const {
    return "genotypes\ngeno.txt\ntraits\ntraits.txt\nresults\nout.txt\npermutations\n10\nloci\n" +
           std::to_string(kLoci) + "\nmarkers\n" + std::to_string(kMarkers) + "\nindividuals\n" +
           std::to_string(kIndividuals) + "\n";
  }
  static std::string genotype_text() {
    std::string text = "header\n";
    for (int i = 0; i < kIndividuals; ++i) {
      for (int l = 0; l < kLoci; ++l) text += std::to_string((i * 7 + l) % 3 / 2) + " " + std::to_string((i + l * 5) % 2) + " ";
      text += "\n";
    }
    return text;
  }
  static std::string trait_text() {
    std::string text = "header\n";
    for (int i = 0; i < kIndividuals; ++i) {
      text += std::to_string(0.125 * (i % 17) - 1.0);
      for (int m = 0; m < kMarkers; ++m) {
        if ((i + m) % 11 == 0) {
          text += " . .";
        } else {
          text.append(" ").append(std::to_string((i * m) % 2)).append(" ").append(std::to_string((i + m) % 2));
        }
      }
      text += "\n";
    }
    return text;
  }
  // Writes the study in a subfolder, each file in the form `form` gives it.
  std::string study(const std::string& name, const std::string& forms, const std::string& geno,
                    const std::string& traits) {
    fs::create_directories(folder_ / name);
    const std::string files[3][2] = {{"parameter.txt", parameter_text()}, {"geno.txt", geno}, {"traits.txt", traits}};
    for (int k = 0; k < 3; ++k) {
      const std::string path = name + "/" + files[k][0];
      if (forms[k] == 'g') gzip(path, files[k][1]);
      else if (forms[k] == 'b') bgzip(path, files[k][1]);
      else plain(path, files[k][1]);
    }
    return (folder_ / name).string();
  }
};

TEST_F(CompressedStudy, EveryMixOfFormsReadsTheSameStudy) {
  Parameters expected_parameters;
  SampleData expected;
  read_parameters(study("plain", "ppp", genotype_text(), trait_text()), expected_parameters, expected);
  ASSERT_TRUE(expected.locus_count.narrow());
  for (const char* forms : {"ggg", "bbb", "pgb", "bpg", "gbp"}) {
    SCOPED_TRACE(forms);
    Parameters parameters;
    SampleData data;
    read_parameters(study(forms, forms, genotype_text(), trait_text()), parameters, data);
    EXPECT_EQ(parameters.genotype_file, "geno.txt");
    EXPECT_EQ(parameters.n_individuals, kIndividuals);
    EXPECT_EQ(data.locus_count.bytes, expected.locus_count.bytes);
    EXPECT_EQ(data.marker_class, expected.marker_class);
    EXPECT_EQ(data.trait, expected.trait);
  }
}

TEST_F(CompressedStudy, MistakesInACompressedFileReadAsInThePlainOne) {
  std::string geno = genotype_text();
  // A bad code on the data's line 151 (the file's 152nd line).
  std::size_t at = 0;
  for (int k = 0; k < 151; ++k) at = geno.find('\n', at) + 1;
  geno.insert(at, "x ");
  const std::string trait_short = trait_text().substr(0, trait_text().size() / 2);
  for (const std::string forms : {"pgg", "pbb"}) {
    Parameters parameters;
    SampleData data;
    const std::string compressed = study(forms + "_geno", forms, geno, trait_text());
    const std::string plain_study = study("plain_geno_" + forms, "ppp", geno, trait_text());
    const std::string got = error_of([&] { read_parameters(compressed, parameters, data); });
    EXPECT_EQ(got, error_of([&] { read_parameters(plain_study, parameters, data); }));
    EXPECT_NE(got.find("geno.txt, line 152: individual 151, locus 1, first allele: 'x' is not an "
                       "integer allele code"),
              std::string::npos)
        << got;
    const std::string early = study(forms + "_short", forms, genotype_text(), trait_short);
    const std::string plain_early = study("plain_short_" + forms, "ppp", genotype_text(), trait_short);
    const std::string early_message = error_of([&] { read_parameters(early, parameters, data); });
    EXPECT_EQ(early_message, error_of([&] { read_parameters(plain_early, parameters, data); }));
    EXPECT_EQ(early_message.rfind("traits.txt: the file ends early", 0), 0u) << early_message;
  }
}

TEST_F(CompressedStudy, ACutGenotypeFileIsRefusedAndAMissingOneKeepsItsMessage) {
  const std::string folder = study("cut", "ppp", genotype_text(), trait_text());
  const std::string whole = file_bytes(gzip("geno.gz", genotype_text()));
  write_bytes(fs::path(folder) / "geno.txt", whole.substr(0, whole.size() - 30));
  Parameters parameters;
  SampleData data;
  EXPECT_EQ(error_of([&] { read_parameters(folder, parameters, data); })
                .rfind("geno.txt: the compressed data is truncated or corrupt: it breaks off or "
                       "fails to decompress ",
                       0),
            0u);
  fs::remove(fs::path(folder) / "geno.txt");
  try {
    read_parameters(folder, parameters, data);
    FAIL() << "read a study without its genotype file";
  } catch (const Error& error) {
    EXPECT_EQ(error.category(), Error::Category::cannot_open);
    EXPECT_EQ(std::string(error.what()), "can't open file geno.txt in current directory");
  }
}

}  // namespace
}  // namespace strataperm
