#include "io/phenotype_table.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "core/errors.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

bool is_header_word(const std::string& field, const char* word) {
  const std::string plain = !field.empty() && field[0] == '#' ? field.substr(1) : field;
  return equal_ignoring_case(plain, word);
}

bool parse_missing_or_real(const std::string& text, Trait& value) {
  value.reset();
  if (text == "NA") return true;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
  if (v != -9.0) value = v;
  return true;
}

Trait parse_trait(const std::string& text, const std::string& where) {
  Trait value;
  if (!parse_missing_or_real(text, value)) {
    throw InputError(where + ": the phenotype '" + text +
                      "' is not a number (write NA or -9 for a missing value)");
  }
  return value;
}

PhenotypeTable read_phenotype_table(const std::string& path, const std::string& column,
                                    bool match_individual_id) {
  RecordReader reader(path);
  PhenotypeTable table;
  std::unordered_map<std::string, long long> first_line;
  std::size_t ids = 2;    // id columns before the phenotypes
  std::size_t field = 2;  // the index of the chosen column in a line
  bool first = true;
  std::vector<std::string> fields;
  while (reader.next_fields(fields)) {
    const long long line_number = reader.line_number();
    const std::string where = reader.where();
    if (first) {
      first = false;
      const bool fid_header =
          fields.size() >= 2 && is_header_word(fields[0], "FID") && is_header_word(fields[1], "IID");
      const bool iid_header = !fid_header && is_header_word(fields[0], "IID");
      if (fid_header || iid_header) {
        ids = fid_header ? 2 : 1;
        const auto named = std::find(fields.begin() + static_cast<std::ptrdiff_t>(ids),
                                     fields.end(), column);
        if (column.empty()) {
          field = ids;
        } else if (named != fields.end()) {
          field = static_cast<std::size_t>(named - fields.begin());
        } else if (is_whole_number(column)) {
          field = ids - 1 + std::stoul(column);
        } else {
          std::string names;
          for (std::size_t k = ids; k < fields.size(); ++k)
            names += (k > ids ? ", " : "") + fields[k];
          throw InputError(path + ": no phenotype column named '" + column +
                           "' (the columns are " + (names.empty() ? "none" : names) + ")");
        }
        if (field >= fields.size()) {
          throw InputError(where + ": the header names " + std::to_string(fields.size() - ids) +
                           " phenotype columns, not " + column);
        }
        continue;
      }
      if (!column.empty() && !is_whole_number(column)) {
        throw InputError(path +
                         ": the file has no header line 'FID IID NAME...' or 'IID NAME...', so "
                         "--pheno-col must be a column number, not '" + column + "'");
      }
      if (!column.empty()) field = 1 + std::stoul(column);
    }
    if (fields.size() <= field) {
      throw InputError(where + ": expected at least " + std::to_string(field + 1) + " fields (" +
                       (ids == 2 ? "FID IID" : "IID") + " and the phenotype column), found " +
                       std::to_string(fields.size()));
    }
    const std::string& family = ids == 2 ? fields[0] : std::string();
    const std::string& individual = fields[ids - 1];
    table.by_individual_id = ids == 1 || match_individual_id;
    const std::string key = table.by_individual_id ? individual : family + "\t" + individual;
    const auto [earlier, inserted] = first_line.emplace(key, line_number);
    if (!inserted) {
      throw InputError(where + ": individual " + (ids == 2 ? family + " " : std::string()) +
                       individual + (table.by_individual_id ? " (matched by IID)" : "") +
                       " appears again (first on line " + std::to_string(earlier->second) + ")");
    }
    table.rows.emplace(key, PhenotypeRow{family, parse_trait(fields[field], where)});
  }
  table.by_individual_id = ids == 1 || match_individual_id;
  return table;
}


}  // namespace strataperm
