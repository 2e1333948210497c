#include "commands/genotype_study/study_choices.hpp"

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
    {"--permutations", true, "R",
     "number of permutations R written to parameter.txt (default 1000)"},
};

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

bool is_whole_number(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool equal_ignoring_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string plain_chromosome(const std::string& name) {
  if (name.size() > 3 && equal_ignoring_case(name.substr(0, 3), "chr")) return name.substr(3);
  return name;
}

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
