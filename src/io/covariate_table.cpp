#include "io/covariate_table.hpp"

#include <algorithm>

#include "core/errors.hpp"
#include "io/phenotype_table.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

namespace {

// The 0-based covariate columns `selection` names, in its order.
std::vector<std::size_t> chosen_columns(const std::string& path, const std::string& selection,
                                        const std::vector<std::string>& names) {
  std::vector<std::size_t> chosen;
  if (selection.empty()) {
    for (std::size_t k = 0; k < names.size(); ++k) chosen.push_back(k);
    return chosen;
  }
  const auto column_of = [&](const std::string& item, std::size_t& column) {
    const auto found = std::find(names.begin(), names.end(), item);
    if (found != names.end()) {
      column = static_cast<std::size_t>(found - names.begin());
      return true;
    }
    if (is_whole_number(item) && item.size() < 9) {
      const std::size_t number = std::stoul(item);
      if (number >= 1 && number <= names.size()) {
        column = number - 1;
        return true;
      }
    }
    return false;
  };
  std::string listed;
  for (std::size_t k = 0; k < names.size(); ++k) listed += (k > 0 ? ", " : "") + names[k];
  const std::string columns_are =
      " (the file has " + std::to_string(names.size()) + " covariate column" +
      (names.size() == 1 ? "" : "s") + ": " + listed + ")";
  for (std::size_t start = 0; start <= selection.size();) {
    const std::size_t comma = selection.find(',', start);
    const std::string item =
        selection.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? selection.size() + 1 : comma + 1;
    std::size_t first = 0, last = 0;
    if (!column_of(item, first)) {
      const std::size_t dash = item.find('-', 1);
      if (dash == std::string::npos || !column_of(item.substr(0, dash), first) ||
          !column_of(item.substr(dash + 1), last) || last < first) {
        throw InputError(Error::Category::inconsistent_input,
                         path + ": --covar-name names '" + item + "', which is no covariate column" +
                             (dash == std::string::npos ? "" : " nor a range of them") + columns_are);
      }
    } else {
      last = first;
    }
    for (std::size_t column = first; column <= last; ++column) {
      if (std::find(chosen.begin(), chosen.end(), column) != chosen.end()) {
        throw InputError(Error::Category::inconsistent_input,
                         path + ": --covar-name names covariate '" + names[column] + "' twice");
      }
      chosen.push_back(column);
    }
  }
  return chosen;
}

}  // namespace

CovariateTable read_covariate_table(const std::string& path, const std::string& selection,
                                    CovariateMatch match) {
  RecordReader reader(path);
  CovariateTable table;
  table.path = path;
  std::unordered_map<std::string, long long> first_line;
  std::size_t ids = match == CovariateMatch::order ? 0 : 2;
  std::size_t fields_per_line = 0;
  std::vector<std::size_t> chosen;
  std::vector<std::string> names;
  bool first = true;
  std::vector<std::string> fields;
  while (reader.next_fields(fields)) {
    const std::string where = reader.where();
    if (first) {
      first = false;
      // "# FID IID ...": the '#' standing apart from the first name.
      const bool hash_apart = fields[0] == "#" && fields.size() > 1;
      if (hash_apart) fields.erase(fields.begin());
      bool header = hash_apart;
      if (match == CovariateMatch::order) {
        std::optional<double> value;
        header = header || fields[0][0] == '#' || !parse_missing_or_real(fields[0], value);
      } else if (fields.size() >= 2 && is_header_word(fields[0], "FID") &&
                 is_header_word(fields[1], "IID")) {
        header = true;
      } else if (is_header_word(fields[0], "IID")) {
        header = true;
        ids = 1;
      }
      if (fields.size() <= ids) {
        reader.fail(std::string("expected ") + (ids == 2 ? "FID IID and" : ids == 1 ? "IID and" : "") +
                    " at least one covariate, found " + std::to_string(fields.size()) + " field" +
                    (fields.size() == 1 ? "" : "s"));
      }
      fields_per_line = fields.size();
      for (std::size_t k = ids; k < fields.size(); ++k) {
        std::string name = header ? fields[k] : std::string("COV");
        if (!header) name += std::to_string(k - ids + 1);
        if (header && k == 0 && name[0] == '#') name = name.substr(1);
        names.push_back(name);
      }
      chosen = chosen_columns(path, selection, names);
      for (std::size_t column : chosen) table.names.push_back(names[column]);
      if (header) continue;
    }
    if (fields.size() != fields_per_line) {
      reader.fail("expected " + std::to_string(fields_per_line) + " fields, as on the first line, found " +
                  std::to_string(fields.size()));
    }
    CovariateRow row;
    row.line = reader.line_number();
    if (ids == 2) row.family_id = fields[0];
    for (std::size_t column : chosen) {
      std::optional<double> value;
      if (!parse_missing_or_real(fields[ids + column], value)) {
        reader.fail("covariate '" + names[column] + "' holds '" + fields[ids + column] +
                    "', not a number (write NA or -9 for a missing value)");
      }
      row.values.push_back(value);
    }
    if (match == CovariateMatch::order) {
      table.ordered.push_back(std::move(row));
      continue;
    }
    const std::string& individual = fields[ids - 1];
    table.by_individual_id = ids == 1 || match == CovariateMatch::individual;
    const std::string key = table.by_individual_id ? individual : row.family_id + "\t" + individual;
    const auto [earlier, inserted] = first_line.emplace(key, row.line);
    if (!inserted) {
      reader.fail("individual " + (ids == 2 ? row.family_id + " " : std::string()) + individual +
                  (table.by_individual_id ? " (matched by IID)" : "") + " appears again (first on line " +
                  std::to_string(earlier->second) + ")");
    }
    table.rows.emplace(key, std::move(row));
  }
  if (first) throw InputError(path + ": the file holds no covariates");
  table.by_individual_id = ids == 1 || match == CovariateMatch::individual;
  return table;
}

}  // namespace strataperm
