#include "commands/plot/run_tables.hpp"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "core/errors.hpp"
#include "io/record_reader.hpp"

namespace strataperm::plot {

namespace {

// `text` as a whole real number (strtod's forms, "nan" and "inf" included),
// or false.
bool parse_real(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0';
}

// `text` as a whole number from `minimum` to INT_MAX, or false.
bool parse_count(const std::string& text, long long minimum, long long& value) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stoll(text);
  return value >= minimum && value <= INT_MAX;
}

// sscanf of the whole of `text` against `pattern` (which ends in "%n"):
// true when all `fields` conversions were made and nothing is left over.
template <typename... Targets>
bool scan_whole(const std::string& text, const char* pattern, int fields, Targets*... targets) {
  int used = -1;
  const int made = std::sscanf(text.c_str(), pattern, targets..., &used);
  return made == fields && used == static_cast<int>(text.size());
}

}  // namespace

LoggedRun read_run_log(const std::string& path) {
  RecordReader reader(path);
  std::string line;
  if (!reader.next_line(line) || line.rfind("strataperm ", 0) != 0)
    throw InputError(path + ": it does not start with the 'strataperm VERSION' line of a run log");
  // The first line of each key the report needs, with its line number.
  static const char* const kKeys[] = {"results_file", "individuals", "background_loci",
                                      "markers",      "permutations", "one_group",
                                      "two_groups",   "verdict"};
  std::map<std::string, std::pair<std::string, long long>> found;
  std::string adjustment;
  while (reader.next_line(line)) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0) reader.fail("the line is not 'KEY<TAB>VALUE'");
    const std::string key = line.substr(0, tab);
    for (const char* wanted : kKeys)
      if (key == wanted) found.emplace(key, std::make_pair(line.substr(tab + 1), reader.line_number()));
    if (key == "adjustment") adjustment = line.substr(tab + 1);
  }
  for (const char* wanted : kKeys) {
    if (found.count(wanted) == 0)
      throw InputError(path + ": it has no '" + wanted +
                       "' line; it is not the log of a finished 'strataperm run'");
  }
  const auto where = [&](const char* key) {
    return path + ", line " + std::to_string(found.at(key).second) + ": ";
  };
  LoggedRun run;
  Parameters& p = run.parameters;
  p.output_file = found.at("results_file").first;
  if (p.output_file.empty()) throw InputError(where("results_file") + "the results file name is empty");
  const std::pair<const char*, int*> counts[] = {{"individuals", &p.n_individuals},
                                                 {"background_loci", &p.n_loci},
                                                 {"markers", &p.n_markers},
                                                 {"permutations", &p.n_permutations}};
  for (const auto& [key, target] : counts) {
    long long value = 0;
    if (!parse_count(found.at(key).first, 1, value))
      throw InputError(where(key) + "'" + key + "' is not a whole number from 1 up");
    *target = static_cast<int>(value);
  }

  StructureFit& fit = run.fit;
  if (!scan_whole(found.at("one_group").first, "mean=%lf variance=%lf BIC=%lf%n", 3, &fit.mean,
                  &fit.variance, &fit.bic_one))
    throw InputError(where("one_group") + "'one_group' is not 'mean=M variance=V BIC=B'");
  if (!scan_whole(found.at("two_groups").first,
                  "component1 mean=%lf variance=%lf weight=%lf; component0 mean=%lf "
                  "variance=%lf weight=%lf; BIC=%lf; assignment passes=%d%n",
                  8, &fit.mean1, &fit.variance1, &fit.weight1, &fit.mean0, &fit.variance0,
                  &fit.weight0, &fit.bic_two, &fit.passes))
    throw InputError(where("two_groups") +
                     "'two_groups' is not 'component1 mean=M variance=V weight=W; component0 "
                     "mean=M variance=V weight=W; BIC=B; assignment passes=K'");
  const std::string& verdict = found.at("verdict").first;
  if (verdict != "population structure" && verdict != "no population structure")
    throw InputError(where("verdict") +
                     "'verdict' is neither 'population structure' nor 'no population structure'");
  fit.structure = verdict == "population structure";
  fit.separated = !std::isnan(fit.bic_one);
  run.emp1_counts_the_observed = adjustment.rfind("means", 0) == 0;
  return run;
}

std::vector<AssociationRow> read_association_rows(const std::string& path, int n_markers) {
  static const char* const kHeader =
      "#CHROM\tPOS\tID\tA1\tA2\tA1_FREQ\tOBS_CT\tBETA_ADD\tSE_ADD\tBETA_DOM\tSE_DOM\tF_STAT\tP\tEMP1"
      "\tEMP2";
  static const char* const kNames[] = {"#CHROM", "POS",     "ID",     "A1",     "A2",
                                       "A1_FREQ", "OBS_CT", "BETA_ADD", "SE_ADD", "BETA_DOM",
                                       "SE_DOM", "F_STAT",  "P",      "EMP1",   "EMP2"};
  RecordReader reader(path);
  std::string line;
  if (!reader.next_line(line) || line != kHeader)
    throw InputError(path + ", line 1: it is not the header of a 'strataperm run' marker table "
                            "(#CHROM POS ID A1 A2 A1_FREQ OBS_CT BETA_ADD SE_ADD BETA_DOM SE_DOM "
                            "F_STAT P EMP1 EMP2, tab-separated)");
  std::vector<AssociationRow> rows;
  rows.reserve(static_cast<std::size_t>(n_markers));
  while (reader.next_line(line)) {
    if (static_cast<long long>(rows.size()) == n_markers)
      reader.fail("the table goes on after the " + std::to_string(n_markers) +
                  " markers of the run");
    const std::vector<std::string> fields = split_tabs(line);
    if (fields.size() != 15)
      reader.fail(std::to_string(fields.size()) + " tab-separated fields, not 15");
    for (int k : {0, 1, 2})
      if (fields[static_cast<std::size_t>(k)].empty())
        reader.fail(std::string("the ") + kNames[k] + " field is empty");
    double values[15] = {};
    for (int k = 5; k < 15; ++k) {
      const std::string& field = fields[static_cast<std::size_t>(k)];
      double& value = values[k];
      if (field == "NA" && k != 13) {
        value = NAN;
        continue;
      }
      if (!parse_real(field, value))
        reader.fail(std::string(kNames[k]) + " '" + field + "' is not a number" +
                    (k == 13 ? "" : " or NA"));
      if (k >= 12 && !(value >= 0.0 && value <= 1.0))
        reader.fail(std::string(kNames[k]) + " " + field + " is not in [0, 1]");
    }
    AssociationRow row;
    row.chromosome = fields[0];
    row.position = fields[1];
    row.id = fields[2];
    row.beta_add = values[7];
    row.beta_dom = values[9];
    row.p = values[12];
    row.emp1 = values[13];
    row.emp2 = values[14];
    rows.push_back(std::move(row));
  }
  if (static_cast<long long>(rows.size()) != n_markers)
    throw InputError(path + ": the table ends after line " + std::to_string(reader.line_number()) +
                     " with " + std::to_string(rows.size()) + " of the " +
                     std::to_string(n_markers) + " markers of the run");
  return rows;
}

std::vector<std::pair<double, std::int64_t>> read_similarity_counts(const std::string& path,
                                                                    int n_individuals) {
  RecordReader reader(path);
  std::string line;
  if (!reader.next_line(line) || line != "#SIMILARITY\tPAIRS")
    throw InputError(path + ", line 1: it is not the header '#SIMILARITY<TAB>PAIRS'");
  std::vector<std::pair<double, std::int64_t>> counts;
  long long total = 0;
  const long long expected =
      static_cast<long long>(n_individuals) * (static_cast<long long>(n_individuals) - 1) / 2;
  while (reader.next_line(line)) {
    const std::vector<std::string> fields = split_tabs(line);
    if (fields.size() != 2) reader.fail("the line is not 'SIMILARITY<TAB>PAIRS'");
    double similarity = 0.0;
    if (!parse_real(fields[0], similarity))
      reader.fail("the similarity '" + fields[0] + "' is not a number");
    long long pairs = 0;
    if (fields[1].empty() || fields[1].size() > 18 ||
        fields[1].find_first_not_of("0123456789") != std::string::npos ||
        (pairs = std::stoll(fields[1])) < 1)
      reader.fail("the pair count '" + fields[1] + "' is not a whole number from 1 up");
    if (std::isnan(similarity)) {
      // 0/0: no two individuals differ, and that is the only row.
      if (!counts.empty()) reader.fail("a NaN similarity beside others");
    } else {
      if (!(similarity >= 0.0 && similarity <= 1.0))
        reader.fail("the similarity " + fields[0] + " is not in [0, 1]");
      if (!counts.empty() && !(similarity > counts.back().first))
        reader.fail("the similarities are not ascending");
    }
    if (pairs > expected - total)
      reader.fail("the pairs add up to more than the " + std::to_string(expected) +
                  " pairs of the " + std::to_string(n_individuals) + " individuals of the run");
    total += pairs;
    counts.emplace_back(similarity, pairs);
  }
  if (total != expected)
    throw InputError(path + ": its pairs add up to " + std::to_string(total) + ", not the " +
                     std::to_string(expected) + " pairs of the " +
                     std::to_string(n_individuals) + " individuals of the run");
  return counts;
}

}  // namespace strataperm::plot
