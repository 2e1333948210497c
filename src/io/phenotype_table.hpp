// A phenotype table (--pheno): one header line "FID IID NAME..." or
// "IID NAME..." (either may start with '#', as plink2 writes them), or none
// (then each line is FID IID VALUE...). "NA" or -9 is a missing trait.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>

namespace strataperm {

// A trait as read: nullopt when missing.
using Trait = std::optional<double>;

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

// Reads the phenotype table `path` and picks the column `column` (header name
// or 1-based number among the phenotype columns; empty for the first); with
// `match_individual_id` rows are keyed by IID alone. A key given twice, a
// short line or a non-number is an InputError with the line.
PhenotypeTable read_phenotype_table(const std::string& path, const std::string& column,
                                    bool match_individual_id);

// One field of a PLINK table's values: "NA" or a value equal to -9 is
// missing (value empty); a finite number is kept; anything else is false.
bool parse_missing_or_real(const std::string& text, Trait& value);

// Whether a header field is `word` ("FID", "IID"), whatever its case and
// with or without a leading '#'.
bool is_header_word(const std::string& field, const char* word);

// Reads one trait field: "NA" or a value equal to -9 is missing; anything else
// must be a finite number, else InputError with `where` and the field.
Trait parse_trait(const std::string& text, const std::string& where);

}  // namespace strataperm
