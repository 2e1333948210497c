#include "commands/study_choice_options.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace strataperm {

namespace {

const std::vector<OptionSpec> kChoiceOptions = {
    {"--bfile", true, "PREFIX",
     "PLINK binary files PREFIX.bed (SNP-major), PREFIX.bim, PREFIX.fam"},
    {"--vcf", true, "FILE", "VCF or BCF file (plain or bgzipped): biallelic SNPs, GT field"},
    {"--pheno", true, "FILE",
     "phenotype table: FID IID value... (optional header 'FID IID NAME...')"},
    {"--pheno-col", true, "NAME|NUMBER",
     "phenotype column: header name, or number among the phenotypes (default 1)"},
    {"--background-ids", true, "FILE",
     "background loci: the SNPs whose ids FILE lists, one a line"},
    {"--background-count", true, "K",
     "background loci: K SNPs spread evenly along the genome (default 2000)"},
    {"--min-maf", true, "F", "lowest MAF of background loci chosen by count (default 0.05)"},
    {"--markers-ids", true, "FILE", "candidate markers: the SNPs whose ids FILE lists, one a line"},
    {"--region", true, "CHR:FROM-TO", "candidate markers: the SNPs in this region (inclusive)"},
    {"--permutations", true, "R", "number of permutations R (default 1000)"},
    {"--maf", true, "F", "candidate markers: minor-allele frequency at least F (default 0: all)"},
    {"--geno", true, "F",
     "candidate markers: share of missing calls at most F (default 0.1); missing calls take "
     "the marker's mean codes"},
    {"--max-missing", true, "F", "the same as --geno"},
    {"--chr", true, "LIST", "candidate markers: on these chromosomes only (e.g. 1-4,22,X)"},
    {"--extract", true, "FILE", "candidate markers: only the SNPs whose ids FILE lists"},
    {"--exclude", true, "FILE", "candidate markers: not the SNPs whose ids FILE lists"},
    {"--keep", true, "FILE", "individuals: only those FILE lists (FID IID, or IID, a line)"},
    {"--remove", true, "FILE", "individuals: not those FILE lists (FID IID, or IID, a line)"},
};

// A share from 0 to `high` given for `option`; throws UsageError otherwise.
double parse_share(const std::string& option, const std::string& text, double high) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value >= 0.0 && value <= high)) {
    throw UsageError("option '" + option + "' needs a number from 0 to " +
                     (high == 0.5 ? std::string("0.5") : std::string("1")) + ", not '" + text +
                     "'");
  }
  return value;
}

// Parses a whole number >= 0 that may hold thousands commas; false otherwise.
bool parse_position(std::string text, long long& value) {
  text.erase(std::remove(text.begin(), text.end(), ','), text.end());
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size() && value >= 0;
}

// Parses --region CHR:FROM-TO; throws UsageError when malformed.
Region parse_region(const std::string& text) {
  const std::string usage =
      "option '--region' needs CHR:FROM-TO with FROM <= TO, not '" + text + "'";
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) throw UsageError(usage);
  const std::string range = text.substr(colon + 1);
  const std::size_t dash = range.find('-');
  Region region;
  region.chromosome = text.substr(0, colon);
  if (dash == std::string::npos || !parse_position(range.substr(0, dash), region.from) ||
      !parse_position(range.substr(dash + 1), region.to) || region.from > region.to) {
    throw UsageError(usage);
  }
  return region;
}

// Parses --min-maf: a number in [0, 0.5]; throws UsageError otherwise.
double parse_min_maf(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value >= 0.0 && value <= 0.5)) {
    throw UsageError("option '--min-maf' needs a number from 0 to 0.5, not '" + text + "'");
  }
  return value;
}

}  // namespace

const std::vector<OptionSpec>& study_choice_options() { return kChoiceOptions; }

StudyChoices study_choices_from(const ParsedArguments& parsed, const std::string& command) {
  const std::string hint = " (see '" + command + " --help')";
  StudyChoices settings;
  auto take = [&](const char* name, std::string& field) {
    if (!parsed.has(name)) return;
    field = parsed.value(name);
    if (field.empty()) throw UsageError(std::string("option '") + name + "' needs a value");
  };
  take("--bfile", settings.bfile);
  take("--vcf", settings.vcf);
  take("--pheno", settings.pheno);
  take("--pheno-col", settings.pheno_column);
  take("--background-ids", settings.background_ids);
  take("--markers-ids", settings.marker_ids);
  take("--extract", settings.extract);
  take("--exclude", settings.exclude);
  take("--keep", settings.keep);
  take("--remove", settings.remove);
  if (parsed.has("--bfile") == parsed.has("--vcf")) {
    throw UsageError(parsed.has("--bfile") ? "give either --bfile or --vcf, not both" + hint
                                           : "give the genotypes with --bfile or --vcf" + hint);
  }
  if (parsed.has("--vcf") && !parsed.has("--pheno")) {
    throw UsageError("--vcf needs a phenotype table (--pheno FILE)" + hint);
  }
  if (parsed.has("--background-ids") && parsed.has("--background-count")) {
    throw UsageError("give either --background-ids or --background-count, not both" + hint);
  }
  if (parsed.has("--markers-ids") && parsed.has("--region")) {
    throw UsageError("give either --markers-ids or --region, not both" + hint);
  }
  if (parsed.has("--background-count")) {
    settings.background_count =
        parse_count_option("--background-count", parsed.value("--background-count"), 1, 100000000);
    settings.background_count_given = true;
  }
  if (parsed.has("--min-maf")) settings.min_maf = parse_min_maf(parsed.value("--min-maf"));
  if (parsed.has("--region")) settings.region = parse_region(parsed.value("--region"));
  if (parsed.has("--permutations")) {
    settings.permutations =
        parse_count_option("--permutations", parsed.value("--permutations"), 1, 2000000000);
  }
  if (parsed.has("--maf")) settings.maf = parse_share("--maf", parsed.value("--maf"), 0.5);
  if (parsed.has("--geno") && parsed.has("--max-missing")) {
    throw UsageError("give either --geno or --max-missing (they are the same), not both" + hint);
  }
  for (const char* name : {"--geno", "--max-missing"})
    if (parsed.has(name)) settings.max_missing = parse_share(name, parsed.value(name), 1.0);
  if (parsed.has("--chr")) {
    const std::string& list = parsed.value("--chr");
    for (std::size_t start = 0; start <= list.size();) {
      const std::size_t comma = std::min(list.find(',', start), list.size());
      const std::string item = list.substr(start, comma - start);
      if (item.empty()) throw UsageError("option '--chr' needs a list such as 1-4,22,X, not '" + list + "'");
      settings.chromosomes.push_back(item);
      start = comma + 1;
    }
  }
  if (is_whole_number(settings.pheno_column)) {
    parse_count_option("--pheno-col", settings.pheno_column, 1, 1000000);
  } else if (!settings.pheno_column.empty() && settings.pheno.empty()) {
    throw UsageError(
        "--pheno-col NAME needs a phenotype table with a header (--pheno FILE); "
        "the .fam columns are chosen by number" +
        hint);
  }
  return settings;
}

}  // namespace strataperm
