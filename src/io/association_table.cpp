#include "io/association_table.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/errors.hpp"
#include "io/output_file.hpp"

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

}  // namespace strataperm
