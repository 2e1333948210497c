#include "study/traits.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "core/errors.hpp"
#include "io/covariate_table.hpp"
#include "io/id_lists.hpp"
#include "io/phenotype_table.hpp"

namespace strataperm {

KeptIndividuals keep_individuals(const StudyChoices& settings, const GenotypeInput& input) {
  KeptIndividuals kept;
  std::optional<IndividualList> keep, remove;
  if (!settings.keep.empty()) keep = read_individual_list(settings.keep, input.is_vcf);
  if (!settings.remove.empty()) remove = read_individual_list(settings.remove, input.is_vcf);
  std::optional<PhenotypeTable> table;
  if (!settings.pheno.empty()) {
    table = read_phenotype_table(settings.pheno, settings.pheno_column, input.is_vcf);
  }
  std::optional<CovariateTable> covariates;
  if (!settings.covar.empty()) {
    covariates = read_covariate_table(settings.covar, settings.covar_names,
                                      input.is_vcf ? CovariateMatch::individual
                                                   : CovariateMatch::family_and_individual);
    kept.covariate_names = covariates->names;
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
    const CovariateRow* covariate_row = nullptr;
    if (trait && covariates) {
      const CovariateRow* row = covariates->find(sample.family_id, sample.individual_id);
      if (row != nullptr && std::all_of(row->values.begin(), row->values.end(),
                                        [](const std::optional<double>& v) { return v.has_value(); })) {
        covariate_row = row;
      } else {
        ++kept.missing_covariate;
        continue;
      }
    }
    if (!trait) {
      ++kept.missing_trait;
    } else {
      if (covariate_row != nullptr)
        for (const std::optional<double>& v : covariate_row->values) kept.covariates.push_back(*v);
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
                          (covariates ? ", " + std::to_string(kept.missing_covariate) +
                                            " without all covariates in " + settings.covar
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
