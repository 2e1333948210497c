#include "commands/genotype_study/traits.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <unordered_map>

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

// Reads the phenotype table `path` and picks the column `column` (header name
// or 1-based number among the phenotype columns; empty for the first). Rows
// are keyed by FID + tab + IID, or by IID alone when `by_individual_id`. A key
// given twice, a short line or a non-number is an InputError with the line.
std::unordered_map<std::string, PhenotypeRow> read_phenotype_table(const std::string& path,
                                                                   const std::string& column,
                                                                   bool by_individual_id) {
  RecordReader reader(path);
  std::unordered_map<std::string, PhenotypeRow> rows;
  std::unordered_map<std::string, long long> first_line;
  std::size_t field = 2;  // the index of the chosen column in a line
  bool first = true;
  std::vector<std::string> fields;
  while (reader.next_fields(fields)) {
    const long long line_number = reader.line_number();
    const std::string where = reader.where();
    if (first) {
      first = false;
      const bool header = fields.size() >= 2 && equal_ignoring_case(fields[0], "FID") &&
                          equal_ignoring_case(fields[1], "IID");
      if (header) {
        const auto named = std::find(fields.begin() + 2, fields.end(), column);
        if (column.empty()) {
          field = 2;
        } else if (named != fields.end()) {
          field = static_cast<std::size_t>(named - fields.begin());
        } else if (is_whole_number(column)) {
          field = 1 + std::stoul(column);
        } else {
          std::string names;
          for (std::size_t k = 2; k < fields.size(); ++k) names += (k > 2 ? ", " : "") + fields[k];
          throw InputError(path + ": no phenotype column named '" + column +
                            "' (the columns are " + (names.empty() ? "none" : names) + ")");
        }
        if (field >= fields.size()) {
          throw InputError(where + ": the header names " + std::to_string(fields.size() - 2) +
                            " phenotype columns, not " + column);
        }
        continue;
      }
      if (!column.empty() && !is_whole_number(column)) {
        throw InputError(path +
                          ": the file has no header line 'FID IID NAME...', so --pheno-col " +
                          "must be a column number, not '" + column + "'");
      }
      if (!column.empty()) field = 1 + std::stoul(column);
    }
    if (fields.size() <= field) {
      throw InputError(where + ": expected at least " + std::to_string(field + 1) +
                        " fields (FID IID and the phenotype column), found " +
                        std::to_string(fields.size()));
    }
    const std::string key = by_individual_id ? fields[1] : fields[0] + "\t" + fields[1];
    const auto [earlier, inserted] = first_line.emplace(key, line_number);
    if (!inserted) {
      throw InputError(where + ": individual " + fields[0] + " " + fields[1] +
                        (by_individual_id ? " (matched by IID)" : "") +
                        " appears again (first on line " + std::to_string(earlier->second) + ")");
    }
    rows.emplace(key, PhenotypeRow{fields[0], parse_trait(fields[field], where)});
  }
  return rows;
}

}  // namespace

KeptIndividuals keep_individuals(const StudyChoices& settings, const GenotypeInput& input) {
  KeptIndividuals kept;
  if (!settings.pheno.empty()) {
    const auto rows = read_phenotype_table(settings.pheno, settings.pheno_column, input.is_vcf);
    for (std::size_t k = 0; k < input.samples.size(); ++k) {
      const GenotypedSample& sample = input.samples[k];
      const auto row = rows.find(input.is_vcf ? sample.individual_id
                                              : sample.family_id + "\t" + sample.individual_id);
      if (row == rows.end()) {
        ++kept.without_row;
      } else if (!row->second.trait) {
        ++kept.missing_trait;
      } else {
        kept.sample_index.push_back(k);
        kept.family_id.push_back(input.is_vcf ? row->second.family_id : sample.family_id);
        kept.trait.push_back(*row->second.trait);
      }
    }
  } else {
    const std::size_t column =
        settings.pheno_column.empty() ? 0 : std::stoul(settings.pheno_column) - 1;
    for (std::size_t k = 0; k < input.samples.size(); ++k) {
      const GenotypedSample& sample = input.samples[k];
      const std::string where =
          input.fam_path + ", individual " + sample.family_id + " " + sample.individual_id;
      if (column >= sample.phenotypes.size()) {
        throw InputError(where + ": no phenotype column " + std::to_string(column + 1) +
                          " (the line has " + std::to_string(sample.phenotypes.size()) + ")");
      }
      const Trait trait = parse_trait(sample.phenotypes[column], where);
      if (!trait) {
        ++kept.missing_trait;
      } else {
        kept.sample_index.push_back(k);
        kept.family_id.push_back(sample.family_id);
        kept.trait.push_back(*trait);
      }
    }
  }
  const std::string source = settings.pheno.empty() ? input.fam_path : settings.pheno;
  const std::string why = " (" + std::to_string(kept.without_row) + " without a phenotype row, " +
                          std::to_string(kept.missing_trait) + " with a missing trait)";
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
