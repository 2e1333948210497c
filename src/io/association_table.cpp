#include "io/association_table.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <htslib/bgzf.h>
#include <htslib/tbx.h>

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

// Where the rows go: the output file's stream, or for a compressed table a
// BGZF writer (level 6, no threads) on a duplicate of its descriptor, so
// that commit() syncs and renames what BGZF wrote.
class RowSink {
 public:
  RowSink(OutputFile& file, bool compressed) : file_(file) {
    if (!compressed) return;
    const int fd = ::dup(::fileno(file.stream()));
    if (fd >= 0) bgzf_ = bgzf_dopen(fd, "w6");
    if (bgzf_ == nullptr) {
      const int saved = errno;
      if (fd >= 0) ::close(fd);
      throw OutputError(file.target() + ": cannot create the file: " +
                        std::strerror(saved != 0 ? saved : EIO));
    }
  }
  RowSink(const RowSink&) = delete;
  RowSink& operator=(const RowSink&) = delete;
  ~RowSink() {
    if (bgzf_ != nullptr) bgzf_close(bgzf_);
  }

  void write(const std::string& text) {
    if (bgzf_ == nullptr) {
      // A short write shows in the stream's error flag, which commit() checks.
      std::fwrite(text.data(), 1, text.size(), file_.stream());
    } else if (bgzf_write(bgzf_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw OutputError(file_.target() + ": cannot write the file");
    }
  }

  // Writes BGZF's last blocks and its end-of-file block.
  void close() {
    if (bgzf_ == nullptr) return;
    const int status = bgzf_close(bgzf_);
    bgzf_ = nullptr;
    if (status != 0) throw OutputError(file_.target() + ": cannot write the file");
  }

 private:
  OutputFile& file_;
  BGZF* bgzf_ = nullptr;
};

// Removes what an earlier run left at `path`, if anything.
void remove_earlier(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    throw OutputError(path + ": cannot remove this file of an earlier run: " +
                      std::strerror(errno));
}

}  // namespace

std::string compressed_table_path(const std::string& target) { return target + ".gz"; }
std::string table_index_path(const std::string& target) { return target + ".gz.tbi"; }

bool GenomeOrder::add(long marker, const MarkerLabel& label) {
  if (!breach_.empty()) return false;
  const auto which = [&] {
    const std::string number = std::to_string(marker);
    return "marker " + number +
           (label.id.empty() || label.id == number ? "" : " (" + label.id + ")");
  };
  // The largest position a .tbi index holds: its bins cover 2^29 bases.
  constexpr long long kMostIndexed = (1LL << 29) - 1;
  long long position = 0;
  const std::string& text = label.position;
  const bool placed = label.chromosome != "." && !label.chromosome.empty() &&
                      is_whole_number(text) && text.size() <= 18;
  if (placed) position = std::stoll(text);
  if (!placed) {
    breach_ = "the markers have no places on the genome (" + which() +
              " has no chromosome or no whole-number position)";
  } else if (position < 1 || position > kMostIndexed) {
    breach_ = which() + " lies at position " + text +
              ", outside the positions 1 to 536870911 a tabix .tbi index holds";
  } else if (label.chromosome == chromosome_) {
    if (position < position_)
      breach_ = "the markers are not in genome order (" + which() + " on chromosome " +
                label.chromosome + " at " + text + " comes after position " +
                std::to_string(position_) + ")";
  } else {
    if (!chromosome_.empty()) finished_.insert(chromosome_);
    if (finished_.count(label.chromosome) != 0)
      breach_ = "the markers are not in genome order (" + which() + " on chromosome " +
                label.chromosome + " comes after the markers of chromosome " + chromosome_ +
                ", but chromosome " + label.chromosome + " came before them)";
    chromosome_ = label.chromosome;
  }
  position_ = position;
  return breach_.empty();
}

namespace {

// The columns' headers joined by `separator`.
std::string joined_headers(const char* separator) {
  std::string text;
  for (const TableColumnName& column : kTableColumns) {
    if (!text.empty()) text += separator;
    text += column.header;
  }
  return text;
}

}  // namespace

std::string table_header(bool adaptive) {
  return joined_headers("\t") + (adaptive ? std::string("\t") + kReplicatesColumn : std::string());
}

int exact_fraction_precision(long long denominator) {
  int digits = 0;
  for (long long k = denominator; k > 0; k /= 10) ++digits;
  return std::max(6, digits + 1);
}

AssociationTable::AssociationTable(std::string target, bool compressed)
    : target_(std::move(target)), compressed_(compressed) {
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

TableModel table_model(Adjustment adjustment, int n_individuals, double sum_y2, int distinct_lists,
                       int covariates) {
  TableModel model;
  model.adjustment = adjustment;
  model.sum_y2 = sum_y2;
  model.residual_df = adjustment == Adjustment::means
                          ? n_individuals - 2 - distinct_lists - covariates
                          : n_individuals - 3;
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
  if (std::fflush(rows_) != 0 || std::fseek(rows_, 0, SEEK_SET) != 0) {
    throw OutputError(target_ + ": cannot write the file: " + std::strerror(errno));
  }
  OutputFile file(compressed_ ? compressed_table_path(target_) : target_);
  RowSink out(file, compressed_);
  out.write(table_header(adaptive) + "\n");
  GenomeOrder order;
  MarkerStatistics marker;
  std::string field, line;
  char text[64];
  const auto real = [&text](double value) {
    std::snprintf(text, sizeof text, "%.6g", value);
    return std::string(text);
  };
  const auto empirical_text = [&](double value, int digits) {
    if (!sequential) return shortest_decimal(value);
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return std::string(text);
  };
  for (long j = 1; j <= count_; ++j) {
    if (std::fread(&marker, sizeof marker, 1, rows_) != 1) {
      throw OutputError(target_ + ": cannot read back its rows");
    }
    MarkerLabel label = labels ? labels(j) : MarkerLabel();
    if (label.id.empty()) label.id = std::to_string(j);
    if (compressed_) order.add(j, label);
    const AssociationSummary s = summarize_association(marker, model.sum_y2, model.residual_df);
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
    const double emp2 = s.degenerate || adaptive
                            ? NAN
                            : family_wise_p_value(*empirical.sorted_maxima, s.ratio);
    const bool fitted = !s.degenerate, with_error = fitted && s.has_error;
    for (std::size_t k = 0; k < kTableColumnCount; ++k) {
      switch (kTableColumns[k].column) {
        case TableColumn::chromosome: field = label.chromosome; break;
        case TableColumn::position: field = label.position; break;
        case TableColumn::id: field = label.id; break;
        case TableColumn::tested_allele: field = label.tested_allele; break;
        case TableColumn::other_allele: field = label.other_allele; break;
        case TableColumn::a1_freq:
          field = real(static_cast<double>(marker.copies) / (2.0 * static_cast<double>(marker.called)));
          break;
        case TableColumn::obs_ct: field = std::to_string(marker.called); break;
        case TableColumn::beta_add: field = fitted ? real(s.beta_add) : "NA"; break;
        case TableColumn::se_add: field = with_error ? real(s.se_add) : "NA"; break;
        case TableColumn::beta_dom: field = fitted ? real(s.beta_dom) : "NA"; break;
        case TableColumn::se_dom: field = with_error ? real(s.se_dom) : "NA"; break;
        case TableColumn::f_stat: field = with_error ? real(s.f_stat) : "NA"; break;
        case TableColumn::p: field = with_error ? real(s.p) : "NA"; break;
        case TableColumn::emp1: field = empirical_text(emp1, emp1_digits); break;
        case TableColumn::emp2:
          field = std::isnan(emp2) ? "NA" : empirical_text(emp2, emp2_digits);
          break;
      }
      if (k > 0) line += '\t';
      line += field;
    }
    if (adaptive) {
      line += '\t';
      line += std::to_string((*empirical.np)[index]);
    }
    line += '\n';
    out.write(line);
    line.clear();
  }
  out.close();
  written_ = file.target();
  why_no_index_.clear();
  if (!compressed_) {
    file.commit();
    remove_earlier(compressed_table_path(target_));
    remove_earlier(table_index_path(target_));
    return;
  }
  // The index is made from the finished temporary file; an earlier index
  // goes before the new table takes its place, the new one comes after it.
  std::unique_ptr<OutputFile> index;
  if (order.breach().empty()) {
    index = std::make_unique<OutputFile>(table_index_path(target_));
    // Sequence = column 1 (#CHROM), begin = end = column 2 (POS), 1-based;
    // lines starting with '#' (the header) are meta lines.
    tbx_conf_t conf = {TBX_GENERIC, 1, 2, 2, '#', 0};
    if (tbx_index_build2(file.temporary().c_str(), index->temporary().c_str(), 0, &conf) != 0)
      throw OutputError(index->target() + ": cannot write the tabix index of " + file.target());
  } else {
    why_no_index_ = order.breach();
  }
  remove_earlier(table_index_path(target_));
  file.commit();
  if (index) index->commit();
  remove_earlier(target_);
}

std::vector<AssociationRow> read_association_rows(const std::string& path, int n_markers) {
  RecordReader reader(path);  // plain or compressed alike
  std::string line;
  if (!reader.next_line(line) || (line != table_header(false) && line != table_header(true)))
    throw InputError(path + ", line 1: it is not the header of a 'strataperm run' marker table (" +
                     joined_headers(" ") + ", and NP in an adaptive run, tab-separated)");
  const std::size_t columns = kTableColumnCount + (line == table_header(true) ? 1 : 0);
  std::vector<AssociationRow> rows;
  rows.reserve(static_cast<std::size_t>(n_markers));
  while (reader.next_line(line)) {
    if (static_cast<long long>(rows.size()) == n_markers)
      reader.fail("the table goes on after the " + std::to_string(n_markers) +
                  " markers of the run");
    const std::vector<std::string> fields = split_tabs(line);
    if (fields.size() != columns)
      reader.fail(std::to_string(fields.size()) + " tab-separated fields, not " +
                  std::to_string(columns));
    AssociationRow row;
    for (std::size_t k = 0; k < kTableColumnCount; ++k) {
      const TableColumn column = kTableColumns[k].column;
      const char* name = kTableColumns[k].header;
      const std::string& field = fields[k];
      std::string* text = column == TableColumn::chromosome ? &row.chromosome
                          : column == TableColumn::position ? &row.position
                          : column == TableColumn::id       ? &row.id
                                                            : nullptr;
      if (text != nullptr) {
        if (field.empty()) reader.fail(std::string("the ") + name + " field is empty");
        *text = field;
        continue;
      }
      if (column == TableColumn::tested_allele || column == TableColumn::other_allele) continue;
      const bool probability =
          column == TableColumn::p || column == TableColumn::emp1 || column == TableColumn::emp2;
      double value = 0.0;
      if (field == "NA" && column != TableColumn::emp1) {
        value = NAN;
      } else {
        if (!parse_real_field(field, value))
          reader.fail(std::string(name) + " '" + field + "' is not a number" +
                      (column == TableColumn::emp1 ? "" : " or NA"));
        if (probability && !(value >= 0.0 && value <= 1.0))
          reader.fail(std::string(name) + " " + field + " is not in [0, 1]");
      }
      if (column == TableColumn::beta_add) row.beta_add = value;
      if (column == TableColumn::beta_dom) row.beta_dom = value;
      if (column == TableColumn::p) row.p = value;
      if (column == TableColumn::emp1) row.emp1 = value;
      if (column == TableColumn::emp2) row.emp2 = value;
    }
    rows.push_back(std::move(row));
  }
  if (static_cast<long long>(rows.size()) != n_markers)
    throw InputError(path + ": the table ends after line " + std::to_string(reader.line_number()) +
                     " with " + std::to_string(rows.size()) + " of the " +
                     std::to_string(n_markers) + " markers of the run");
  return rows;
}

}  // namespace strataperm
