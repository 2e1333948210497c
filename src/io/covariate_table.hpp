// A covariate table (--covar), as PLINK takes it: one header line
// "FID IID NAME..." or "IID NAME..." (either may start with '#', as plink2
// writes them), or none (then each line is FID IID VALUE...). "NA" or -9 is
// a missing value. For a study whose individuals carry no ids (a study folder
// without individuals.tsv) the lines hold the values alone, one individual a
// line in the study's order, after an optional header line of names (one
// starting with '#' or whose first field is not a number).
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace strataperm {

enum class CovariateMatch { family_and_individual, individual, order };

// One line's chosen values (nullopt: missing).
struct CovariateRow {
  std::string family_id;
  std::vector<std::optional<double>> values;
  long long line = 0;
};

struct CovariateTable {
  std::string path;
  std::vector<std::string> names;  // the chosen columns' names ("COVk", k the column, without a header)
  // Keyed by FID + tab + IID, or by IID (by_individual_id), or in order.
  bool by_individual_id = false;
  std::unordered_map<std::string, CovariateRow> rows;
  std::vector<CovariateRow> ordered;  // CovariateMatch::order

  // The row of an individual, or nullptr (not for CovariateMatch::order).
  const CovariateRow* find(const std::string& family_id, const std::string& individual_id) const {
    const auto row = rows.find(by_individual_id ? individual_id : family_id + "\t" + individual_id);
    return row == rows.end() ? nullptr : &row->second;
  }
};

// Reads `path`, keeping the columns `selection` names: a comma-separated list
// of header names or 1-based numbers counted among the covariate columns, and
// ranges of either ("2-4", "PC1-PC10"); empty for every column. A key given
// twice, a short or long line, a non-number or a column that is not there is
// an InputError naming the file, line and column.
CovariateTable read_covariate_table(const std::string& path, const std::string& selection,
                                    CovariateMatch match);

}  // namespace strataperm
