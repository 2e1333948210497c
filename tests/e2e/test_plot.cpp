// `strataperm plot`: the SVG report of a finished study, run as the built
// program on copies of the golden "two_groups" study and on the output
// folder of `strataperm run --bfile` on a small PLINK fileset.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "commands/options.hpp"
#include "commands/plot/plot_command.hpp"
#include "e2e/genotype_files.hpp"
#include "numerics/random.hpp"

namespace {

namespace fs = std::filesystem;
using namespace strataperm;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::size_t count_of(const std::string& text, const std::string& word) {
  std::size_t count = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
    ++count;
  return count;
}

// The text of the first <g ...> element whose start tag holds `marker`, up
// to its closing tag (groups in the report are never nested).
std::string group_with(const std::string& svg, const std::string& marker) {
  const std::size_t at = svg.find(marker);
  if (at == std::string::npos) return "";
  const std::size_t end = svg.find("</g>", at);
  return svg.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// ----------------------------------------------------------- XML checking

bool is_name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ':' ||
         c == '.';
}

// True when every '&' in `text` starts one of the predefined entities or a
// character reference, and `text` holds no '<'.
bool entities_valid(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '<') return false;
    if (text[i] != '&') continue;
    const std::size_t semicolon = text.find(';', i);
    if (semicolon == std::string::npos) return false;
    const std::string entity = text.substr(i + 1, semicolon - i - 1);
    const bool numeric = entity.size() > 1 && entity[0] == '#' &&
                         entity.find_first_not_of("0123456789", 1) == std::string::npos;
    if (!numeric && entity != "amp" && entity != "lt" && entity != "gt" && entity != "quot" &&
        entity != "apos")
      return false;
  }
  return true;
}

// A small well-formedness check: an optional declaration, one root element,
// balanced and properly nested tags, attributes name="value" (or '...') each
// once per tag, and valid entities in text and attribute values. Comments and
// processing instructions are skipped. Returns "" when well formed, else what
// is wrong.
std::string xml_problem(const std::string& xml) {
  std::vector<std::string> open;
  bool root_seen = false;
  std::size_t i = 0;
  while (i < xml.size()) {
    if (xml[i] != '<') {
      const std::size_t next = std::min(xml.find('<', i), xml.size());
      const std::string text = xml.substr(i, next - i);
      if (!entities_valid(text)) return "bad character data near offset " + std::to_string(i);
      if (open.empty() && text.find_first_not_of(" \t\r\n") != std::string::npos)
        return "text outside the root element";
      i = next;
      continue;
    }
    if (xml.compare(i, 4, "<!--") == 0) {
      const std::size_t end = xml.find("-->", i);
      if (end == std::string::npos) return "unterminated comment";
      i = end + 3;
      continue;
    }
    if (xml.compare(i, 2, "<?") == 0) {
      const std::size_t end = xml.find("?>", i);
      if (end == std::string::npos) return "unterminated declaration";
      i = end + 2;
      continue;
    }
    if (xml.compare(i, 2, "</") == 0) {
      const std::size_t end = xml.find('>', i);
      if (end == std::string::npos) return "unterminated end tag";
      const std::string name = xml.substr(i + 2, end - i - 2);
      if (open.empty() || open.back() != name) return "end tag </" + name + "> does not match";
      open.pop_back();
      i = end + 1;
      continue;
    }
    // A start tag or an empty-element tag.
    std::size_t k = i + 1;
    while (k < xml.size() && is_name_char(xml[k])) ++k;
    const std::string name = xml.substr(i + 1, k - i - 1);
    if (name.empty()) return "a tag without a name at offset " + std::to_string(i);
    if (open.empty() && root_seen) return "a second root element <" + name + ">";
    std::vector<std::string> attributes;
    for (;;) {
      const std::size_t before = k;
      while (k < xml.size() && std::isspace(static_cast<unsigned char>(xml[k]))) ++k;
      if (k >= xml.size()) return "unterminated tag <" + name + ">";
      if (xml[k] == '>' || xml.compare(k, 2, "/>") == 0) break;
      if (k == before) return "attributes of <" + name + "> not separated by space";
      const std::size_t start = k;
      while (k < xml.size() && is_name_char(xml[k])) ++k;
      const std::string attribute = xml.substr(start, k - start);
      if (attribute.empty() || k + 1 >= xml.size() || xml[k] != '=' ||
          (xml[k + 1] != '"' && xml[k + 1] != '\''))
        return "unquoted or malformed attribute in <" + name + ">";
      for (const std::string& seen : attributes)
        if (seen == attribute) return "attribute " + attribute + " twice in <" + name + ">";
      attributes.push_back(attribute);
      const char quote = xml[k + 1];
      const std::size_t close = xml.find(quote, k + 2);
      if (close == std::string::npos) return "unterminated attribute value in <" + name + ">";
      if (!entities_valid(xml.substr(k + 2, close - k - 2)))
        return "bad attribute value in <" + name + ">";
      k = close + 1;
    }
    root_seen = true;
    if (xml[k] == '>') {
      open.push_back(name);
      i = k + 1;
    } else {
      i = k + 2;
    }
  }
  if (!open.empty()) return "<" + open.back() + "> is never closed";
  if (!root_seen) return "no root element";
  return "";
}

// When a Python interpreter is at hand, its XML parser's verdict on the file
// too (exit 0: well formed). True when there is none.
bool python_parses(const fs::path& file) {
  if (std::system("python3 -c 'import xml.dom.minidom' > /dev/null 2>&1") != 0) return true;
  const std::string command =
      "python3 -c 'import xml.dom.minidom,sys; xml.dom.minidom.parse(sys.argv[1])' '" +
      file.string() + "'";
  return std::system(command.c_str()) == 0;
}

TEST(PlotXmlCheck, RejectsTheFaultsItLooksFor) {
  EXPECT_EQ(xml_problem("<?xml version=\"1.0\"?>\n<a x=\"1\" y='2'><b/>t &amp; &#38;</a>\n"), "");
  for (const char* bad : {"<a><b></a></b>", "<a>", "<a x=1/>", "<a x=\"1\" x=\"2\"/>",
                          "<a>&</a>", "<a>&nbsp;</a>", "<a t=\"<\"/>", "<a/><b/>", "text<a/>",
                          "<a x=\"1\"y=\"2\"/>"})
    EXPECT_NE(xml_problem(bad), "") << bad;
}

// ----------------------------------------------------------- study set-up

// A fresh folder under the temporary directory, removed with the object.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& name)
      : path_(fs::temp_directory_path() /
              ("strataperm_plot_" + std::to_string(::getpid()) + "_" + name)) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TemporaryFolder() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Copies the golden "two_groups" study (N = 30, L = 80, M = 12, R = 200)
// with its expected results file into `folder`.
void copy_finished_study(const fs::path& folder) {
  const fs::path golden = fs::path(STRATAPERM_GOLDEN_DIR) / "two_groups";
  fs::copy(golden / "input", folder, fs::copy_options::recursive);
  fs::copy_file(golden / "results", folder / "results.txt");
}

// markers.tsv for the 12 markers: 1-7 on chromosome "1", 8-12 on `second`.
void write_marker_table(const fs::path& folder, const std::string& second) {
  std::string text = "marker\tid\tchromosome\tposition\tallele1\tallele2\n";
  for (int j = 1; j <= 12; ++j)
    text += std::to_string(j) + "\trs" + std::to_string(j) + "\t" + (j <= 7 ? "1" : second) +
            "\t" + std::to_string(1000 * j) + "\tA\tG\n";
  write_file(folder / "markers.tsv", text);
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs "strataperm ARGS" in `folder` (arguments quoted by the caller).
Outcome run_strataperm(const fs::path& folder, const std::string& arguments) {
  const fs::path out = folder / ".." / (folder.filename().string() + ".out");
  const fs::path err = folder / ".." / (folder.filename().string() + ".err");
  const std::string command = "cd '" + folder.string() + "' && '" STRATAPERM_BINARY "' " +
                              arguments + " > '" + out.string() + "' 2> '" + err.string() + "'";
  const int raw = std::system(command.c_str());
  Outcome outcome;
  if (WIFEXITED(raw)) outcome.status = WEXITSTATUS(raw);
  outcome.out = read_file(out);
  outcome.err = read_file(err);
  fs::remove(out);
  fs::remove(err);
  return outcome;
}

// Runs "strataperm plot ARGS" in `folder`.
Outcome run_plot_command(const fs::path& folder, const std::string& arguments) {
  return run_strataperm(folder, "plot " + arguments);
}

constexpr const char* kSimilarityTitle = "Pairwise similarities of the individuals";
constexpr const char* kQqTitle = "QQ plot of the marker P-values";
constexpr const char* kManhattanTitle = "Manhattan plot of the marker P-values";
constexpr const char* kTopHitsTitle = "Top hits: the ";
constexpr const char* kLambdaCaption = "genomic inflation \xce\xbb = median(\xcf\x87\xc2\xb2) / (2 ln 2) = ";

// ----------------------------------------------------------- reports

TEST(PlotReport, DrawsAllThreePanelsOfAFinishedStudyWithMarkerPositions) {
  TemporaryFolder work("full");
  const fs::path study = work.path() / "study";
  fs::create_directories(study);
  copy_finished_study(study);
  write_marker_table(study, "chr<2> & 'b'");

  const Outcome outcome = run_plot_command(work.path(), "study");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const fs::path report = study / "results.report.svg";
  ASSERT_TRUE(fs::exists(report));
  EXPECT_NE(outcome.out.find("results.report.svg"), std::string::npos);
  const std::string svg = read_file(report);

  EXPECT_EQ(xml_problem(svg), "");
  EXPECT_TRUE(python_parses(report));
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  // Self-contained: no links to anything outside the file.
  EXPECT_EQ(svg.find("href"), std::string::npos);
  EXPECT_EQ(svg.find("http://", svg.find("xmlns") + 40), std::string::npos);

  for (const char* title : {kSimilarityTitle, kQqTitle, kManhattanTitle})
    EXPECT_EQ(count_of(svg, title), 1u) << title;

  // The refitted structure test agrees with the run's results file.
  EXPECT_NE(svg.find("BIC(1) = -742.543896"), std::string::npos);
  EXPECT_NE(svg.find("BIC(2) = -1230.827298"), std::string::npos);
  EXPECT_NE(svg.find("verdict: structure<"), std::string::npos);
  // All 30 * 29 / 2 unordered pairs are in the histogram.
  EXPECT_NE(svg.find("pairs (435 in all)"), std::string::npos);
  EXPECT_GE(count_of(group_with(svg, "class=\"histogram\""), "class=\"bar\""), 3u);
  // Each fitted curve is one path.
  for (const std::string curve : {"curve one-normal", "curve component-high",
                                  "curve component-low", "curve mixture"}) {
    EXPECT_EQ(count_of(svg, curve), 1u) << curve;
    const std::size_t at = svg.find("class=\"" + curve + "\"");
    ASSERT_NE(at, std::string::npos) << curve;
    EXPECT_EQ(svg.compare(svg.rfind('<', at), 10, "<path d=\"M"), 0) << curve;
  }

  // One point per marker (the 12 P-values all differ), in the QQ plot and on
  // the two chromosomes of the Manhattan plot, with the diagonal and the
  // threshold line.
  EXPECT_EQ(count_of(group_with(svg, "class=\"qq-points\""), "<circle"), 12u);
  EXPECT_EQ(count_of(svg, "class=\"manhattan-points\""), 2u);
  std::size_t manhattan_points = 0;
  for (std::size_t at = svg.find("class=\"manhattan-points\""); at != std::string::npos;
       at = svg.find("class=\"manhattan-points\"", at + 1))
    manhattan_points += count_of(svg.substr(at, svg.find("</g>", at) - at), "<circle");
  EXPECT_EQ(manhattan_points, 12u);
  EXPECT_NE(svg.find("class=\"diagonal\""), std::string::npos);
  EXPECT_NE(svg.find("class=\"threshold\""), std::string::npos);
  // The chromosome label arrives escaped.
  EXPECT_NE(svg.find(">chr&lt;2&gt; &amp; &apos;b&apos;</text>"), std::string::npos);
  EXPECT_EQ(svg.find("chr<2>"), std::string::npos);
  // No P-value of 0 in this study, so no note about them.
  EXPECT_EQ(svg.find("plotted at 1/(2R)"), std::string::npos);
}

TEST(PlotReport, LeavesOutTheManhattanPanelWithoutMarkerPositionsAndNotesZeroPValues) {
  TemporaryFolder work("no_markers");
  copy_finished_study(work.path());
  // The smallest P-value (marker 12's 0.055) made 0: it is drawn at
  // 1/(2R) = 1/400.
  std::string results = read_file(work.path() / "results.txt");
  const std::size_t at = results.find("12       0.05500");
  ASSERT_NE(at, std::string::npos);
  results.replace(at, 16, "12       0.00000");
  write_file(work.path() / "results.txt", results);

  const Outcome outcome = run_plot_command(work.path(), "--out=custom.svg");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_FALSE(fs::exists(work.path() / "results.report.svg"));
  const std::string svg = read_file(work.path() / "custom.svg");
  EXPECT_EQ(xml_problem(svg), "");
  EXPECT_NE(svg.find(kSimilarityTitle), std::string::npos);
  EXPECT_NE(svg.find(kQqTitle), std::string::npos);
  EXPECT_EQ(svg.find(kManhattanTitle), std::string::npos);
  EXPECT_EQ(svg.find("manhattan-points"), std::string::npos);
  EXPECT_NE(svg.find("No markers.tsv"), std::string::npos);
  EXPECT_NE(svg.find("1 P-value of 0 plotted at 1/(2R) = 0.0025"), std::string::npos);
  // -log10(1/400) = 2.60 is the top of the QQ plot: its axis reaches 2.5.
  EXPECT_NE(group_with(svg, "class=\"qq-points\"").find("<circle"), std::string::npos);
  EXPECT_NE(svg.substr(svg.find(kQqTitle)).find(">2.5</text>"), std::string::npos);
}

TEST(PlotReport, OutputPathIsTakenFromWhereTheCommandStarts) {
  TemporaryFolder work("out_path");
  const fs::path study = work.path() / "study";
  fs::create_directories(study);
  copy_finished_study(study);
  // Results kept in a subfolder: the default report goes beside them.
  std::string parameters = read_file(study / "parameter.txt");
  parameters.replace(parameters.find("results.txt"), 11, "out/res.v1.txt");
  write_file(study / "parameter.txt", parameters);
  fs::create_directories(study / "out");
  fs::rename(study / "results.txt", study / "out" / "res.v1.txt");

  ASSERT_EQ(run_plot_command(work.path(), "study").status, 0);
  EXPECT_TRUE(fs::exists(study / "out" / "res.v1.report.svg"));

  fs::create_directories(work.path() / "reports");
  ASSERT_EQ(run_plot_command(work.path(), "--out reports/r.svg study").status, 0);
  EXPECT_TRUE(fs::exists(work.path() / "reports" / "r.svg"));
  EXPECT_FALSE(fs::exists(study / "reports"));

  // A folder that cannot take the report is an error.
  const Outcome unwritable = run_plot_command(work.path(), "--out missing/r.svg study");
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_NE(unwritable.err.find("missing/r.svg"), std::string::npos);
}

TEST(PlotReport, IssuesWithMarkerPositionsLeaveThePanelOutWithANote) {
  TemporaryFolder work("bad_markers");
  copy_finished_study(work.path());
  // Marker 12 is not described.
  std::string text = "marker\tid\tchromosome\tposition\tallele1\tallele2\n";
  for (int j = 1; j <= 11; ++j)
    text += std::to_string(j) + "\trs\t1\t" + std::to_string(j) + "\tA\tG\n";
  write_file(work.path() / "markers.tsv", text);
  Outcome outcome = run_plot_command(work.path(), "");
  ASSERT_EQ(outcome.status, 0);
  EXPECT_NE(outcome.err.find("markers.tsv"), std::string::npos);
  std::string svg = read_file(work.path() / "results.report.svg");
  EXPECT_EQ(svg.find(kManhattanTitle), std::string::npos);
  EXPECT_NE(svg.find("markers.tsv could not be used"), std::string::npos);

  // Positions that are not numbers leave those markers out of the panel.
  write_marker_table(work.path(), "2");
  text = read_file(work.path() / "markers.tsv");
  text.replace(text.find("\t3000\t"), 6, "\tNA\t");
  write_file(work.path() / "markers.tsv", text);
  outcome = run_plot_command(work.path(), "");
  ASSERT_EQ(outcome.status, 0);
  svg = read_file(work.path() / "results.report.svg");
  EXPECT_NE(svg.find(kManhattanTitle), std::string::npos);
  EXPECT_NE(svg.find("1 marker without a numeric position left out"), std::string::npos);
}

TEST(PlotReport, StudyWhoseIndividualsAllAgreeHasNoHistogram) {
  TemporaryFolder work("identical");
  write_file(work.path() / "parameter.txt",
             "g\ngenotypes.txt\nt\ntraits.txt\nr\nresults.txt\nR\n10\nL\n4\nM\n2\nN\n3\n");
  // The third individual's codes differ, but not the sums that are used.
  write_file(work.path() / "genotypes.txt",
             "h\n0 1 1 1 0 0 1 1\n0 1 1 1 0 0 1 1\n1 0 1 1 0 0 1 1\n");
  write_file(work.path() / "traits.txt", "h\n1.0 0 1 1 1\n2.0 0 0 1 1\n0.5 1 1 0 1\n");
  write_file(work.path() / "results.txt",
             "verdict\n\nmarker#   P-value\n1        0.20000\n2        0.75000\n");
  const Outcome outcome = run_plot_command(work.path(), "");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::string svg = read_file(work.path() / "results.report.svg");
  EXPECT_EQ(xml_problem(svg), "");
  EXPECT_NE(svg.find("No two individuals differ"), std::string::npos);
  EXPECT_NE(svg.find("verdict: no structure<"), std::string::npos);
  EXPECT_EQ(svg.find("class=\"bar\""), std::string::npos);
  EXPECT_EQ(count_of(group_with(svg, "class=\"qq-points\""), "<circle"), 2u);
}

// ----------------------------------------------------------- failures

TEST(PlotFailures, MissingOrBrokenResultsEndWithStatusOne) {
  TemporaryFolder work("failures");
  copy_finished_study(work.path());
  const std::string results = read_file(work.path() / "results.txt");
  fs::remove(work.path() / "results.txt");

  Outcome outcome = run_plot_command(work.path(), "");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(count_of(outcome.err, "\n"), 1u) << outcome.err;
  EXPECT_NE(outcome.err.find("results.txt"), std::string::npos);
  EXPECT_NE(outcome.err.find("strataperm run"), std::string::npos);
  EXPECT_FALSE(fs::exists(work.path() / "results.report.svg"));

  // Broken tables: none, a marker beyond M, a P-value above 1, a repeated marker.
  const std::string table_start = "marker#   P-value\n";
  const std::string head = results.substr(0, results.find(table_start));
  for (const std::string& broken :
       {head, head + table_start + "13       0.50000\n", head + table_start + "3        1.50000\n",
        head + table_start + "3        0.50000\n3        0.60000\n",
        head + table_start + "3        0.5 extra\n"}) {
    write_file(work.path() / "results.txt", broken);
    outcome = run_plot_command(work.path(), "");
    EXPECT_EQ(outcome.status, 1) << broken;
    EXPECT_NE(outcome.err.find("results.txt"), std::string::npos) << outcome.err;
  }
  EXPECT_FALSE(fs::exists(work.path() / "results.report.svg"));

  // A missing data file is the readers' usual error.
  write_file(work.path() / "results.txt", results);
  fs::remove(work.path() / "traits.txt");
  outcome = run_plot_command(work.path(), "");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE((outcome.out + outcome.err).find("can't open file traits.txt"), std::string::npos);

  // A folder that does not exist.
  outcome = run_plot_command(work.path(), "no_such_study");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("no_such_study"), std::string::npos);
}

TEST(PlotFailures, BadCommandLinesAreUsageErrors) {
  // These are refused before anything is read or the folder changes.
  EXPECT_THROW(run_plot({"--outt", "x.svg"}), UsageError);
  EXPECT_THROW(run_plot({"--out"}), UsageError);
  EXPECT_THROW(run_plot({"--out="}), UsageError);
  EXPECT_THROW(run_plot({"a", "b"}), UsageError);
  EXPECT_THROW(run_plot({"--threads", "0"}), UsageError);
  EXPECT_THROW(run_plot({"--out", "a.svg", "--out", "b.svg"}), UsageError);

  TemporaryFolder work("usage");
  const Outcome unknown = run_plot_command(work.path(), "--colour red");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("--colour"), std::string::npos);
  const Outcome help = run_plot_command(work.path(), "--help");
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--out", "--threads", "--help"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

// ----------------------------------------------------------- run output folders

// A PLINK fileset "data" and "pheno.txt" in `folder`: 60 individuals of two
// populations; chromosomes 2 and 3 hold 200 SNPs whose frequencies differ
// between them (the background loci, listed in bg.txt), chromosome 1 holds
// 90 SNPs from 1.0 to 2.96 Mb with the same frequencies in both, of which
// rs1040 moves the trait strongly and the others not at all.
void write_plink_study(const fs::path& folder) {
  using testing_support::Individual;
  using testing_support::Snp;
  RandomStream gen;
  seed_random_stream(gen);
  const int n = 60;
  std::vector<Individual> individuals;
  for (int k = 1; k <= n; ++k)
    individuals.push_back({testing_support::numbered("f", k), testing_support::numbered("i", k), "-9"});
  std::vector<Snp> snps;
  std::string background;
  const auto add_snp = [&](const std::string& chromosome, int number, long long position,
                           double shift) {
    Snp snp{chromosome, testing_support::numbered("rs", number), position, "A", "G", {}};
    const double base = 0.25 + 0.5 * uniform_random(gen);
    for (int k = 0; k < n; ++k) {
      const double p = base + (k < n / 2 ? shift : -shift);
      snp.calls.push_back((uniform_random(gen) < p) + (uniform_random(gen) < p));
    }
    snps.push_back(snp);
  };
  for (int j = 0; j < 90; ++j) add_snp("1", 1000 + j, 1000000 + 22000LL * j, 0.0);
  for (int j = 0; j < 200; ++j) {
    add_snp(j < 100 ? "2" : "3", 3000 + j, 500000 + 10000LL * (j % 100), 0.2);
    background += testing_support::numbered("rs", 3000 + j) + "\n";
  }
  testing_support::write_plink((folder / "data").string(), individuals, snps);
  write_file(folder / "bg.txt", background);
  std::string pheno = "FID IID trait\n";
  for (int k = 0; k < n; ++k) {
    const double trait = (k < n / 2 ? 0.0 : 1.0) + 1.5 * snps[40].calls[static_cast<std::size_t>(k)] +
                         uniform_random(gen) - 0.5;
    pheno += individuals[static_cast<std::size_t>(k)].family_id + " " +
             individuals[static_cast<std::size_t>(k)].individual_id + " " + std::to_string(trait) +
             "\n";
  }
  write_file(folder / "pheno.txt", pheno);
}

// `strataperm run` of that fileset with `permutations` into `folder`/`out`.
void run_plink_study(const fs::path& folder, const std::string& out, int permutations) {
  const Outcome run = run_strataperm(
      folder, "run --bfile data --pheno pheno.txt --background-ids bg.txt --region 1:1000000-3000000 "
              "--permutations " + std::to_string(permutations) + " --out " + out);
  ASSERT_EQ(run.status, 0) << run.err;
}

// The rows of a RESULTS.tsv, split at tabs, without the header.
std::vector<std::vector<std::string>> table_rows(const fs::path& path) {
  std::istringstream in(read_file(path));
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream fields_in(line);
    for (std::string field; std::getline(fields_in, field, '\t');) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

std::string printed(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

TEST(PlotRunOutput, FolderOfARunFromPlinkFilesPlotsWithoutParameterFile) {
  TemporaryFolder work("plink_run");
  write_plink_study(work.path());
  run_plink_study(work.path(), "out", 400);
  const fs::path out = work.path() / "out";
  ASSERT_TRUE(fs::exists(out / "results.log"));
  ASSERT_FALSE(fs::exists(out / "parameter.txt"));
  // The report needs only the run's tables: not the genotype files.
  for (const char* extension : {".bed", ".bim", ".fam"}) fs::remove(work.path() / ("data" + std::string(extension)));

  const Outcome outcome = run_plot_command(work.path(), "out");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  EXPECT_NE(outcome.out.find("out/results.report.svg"), std::string::npos) << outcome.out;
  const fs::path report = out / "results.report.svg";
  const std::string svg = read_file(report);
  EXPECT_EQ(xml_problem(svg), "");
  EXPECT_TRUE(python_parses(report));
  for (const char* title : {kSimilarityTitle, kQqTitle, kManhattanTitle, kTopHitsTitle})
    EXPECT_EQ(count_of(svg, title), 1u) << title;
  EXPECT_NE(svg.find("N = 60 individuals,  L = 200 background loci,  M = 90 markers,  R = 400"),
            std::string::npos);
  EXPECT_NE(svg.find("drawn from: P, EMP1, EMP2: results.tsv;  similarities: "
                     "results.similarity.tsv; fits: results.log"),
            std::string::npos);
  EXPECT_NE(svg.find("pairs (1770 in all)"), std::string::npos);
  EXPECT_GE(count_of(group_with(svg, "class=\"histogram\""), "class=\"bar\""), 3u);
  EXPECT_NE(svg.find("pairs of individuals per bin (log scale)"), std::string::npos);

  const auto rows = table_rows(out / "results.tsv");
  ASSERT_EQ(rows.size(), 90u);
  // The inflation caption holds median(-2 ln P) / (2 ln 2) of the table's P.
  std::vector<double> chi2;
  for (const auto& row : rows)
    if (row[12] != "NA") chi2.push_back(-2.0 * std::log(std::stod(row[12])));
  std::sort(chi2.begin(), chi2.end());
  const std::size_t k = chi2.size() / 2;
  const double median = chi2.size() % 2 ? chi2[k] : (chi2[k - 1] + chi2[k]) / 2.0;
  EXPECT_NE(svg.find(kLambdaCaption + printed("%.3f", median / (2.0 * std::log(2.0))) +
                     ", where"),
            std::string::npos);
  // Both series of the QQ plot, P and EMP1.
  EXPECT_GE(count_of(group_with(svg, "class=\"qq-points\""), "<circle"), 10u);
  EXPECT_GE(count_of(group_with(svg, "class=\"qq-points-emp1\""), "<circle"), 2u);

  // The genome-wide line between the P-values on either side of EMP2 = 0.05.
  double below = -1.0, above = 2.0;
  for (const auto& row : rows) {
    if (row[12] == "NA" || row[14] == "NA") continue;
    const double p = std::stod(row[12]);
    if (std::stod(row[14]) <= 0.05)
      below = std::max(below, p);
    else
      above = std::min(above, p);
  }
  ASSERT_GT(below, 0.0) << "no marker of the fixture reaches EMP2 <= 0.05";
  ASSERT_LT(above, 1.5) << "every marker of the fixture reaches EMP2 <= 0.05";
  EXPECT_NE(svg.find("genome-wide significance, family-wise EMP2 = 0.05, at P = " +
                     printed("%.3g", std::sqrt(below * above)) + ":"),
            std::string::npos);
  EXPECT_EQ(count_of(svg, "class=\"family-wise\""), 2u);  // QQ and Manhattan
  EXPECT_NE(svg.find("class=\"threshold\""), std::string::npos);
  // 0.05 / 90 lies below EMP1's floor 1/(R+1) = 1/401.
  EXPECT_NE(svg.find("EMP1 cannot go below 1/(R+1) = 0.00249: R = 400 is too small to reach "
                     "0.05/M = 0.000556"),
            std::string::npos);

  // One chromosome: positions in Mb on the Manhattan axis.
  const std::string manhattan = svg.substr(svg.find(kManhattanTitle));
  EXPECT_NE(manhattan.find("position on chromosome 1 (Mb)"), std::string::npos);
  for (const char* tick : {">1.2</text>", ">2.0</text>", ">2.8</text>"})
    EXPECT_NE(manhattan.find(tick), std::string::npos) << tick;
  EXPECT_EQ(svg.find("chromosome (markers by position)"), std::string::npos);

  // The top hits: the ten smallest P, the causal SNP first.
  std::size_t best = 0;
  for (std::size_t j = 1; j < rows.size(); ++j)
    if (rows[j][12] != "NA" && std::stod(rows[j][12]) < std::stod(rows[best][12])) best = j;
  EXPECT_EQ(rows[best][2], "rs1040");
  const std::string hits = group_with(svg, "class=\"top-hits\"");
  EXPECT_EQ(count_of(hits, "class=\"top-hit-id\""), 10u);
  const std::size_t first = hits.find("class=\"top-hit-id\">");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(hits.compare(first + 19, 7, "rs1040<"), 0) << hits.substr(first, 60);
  EXPECT_NE(hits.find(">1:" + rows[best][1] + "<"), std::string::npos);
}

TEST(PlotRunOutput, TooFewPermutationsForTheGenomeWideLineAreSaid) {
  TemporaryFolder work("few_permutations");
  write_plink_study(work.path());
  run_plink_study(work.path(), "out", 10);
  const Outcome outcome = run_plot_command(work.path() / "out", "");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::string svg = read_file(work.path() / "out" / "results.report.svg");
  EXPECT_EQ(xml_problem(svg), "");
  EXPECT_EQ(svg.find("class=\"family-wise\""), std::string::npos);
  EXPECT_NE(svg.find("no genome-wide line: no marker reaches EMP2 &lt;= 0.05 (smallest EMP2 0.0909)"),
            std::string::npos);
  EXPECT_NE(svg.find("EMP2 cannot go below 1/(R + 1) = 0.0909: R = 10 is too small to reach 0.05"),
            std::string::npos);
}

TEST(PlotRunOutput, StudyFolderRunWithItsTablesIsNotComputedAgain) {
  TemporaryFolder work("study_tables");
  copy_finished_study(work.path());
  ASSERT_EQ(run_plot_command(work.path(), "").status, 0);
  const std::string recomputed = read_file(work.path() / "results.report.svg");
  EXPECT_NE(recomputed.find("similarities and fits computed again from the data files"),
            std::string::npos);
  EXPECT_EQ(recomputed.find("qq-points-emp1"), std::string::npos);

  ASSERT_EQ(run_strataperm(work.path(), "run .").status, 0);
  ASSERT_TRUE(fs::exists(work.path() / "results.similarity.tsv"));
  // Without the data files: the tables are all the report reads.
  const std::string genotypes = read_file(work.path() / "genotypes.txt");
  const std::string traits = read_file(work.path() / "traits.txt");
  fs::remove(work.path() / "genotypes.txt");
  fs::remove(work.path() / "traits.txt");
  Outcome outcome = run_plot_command(work.path(), "");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::string tabled = read_file(work.path() / "results.report.svg");
  EXPECT_EQ(xml_problem(tabled), "");
  EXPECT_NE(tabled.find("similarities: results.similarity.tsv; fits: results.log"),
            std::string::npos);
  // The same histogram, fits and verdict as computed from the data.
  EXPECT_EQ(group_with(tabled, "class=\"histogram\""), group_with(recomputed, "class=\"histogram\""));
  for (const char* text : {"BIC(1) = -742.543896", "BIC(2) = -1230.827298", "verdict: structure<",
                           "pairs (435 in all)"})
    EXPECT_NE(tabled.find(text), std::string::npos) << text;
  EXPECT_NE(tabled.find("qq-points-emp1"), std::string::npos);
  EXPECT_TRUE(tabled.find("class=\"family-wise\"") != std::string::npos ||
              tabled.find("no genome-wide line") != std::string::npos);
  // No markers.tsv: the table's ids are the marker numbers, and no places.
  EXPECT_NE(tabled.find("No markers.tsv"), std::string::npos);
  EXPECT_EQ(count_of(group_with(tabled, "class=\"top-hits\""), "class=\"top-hit-id\""), 10u);

  // A later plain run leaves the tables behind: they are not used.
  write_file(work.path() / "genotypes.txt", genotypes);
  write_file(work.path() / "traits.txt", traits);
  fs::last_write_time(work.path() / "results.txt",
                      fs::last_write_time(work.path() / "results.log") + std::chrono::seconds(5));
  outcome = run_plot_command(work.path(), "");
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.err.find("results.txt is newer than results.log"), std::string::npos)
      << outcome.err;
  EXPECT_EQ(read_file(work.path() / "results.report.svg"), recomputed);
}

TEST(PlotRunOutput, BrokenTablesAreErrorsNamingFileAndLine) {
  TemporaryFolder work("broken_tables");
  write_plink_study(work.path());
  run_plink_study(work.path(), "out", 50);
  const fs::path out = work.path() / "out";
  const auto replace_line = [](const fs::path& file, int number, const std::string& text) {
    std::istringstream in(read_file(file));
    std::string result, line;
    for (int k = 1; std::getline(in, line); ++k) result += (k == number ? text : line) + "\n";
    write_file(file, result);
  };
  const auto expect_error = [&](const std::string& where) {
    const Outcome outcome = run_plot_command(work.path(), "out");
    EXPECT_EQ(outcome.status, 1) << where;
    EXPECT_EQ(count_of(outcome.err, "\n"), 1u) << outcome.err;
    EXPECT_NE(outcome.err.find(where), std::string::npos) << outcome.err;
    EXPECT_FALSE(fs::exists(out / "results.report.svg"));
  };
  for (const char* name : {"results.tsv", "results.log", "results.similarity.tsv"}) {
    const std::string kept = read_file(out / name);
    if (std::string(name) == "results.tsv") {
      auto row = table_rows(out / name)[3];
      row[12] = "0.5x";
      std::string text;
      for (const std::string& field : row) text += (text.empty() ? "" : "\t") + field;
      replace_line(out / name, 5, text);
      expect_error("out/results.tsv, line 5: P '0.5x' is not a number or NA");
    } else if (std::string(name) == "results.log") {
      std::string log = kept;
      log.replace(log.find("\nmarkers\t90\n"), 12, "\nmarkers\tninety\n");
      write_file(out / name, log);
      expect_error("out/results.log, line ");
      expect_error(": 'markers' is not a whole number");
    } else {
      replace_line(out / name, 3, "0.5\tmany");
      expect_error("out/results.similarity.tsv, line 3: the pair count 'many'");
      fs::remove(out / name);
      expect_error("no results.similarity.tsv beside results.log in out");
    }
    write_file(out / name, kept);
  }
  ASSERT_EQ(run_plot_command(work.path(), "out").status, 0);

  // A folder that is neither a study nor a run's output.
  fs::create_directories(work.path() / "empty");
  const Outcome neither = run_plot_command(work.path(), "empty");
  EXPECT_EQ(neither.status, 1);
  EXPECT_NE(neither.err.find("neither parameter.txt nor results.log in empty"), std::string::npos)
      << neither.err;
}

}  // namespace
