#include "io/association_table.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/errors.hpp"
#include "io/output_file.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

namespace {

// An unnamed scratch file in the folder of `target`.
std::FILE* scratch_beside(const std::string& target) {
  const std::size_t slash = target.find_last_of('/');
  std::string pattern =
      (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
      ".strataperm-rows-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) throw OutputError(target + ": cannot create the file: " + std::strerror(errno));
  ::unlink(name.data());
  std::FILE* file = ::fdopen(fd, "w+b");
  if (file == nullptr) {
    ::close(fd);
    throw OutputError(target + ": cannot create the file: " + std::strerror(errno));
  }
  return file;
}

void put_real(std::FILE* out, double value) { std::fprintf(out, "\t%.6g", value); }
void put_na(std::FILE* out) { std::fputs("\tNA", out); }

}  // namespace

int exact_fraction_precision(long long denominator) {
  int digits = 0;
  for (long long k = denominator; k > 0; k /= 10) ++digits;
  return std::max(6, digits + 1);
}

AssociationTable::AssociationTable(std::string target) : target_(std::move(target)) {
  rows_ = scratch_beside(target_);
}

AssociationTable::~AssociationTable() {
  if (rows_ != nullptr) std::fclose(rows_);
}

void AssociationTable::add(std::span<const MarkerStatistics> markers) {
  if (std::fwrite(markers.data(), sizeof(MarkerStatistics), markers.size(), rows_) !=
      markers.size()) {
    throw OutputError(target_ + ": cannot write the file: " + std::strerror(errno));
  }
  count_ += static_cast<long>(markers.size());
}

TableModel table_model(Adjustment adjustment, int n_individuals, double sum_y2, int distinct_lists) {
  TableModel model;
  model.adjustment = adjustment;
  model.sum_y2 = sum_y2;
  model.residual_df =
      adjustment == Adjustment::means ? n_individuals - 2 - distinct_lists : n_individuals - 3;
  return model;
}

std::string shortest_decimal(double value) {
  char text[40];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

struct AssociationTable::Empirical {
  // Fixed runs: the replicates' maxima, ascending, and R; adaptive runs: each
  // marker's P, count and NP, and the rule's most replicates.
  const std::vector<double>* sorted_maxima = nullptr;
  int n_permutations = 0;
  const std::vector<double>* p_values = nullptr;
  const std::vector<double>* exceed = nullptr;
  const std::vector<std::int64_t>* np = nullptr;
  std::int64_t max_permutations = 0;
};

void AssociationTable::write(const TableModel& model, int n_permutations,
                             std::vector<double> replicate_maxima, const MarkerLabels& labels) {
  std::sort(replicate_maxima.begin(), replicate_maxima.end());
  Empirical empirical;
  empirical.sorted_maxima = &replicate_maxima;
  empirical.n_permutations = n_permutations;
  write_rows(model, empirical, labels);
}

void AssociationTable::write_adaptive(const TableModel& model, std::int64_t max_permutations,
                                      const std::vector<double>& p_values,
                                      const std::vector<double>& exceed,
                                      const std::vector<std::int64_t>& np,
                                      const MarkerLabels& labels) {
  Empirical empirical;
  empirical.p_values = &p_values;
  empirical.exceed = &exceed;
  empirical.np = &np;
  empirical.max_permutations = max_permutations;
  write_rows(model, empirical, labels);
}

void AssociationTable::write_rows(const TableModel& model, const Empirical& empirical,
                                  const MarkerLabels& labels) {
  const bool adaptive = empirical.np != nullptr;
  const bool sequential = model.adjustment == Adjustment::sequential;
  const int emp1_digits = exact_fraction_precision(
      2LL * (adaptive ? static_cast<long long>(empirical.max_permutations) : empirical.n_permutations));
  const int emp2_digits =
      exact_fraction_precision(adaptive ? 1 : static_cast<long long>(empirical.n_permutations) + 1);
  const auto put_empirical = [&](std::FILE* out, double value, int digits) {
    if (sequential) {
      std::fprintf(out, "\t%.*g", digits, value);
    } else {
      std::fprintf(out, "\t%s", shortest_decimal(value).c_str());
    }
  };
  if (std::fflush(rows_) != 0 || std::fseek(rows_, 0, SEEK_SET) != 0) {
    throw OutputError(target_ + ": cannot write the file: " + std::strerror(errno));
  }
  OutputFile file(target_);
  std::FILE* out = file.stream();
  std::fputs(
      "#CHROM\tPOS\tID\tA1\tA2\tA1_FREQ\tOBS_CT\tBETA_ADD\tSE_ADD\tBETA_DOM\tSE_DOM\tF_STAT\tP\tEMP1"
      "\tEMP2",
      out);
  std::fputs(adaptive ? "\tNP\n" : "\n", out);
  MarkerStatistics marker;
  for (long j = 1; j <= count_; ++j) {
    if (std::fread(&marker, sizeof marker, 1, rows_) != 1) {
      throw OutputError(target_ + ": cannot read back its rows");
    }
    MarkerLabel label = labels ? labels(j) : MarkerLabel();
    if (label.id.empty()) label.id = std::to_string(j);
    std::fprintf(out, "%s\t%s\t%s\t%s\t%s", label.chromosome.c_str(), label.position.c_str(),
                 label.id.c_str(), label.tested_allele.c_str(), label.other_allele.c_str());
    put_real(out, static_cast<double>(marker.copies) / (2.0 * static_cast<double>(marker.called)));
    std::fprintf(out, "\t%d", marker.called);
    const AssociationSummary s = summarize_association(marker, model.sum_y2, model.residual_df);
    if (s.degenerate) {
      for (int k = 0; k < 6; ++k) put_na(out);
    } else {
      put_real(out, s.beta_add);
      if (s.has_error) put_real(out, s.se_add); else put_na(out);
      put_real(out, s.beta_dom);
      if (s.has_error) {
        put_real(out, s.se_dom);
        put_real(out, s.f_stat);
        put_real(out, s.p);
      } else {
        for (int k = 0; k < 3; ++k) put_na(out);
      }
    }
    const std::size_t index = static_cast<std::size_t>(j - 1);
    double emp1;
    if (sequential) {
      emp1 = adaptive ? (*empirical.p_values)[index] : marker.p_value;
    } else {
      const double c = adaptive ? (*empirical.exceed)[index] : marker.exceed;
      const double replicates = adaptive ? static_cast<double>((*empirical.np)[index])
                                         : static_cast<double>(empirical.n_permutations);
      emp1 = (c + 1.0) / (replicates + 1.0);
    }
    put_empirical(out, emp1, emp1_digits);
    const double emp2 = s.degenerate || adaptive
                            ? NAN
                            : family_wise_p_value(*empirical.sorted_maxima, s.ratio);
    if (std::isnan(emp2)) {
      std::fputs("\tNA", out);
    } else {
      put_empirical(out, emp2, emp2_digits);
    }
    if (adaptive) std::fprintf(out, "\t%lld", static_cast<long long>((*empirical.np)[index]));
    std::fputc('\n', out);
  }
  file.commit();
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
      if (!parse_real_field(field, value))
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

}  // namespace strataperm
