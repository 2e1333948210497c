// RESULTS.tsv: one line per marker, in marker order, tab-separated under the
// header
//   #CHROM POS ID A1 A2 A1_FREQ OBS_CT BETA_ADD SE_ADD BETA_DOM SE_DOM F_STAT P EMP1 EMP2
// CHROM, POS, ID, A1 and A2 come from the marker's label (".", ".", the marker
// number, ".", "." without one); A1 is the allele whose copies the additive
// code counts, A1_FREQ its frequency over the called individuals, OBS_CT
// their number. The rest is summarize_association's with the run's S and
// residual degrees of freedom (see TableModel); EMP1 the permutation P and
// EMP2 the family-wise P. What is not defined prints "NA": BETA, SE, F_STAT,
// P and EMP2 of a degenerate marker, SE, F_STAT and P when there is no error
// variance, EMP2 when the marker's ratio is not a number.
//
// With the `means` adjustment EMP1 is (c + 1) / (R + 1), c the marker's count
// (replicates above T_obs plus half those equal), or (c + 1) / (NP + 1) in an
// adaptive run, so never 0; EMP1 and EMP2 are printed with the shortest
// "%.Pg" that reads back as the same double, so the counts can always be
// recovered. Other reals are "%.6g". With `sequential` the table is the one
// first defined: d = N - 3, EMP1 = c / R (c / NP), and EMP1 and EMP2 printed
// "%.*g" with enough digits for every multiple of 1/(2R) and 1/(R + 1)
// (max(6, digits(2R) + 1) and max(6, digits(R + 1) + 1)).
//
// The rows are kept on disk while the run goes on (an unnamed file beside the
// target, 64 bytes a marker), so memory does not grow with the markers; the
// table is written once the replicates' maxima are known.
//
// A compressed table (`run --compress`) is the same text in TARGET.gz,
// written through htslib's BGZF at the fixed level 6 with no threads: blocks
// break every 65280 bytes of text, so for one build of htslib the bytes depend
// on the text alone and two runs that write the same text write the same file.
// When the rows are in genome order (see GenomeOrder) a tabix index
// TARGET.gz.tbi is written beside it (sequence = #CHROM, begin = end = POS,
// the header a '#' meta line), so `tabix TARGET.gz CHR:FROM-TO` and
// `tabix -H` work; otherwise there is no index and why_no_index() says why.
// A table owns the three names TARGET, TARGET.gz and TARGET.gz.tbi: it
// writes one form and, once that is in place, removes what an earlier run
// left under the other names, so a folder never holds two tables, nor an
// index that is not of its table (an earlier index goes before the new
// table replaces its table; the new index comes after).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iterator>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "analysis/association.hpp"
#include "analysis/marker_blocks.hpp"

namespace strataperm {

// The columns of RESULTS.tsv, in order, with their headers: the one list the
// writer, and the reader of the plot report, work from. An adaptive run's
// table has one more, NP (kReplicatesColumn), at the end.
enum class TableColumn {
  chromosome, position, id, tested_allele, other_allele, a1_freq, obs_ct,
  beta_add, se_add, beta_dom, se_dom, f_stat, p, emp1, emp2
};
struct TableColumnName {
  TableColumn column;
  const char* header;
};
inline constexpr TableColumnName kTableColumns[] = {
    {TableColumn::chromosome, "#CHROM"}, {TableColumn::position, "POS"},
    {TableColumn::id, "ID"},             {TableColumn::tested_allele, "A1"},
    {TableColumn::other_allele, "A2"},   {TableColumn::a1_freq, "A1_FREQ"},
    {TableColumn::obs_ct, "OBS_CT"},     {TableColumn::beta_add, "BETA_ADD"},
    {TableColumn::se_add, "SE_ADD"},     {TableColumn::beta_dom, "BETA_DOM"},
    {TableColumn::se_dom, "SE_DOM"},     {TableColumn::f_stat, "F_STAT"},
    {TableColumn::p, "P"},               {TableColumn::emp1, "EMP1"},
    {TableColumn::emp2, "EMP2"},
};
inline constexpr std::size_t kTableColumnCount = std::size(kTableColumns);
inline constexpr const char* kReplicatesColumn = "NP";

// The header line (without its line break): the columns' headers, tab-
// separated, and NP for an adaptive run.
std::string table_header(bool adaptive);

struct MarkerLabel {
  std::string chromosome = ".", position = ".", id, tested_allele = ".", other_allele = ".";
};
// The label of marker j (1-based), asked for in marker order.
using MarkerLabels = std::function<MarkerLabel(long marker)>;

// What every row needs beside its marker's statistics.
struct TableModel {
  Adjustment adjustment = Adjustment::means;
  double sum_y2 = 0.0;  // S
  int residual_df = 0;  // d: N - 2 - G - K (means, K covariates), N - 3 (sequential)
};
TableModel table_model(Adjustment adjustment, int n_individuals, double sum_y2, int distinct_lists,
                       int covariates = 0);

// The names of a table's compressed form and of its index, for `target`
// (RESULTS.tsv): RESULTS.tsv.gz and RESULTS.tsv.gz.tbi.
std::string compressed_table_path(const std::string& target);
std::string table_index_path(const std::string& target);

// Whether a table's rows, taken in order, are in the genome order a tabix
// index needs: every row has a chromosome (not ".") and a whole-number
// position from 1 to 2^29 - 1 (the most a .tbi holds), each chromosome's rows
// form one block (the blocks in any order), and within a block the
// positions never fall.
class GenomeOrder {
 public:
  // Takes the label of row `marker` (1-based); false once the order is broken.
  bool add(long marker, const MarkerLabel& label);
  // "" while the rows are in genome order, else why not, naming the first
  // row that breaks it.
  const std::string& breach() const { return breach_; }

 private:
  std::string breach_;
  std::string chromosome_;
  long long position_ = 0;
  std::unordered_set<std::string> finished_;  // chromosomes whose block has ended
};

class AssociationTable {
 public:
  // Prepares the table for `target` (RESULTS.tsv), bgzip-compressed at
  // compressed_table_path(target) when `compressed`; throws OutputError when
  // its folder takes no file.
  explicit AssociationTable(std::string target, bool compressed = false);
  AssociationTable(const AssociationTable&) = delete;
  AssociationTable& operator=(const AssociationTable&) = delete;
  ~AssociationTable();

  // The next markers' statistics, in marker order.
  void add(std::span<const MarkerStatistics> markers);

  // Writes the whole table (through OutputFile). `labels` may be empty.
  // Throws OutputError.
  void write(const TableModel& model, int n_permutations, std::vector<double> replicate_maxima,
             const MarkerLabels& labels);

  // The table of an adaptive run: marker j took np[j - 1] replicates and
  // counted exceed[j - 1] of them (its P is p_values[j - 1]); EMP2 is NA,
  // and a last column NP holds np. `max_permutations` is the rule's most.
  void write_adaptive(const TableModel& model, std::int64_t max_permutations,
                      const std::vector<double>& p_values, const std::vector<double>& exceed,
                      const std::vector<std::int64_t>& np, const MarkerLabels& labels);

  // After a write: the file the table is in, and for a compressed table why
  // it has no index ("" when it has one, and for a plain table).
  const std::string& written() const { return written_; }
  const std::string& why_no_index() const { return why_no_index_; }

 private:
  struct Empirical;  // how EMP1 and EMP2 are formed and printed
  void write_rows(const TableModel& model, const Empirical& empirical, const MarkerLabels& labels);
  std::string target_;
  bool compressed_ = false;
  std::string written_, why_no_index_;
  std::FILE* rows_ = nullptr;
  long count_ = 0;
};

// "%.*g" precision that gives back every multiple of 1/denominator exactly:
// max(6, decimal digits of denominator + 1).
int exact_fraction_precision(long long denominator);

// The shortest "%.Pg" (P from 1 to 17) of `value` that reads back as the
// same double.
std::string shortest_decimal(double value);

// A row of RESULTS.tsv, as the plot report reads it back. Reals that the table gives as NA are NaN.
struct AssociationRow {
  std::string id = ".", chromosome = ".", position = ".";  // as written ("." when unknown)
  double beta_add = NAN, beta_dom = NAN;
  double p = NAN;     // asymptotic F(2, d) P-value
  double emp1 = NAN;  // permutation P-value, never NA in a table
  double emp2 = NAN;  // family-wise P-value
};

// Reads RESULTS.tsv at `path`, plain or bgzip/gzip-compressed (RESULTS.tsv.gz):
// the header (an adaptive run's with NP), then
// exactly `n_markers` rows of as many tab-separated fields, row j for
// marker j. Numeric fields are numbers or
// NA; P and EMP2 are NA or in [0, 1], EMP1 in [0, 1].
std::vector<AssociationRow> read_association_rows(const std::string& path, int n_markers);

}  // namespace strataperm
