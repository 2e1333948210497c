#include "study/traits.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "core/errors.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

namespace {

// A trait as read: nullopt when missing.
using Trait = std::optional<double>;

// Reads one trait field: "NA" or a value equal to -9 is missing; anything else
// must be a finite number, else InputError with `where` and the field.
Trait parse_trait(const std::string& text, const std::string& where) {
  if (text == "NA") return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
    throw InputError(where + ": the phenotype '" + text +
                      "' is not a number (write NA or -9 for a missing value)");
  }
  if (value == -9.0) return std::nullopt;
  return value;
}

// A phenotype table row: the family id and the trait of one individual.
struct PhenotypeRow {
  std::string family_id;
  Trait trait;
};

// The rows of a phenotype table, keyed by FID + tab + IID or by IID.
struct PhenotypeTable {
  bool by_individual_id = false;
  std::unordered_map<std::string, PhenotypeRow> rows;
};

bool is_header_word(const std::string& field, const char* word) {
  const std::string plain = !field.empty() && field[0] == '#' ? field.substr(1) : field;
  return equal_ignoring_case(plain, word);
}

// Reads the phenotype table `path` and picks the column `column` (header name
// or 1-based number among the phenotype columns; empty for the first). A key
// given twice, a short line or a non-number is an InputError with the line.
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

// The individuals an id list names: FID + tab + IID keys from lines of two
// fields or more, IID keys from lines of one.
struct IndividualList {
  std::unordered_set<std::string> pairs, individuals;
  bool names(const GenotypedSample& sample, bool match_individual_id) const {
    return individuals.count(sample.individual_id) != 0 ||
           (match_individual_id ? false
                                : pairs.count(sample.family_id + "\t" + sample.individual_id) != 0);
  }
};

IndividualList read_individual_list(const std::string& path, bool match_individual_id) {
  RecordReader reader(path);
  IndividualList list;
  std::vector<std::string> fields;
  while (reader.next_fields(fields)) {
    if (fields[0][0] == '#') continue;
    if (fields.size() == 1 || match_individual_id) {
      list.individuals.insert(fields.size() == 1 ? fields[0] : fields[1]);
    } else {
      list.pairs.insert(fields[0] + "\t" + fields[1]);
    }
  }
  return list;
}

}  // namespace

KeptIndividuals keep_individuals(const StudyChoices& settings, const GenotypeInput& input) {
  KeptIndividuals kept;
  std::optional<IndividualList> keep, remove;
  if (!settings.keep.empty()) keep = read_individual_list(settings.keep, input.is_vcf);
  if (!settings.remove.empty()) remove = read_individual_list(settings.remove, input.is_vcf);
  std::optional<PhenotypeTable> table;
  if (!settings.pheno.empty()) {
    table = read_phenotype_table(settings.pheno, settings.pheno_column, input.is_vcf);
  }
  const std::size_t column =
      settings.pheno_column.empty() || table ? 0 : std::stoul(settings.pheno_column) - 1;
  for (std::size_t k = 0; k < input.samples.size(); ++k) {
    const GenotypedSample& sample = input.samples[k];
    if ((keep && !keep->names(sample, input.is_vcf)) ||
        (remove && remove->names(sample, input.is_vcf))) {
      ++kept.not_kept;
      continue;
    }
    Trait trait;
    std::string family_id = sample.family_id;
    if (table) {
      const auto row = table->rows.find(table->by_individual_id
                                            ? sample.individual_id
                                            : sample.family_id + "\t" + sample.individual_id);
      if (row == table->rows.end()) {
        ++kept.without_row;
        continue;
      }
      trait = row->second.trait;
      if (input.is_vcf) family_id = row->second.family_id;
    } else {
      const std::string where =
          input.fam_path + ", individual " + sample.family_id + " " + sample.individual_id;
      if (column >= sample.phenotypes.size()) {
        throw InputError(where + ": no phenotype column " + std::to_string(column + 1) +
                         " (the line has " + std::to_string(sample.phenotypes.size()) + ")");
      }
      trait = parse_trait(sample.phenotypes[column], where);
    }
    if (!trait) {
      ++kept.missing_trait;
    } else {
      kept.sample_index.push_back(k);
      kept.family_id.push_back(family_id);
      kept.trait.push_back(*trait);
    }
  }
  const std::string source = settings.pheno.empty() ? input.fam_path : settings.pheno;
  const std::string why = " (" + std::to_string(kept.without_row) + " without a phenotype row, " +
                          std::to_string(kept.missing_trait) + " with a missing trait" +
                          (keep || remove ? ", " + std::to_string(kept.not_kept) +
                                                " left out by --keep/--remove"
                                          : std::string()) +
                          ")";
  if (kept.sample_index.empty()) {
    throw InputError(source + ": no individual of " + input.path + " has a trait" + why);
  }
  if (kept.sample_index.size() < 2) {
    throw InputError(source + ": only 1 individual of " + input.path +
                     " has a trait, a study needs 2" + why);
  }
  return kept;
}

}  // namespace strataperm
