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

void AssociationTable::write(int n_individuals, int n_permutations, double sum_y2,
                             std::vector<double> replicate_maxima, const MarkerLabels& labels) {
  std::sort(replicate_maxima.begin(), replicate_maxima.end());
  write_rows(n_individuals, 2LL * n_permutations, static_cast<long long>(n_permutations) + 1, sum_y2,
             &replicate_maxima, nullptr, nullptr, labels);
}

void AssociationTable::write_adaptive(int n_individuals, std::int64_t max_permutations,
                                      double sum_y2, const std::vector<double>& emp1,
                                      const std::vector<std::int64_t>& np,
                                      const MarkerLabels& labels) {
  write_rows(n_individuals, 2LL * max_permutations, 1, sum_y2, nullptr, &emp1, &np, labels);
}

void AssociationTable::write_rows(int n_individuals, long long emp1_denominator,
                                  long long emp2_denominator, double sum_y2,
                                  const std::vector<double>* sorted_maxima,
                                  const std::vector<double>* emp1, const std::vector<std::int64_t>* np,
                                  const MarkerLabels& labels) {
  const int emp1_digits = exact_fraction_precision(emp1_denominator);
  const int emp2_digits = exact_fraction_precision(emp2_denominator);
  if (std::fflush(rows_) != 0 || std::fseek(rows_, 0, SEEK_SET) != 0) {
    throw OutputError(target_ + ": cannot write the file: " + std::strerror(errno));
  }
  OutputFile file(target_);
  std::FILE* out = file.stream();
  std::fputs(
      "#CHROM\tPOS\tID\tA1\tA2\tA1_FREQ\tOBS_CT\tBETA_ADD\tSE_ADD\tBETA_DOM\tSE_DOM\tF_STAT\tP\tEMP1"
      "\tEMP2",
      out);
  std::fputs(np != nullptr ? "\tNP\n" : "\n", out);
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
    const AssociationSummary s = summarize_association(marker, sum_y2, n_individuals);
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
    std::fprintf(out, "\t%.*g", emp1_digits, emp1 != nullptr ? (*emp1)[index] : marker.p_value);
    const double emp2 = s.degenerate || sorted_maxima == nullptr
                            ? NAN
                            : family_wise_p_value(*sorted_maxima, s.ratio);
    if (std::isnan(emp2)) {
      std::fputs("\tNA", out);
    } else {
      std::fprintf(out, "\t%.*g", emp2_digits, emp2);
    }
    if (np != nullptr) std::fprintf(out, "\t%lld", static_cast<long long>((*np)[index]));
    std::fputc('\n', out);
  }
  file.commit();
}

}  // namespace strataperm
