#include "driver/import.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "driver/options.hpp"
#include "driver/plink_reader.hpp"
#include "driver/vcf_reader.hpp"

namespace strataperm {

namespace fs = std::filesystem;

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t k = 0;
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (k < line.size()) {
    while (k < line.size() && is_space(line[k])) ++k;
    const std::size_t start = k;
    while (k < line.size() && !is_space(line[k])) ++k;
    if (k > start) fields.emplace_back(line, start, k - start);
  }
  return fields;
}

namespace {

const char* const kCommand = "strataperm import";

const std::vector<OptionSpec> kImportOptions = {
    {"--bfile", true, "PREFIX",
     "PLINK binary files PREFIX.bed (SNP-major), PREFIX.bim, PREFIX.fam"},
    {"--vcf", true, "FILE", "VCF or BCF file (plain or bgzipped): biallelic SNPs, GT field"},
    {"--pheno", true, "FILE",
     "phenotype table: FID IID value... (optional header 'FID IID NAME...')"},
    {"--pheno-col", true, "NAME|NUMBER",
     "phenotype column: header name, or number among the phenotypes (default 1)"},
    {"--out", true, "DIR", "study folder to write (created when missing)"},
    {"--background-ids", true, "FILE",
     "background loci: the SNPs whose ids FILE lists, one a line"},
    {"--background-count", true, "K",
     "background loci: K SNPs spread evenly along the genome (default 2000)"},
    {"--min-maf", true, "F", "lowest MAF of background loci chosen by count (default 0.05)"},
    {"--markers-ids", true, "FILE", "candidate markers: the SNPs whose ids FILE lists, one a line"},
    {"--region", true, "CHR:FROM-TO", "candidate markers: the SNPs in this region (inclusive)"},
    {"--permutations", true, "R",
     "number of permutations R written to parameter.txt (default 1000)"},
    {"--force", false, "", "replace the study files an earlier import left in DIR"},
    {"--help", false, "", "show this help"},
};

const char* const kImportHelp =
    "usage: strataperm import (--bfile PREFIX | --vcf FILE) [--pheno FILE] --out DIR [options]\n"
    "\n"
    "Writes a ready study folder DIR from PLINK binary files or a VCF/BCF file and a\n"
    "phenotype table: parameter.txt, genotypes.txt (background loci), traits.txt\n"
    "(trait and candidate markers), markers.tsv (marker number, id, chromosome,\n"
    "position, alleles) and individuals.tsv (FID, IID). Run it with\n"
    "'strataperm run DIR'.\n"
    "\n"
    "Individuals are matched to phenotype rows by FID and IID (PLINK) or by IID, the\n"
    "VCF sample name; those without a row or with a missing trait (-9 or NA) are\n"
    "dropped. Without --pheno, PLINK input takes the trait from the .fam phenotype\n"
    "column (and --pheno-col NUMBER picks among the columns from the sixth on).\n"
    "A genotype is coded by the copies of the second allele (.bim allele2, VCF ALT):\n"
    "0 0, 0 1 or 1 1. SNPs with a missing call among the kept individuals are left\n"
    "out. Candidate markers are the SNPs of --markers-ids or --region, in file order,\n"
    "or else all SNPs not taken as background; a locus is never both. A region's\n"
    "chromosome matches with or without a 'chr' prefix. A VCF record without an ID\n"
    "gets the id CHROM:POS.\n"
    "\n"
    "options:\n";

constexpr int kDefaultBackgroundCount = 2000;
constexpr double kDefaultMinMaf = 0.05;
constexpr int kDefaultPermutations = 1000;

// The study files an import writes, parameter.txt last (it makes the folder a study).
const char* const kGenotypeFile = "genotypes.txt";
const char* const kTraitFile = "traits.txt";
const char* const kMarkerTable = "markers.tsv";
const char* const kIndividualTable = "individuals.tsv";
const char* const kParameterFile = "parameter.txt";
const char* const kStudyFiles[] = {kGenotypeFile, kTraitFile, kMarkerTable, kIndividualTable,
                                   kParameterFile};

struct Region {
  std::string chromosome;
  long long from = 0;
  long long to = 0;
};

// Everything the command line asks for, checked for consistency.
struct ImportSettings {
  std::string bfile;
  std::string vcf;
  std::string pheno;
  std::string pheno_column;  // empty: the first phenotype column
  std::string out;
  std::string background_ids;
  int background_count = kDefaultBackgroundCount;
  bool background_count_given = false;  // a shortfall is worth a warning only then
  double min_maf = kDefaultMinMaf;
  std::string marker_ids;
  std::optional<Region> region;
  int permutations = kDefaultPermutations;
  bool force = false;
};

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

// A chromosome name without a leading "chr" (any case), so "chr1" matches "1".
std::string plain_chromosome(const std::string& name) {
  if (name.size() > 3 && equal_ignoring_case(name.substr(0, 3), "chr")) return name.substr(3);
  return name;
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

// Turns the parsed command line into settings; throws UsageError for
// positional words, missing or conflicting options and malformed values.
ImportSettings settings_from(const ParsedArguments& parsed) {
  const std::string hint = std::string(" (see '") + kCommand + " --help')";
  if (!parsed.positional.empty()) {
    throw UsageError(std::string("'") + kCommand + "' takes no positional argument, found '" +
                     parsed.positional.front() + "'" + hint);
  }
  ImportSettings settings;
  auto take = [&](const char* name, std::string& field) {
    if (!parsed.has(name)) return;
    field = parsed.value(name);
    if (field.empty()) throw UsageError(std::string("option '") + name + "' needs a value");
  };
  take("--bfile", settings.bfile);
  take("--vcf", settings.vcf);
  take("--pheno", settings.pheno);
  take("--pheno-col", settings.pheno_column);
  take("--out", settings.out);
  take("--background-ids", settings.background_ids);
  take("--markers-ids", settings.marker_ids);
  if (parsed.has("--bfile") == parsed.has("--vcf")) {
    throw UsageError(parsed.has("--bfile") ? "give either --bfile or --vcf, not both" + hint
                                           : "give the genotypes with --bfile or --vcf" + hint);
  }
  if (!parsed.has("--out")) throw UsageError("give the study folder to write with --out" + hint);
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
  settings.force = parsed.has("--force");
  return settings;
}

// ---------------------------------------------------------------------------
// Traits

// A trait as read: nullopt when missing.
using Trait = std::optional<double>;

// Reads one trait field: "NA" or a value equal to -9 is missing; anything else
// must be a finite number, else ImportError with `where` and the field.
Trait parse_trait(const std::string& text, const std::string& where) {
  if (text == "NA") return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
    throw ImportError(where + ": the phenotype '" + text +
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
// given twice, a short line or a non-number is an ImportError with the line.
std::unordered_map<std::string, PhenotypeRow> read_phenotype_table(const std::string& path,
                                                                   const std::string& column,
                                                                   bool by_individual_id) {
  std::ifstream in(path);
  if (!in) throw ImportError(path + ": cannot open the file");
  std::unordered_map<std::string, PhenotypeRow> rows;
  std::unordered_map<std::string, long long> first_line;
  std::size_t field = 2;  // the index of the chosen column in a line
  bool first = true;
  std::string line;
  long long line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    const std::vector<std::string> fields = split_fields(line);
    if (fields.empty()) continue;
    const std::string where = path + ", line " + std::to_string(line_number);
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
          throw ImportError(path + ": no phenotype column named '" + column +
                            "' (the columns are " + (names.empty() ? "none" : names) + ")");
        }
        if (field >= fields.size()) {
          throw ImportError(where + ": the header names " + std::to_string(fields.size() - 2) +
                            " phenotype columns, not " + column);
        }
        continue;
      }
      if (!column.empty() && !is_whole_number(column)) {
        throw ImportError(path +
                          ": the file has no header line 'FID IID NAME...', so --pheno-col " +
                          "must be a column number, not '" + column + "'");
      }
      if (!column.empty()) field = 1 + std::stoul(column);
    }
    if (fields.size() <= field) {
      throw ImportError(where + ": expected at least " + std::to_string(field + 1) +
                        " fields (FID IID and the phenotype column), found " +
                        std::to_string(fields.size()));
    }
    const std::string key = by_individual_id ? fields[1] : fields[0] + "\t" + fields[1];
    const auto [earlier, inserted] = first_line.emplace(key, line_number);
    if (!inserted) {
      throw ImportError(where + ": individual " + fields[0] + " " + fields[1] +
                        (by_individual_id ? " (matched by IID)" : "") +
                        " appears again (first on line " + std::to_string(earlier->second) + ")");
    }
    rows.emplace(key, PhenotypeRow{fields[0], parse_trait(fields[field], where)});
  }
  if (in.bad()) throw ImportError(path + ": read error");
  return rows;
}

// ---------------------------------------------------------------------------
// Genotype input

// The genotype source: its samples and a pass over its variants.
struct GenotypeInput {
  std::string description;  // for the summary
  std::string path;         // the file named in errors about the genotypes
  std::string fam_path;     // PLINK only: where the .fam traits come from
  std::vector<GenotypedSample> samples;
  std::function<void(const CallFilter&, const VariantVisitor&)> scan;
  std::size_t skipped_records = 0;  // VCF records that are not biallelic SNPs
  bool is_vcf = false;
};

std::unique_ptr<GenotypeInput> open_genotype_input(const ImportSettings& settings) {
  auto input = std::make_unique<GenotypeInput>();
  if (!settings.bfile.empty()) {
    auto files = std::make_shared<PlinkFileSet>(read_plink_file_set(settings.bfile));
    input->description = "PLINK file set " + settings.bfile;
    input->path = files->bed_path;
    input->fam_path = files->fam_path;
    input->samples = files->samples;
    input->scan = [files](const CallFilter& wanted, const VariantVisitor& visit) {
      scan_plink_genotypes(*files, wanted, visit);
    };
  } else {
    input->description = "VCF/BCF file " + settings.vcf;
    input->path = settings.vcf;
    input->is_vcf = true;
    input->samples = read_vcf_samples(settings.vcf);
    GenotypeInput* self = input.get();
    const std::string path = settings.vcf;
    input->scan = [self, path](const CallFilter& wanted, const VariantVisitor& visit) {
      self->skipped_records = scan_vcf_genotypes(path, wanted, visit).not_biallelic_snp;
    };
  }
  return input;
}

// The individuals that enter the study, in genotype-file order.
struct KeptIndividuals {
  std::vector<std::size_t> sample_index;
  std::vector<std::string> family_id;
  std::vector<double> trait;
  std::size_t without_row = 0;
  std::size_t missing_trait = 0;
};

KeptIndividuals keep_individuals(const ImportSettings& settings, const GenotypeInput& input) {
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
        throw ImportError(where + ": no phenotype column " + std::to_string(column + 1) +
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
    throw ImportError(source + ": no individual of " + input.path + " has a trait" + why);
  }
  if (kept.sample_index.size() < 2) {
    throw ImportError(source + ": only 1 individual of " + input.path +
                      " has a trait, a study needs 2" + why);
  }
  return kept;
}

// ---------------------------------------------------------------------------
// Choice of loci

// What the first pass learns of one usable variant among the kept individuals.
struct LocusSummary {
  bool has_missing = false;
  double minor_allele_frequency = 0.0;
};

// Reads an id list: the first field of each line; blank lines and lines
// starting with '#' are skipped.
std::unordered_set<std::string> read_id_list(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ImportError(path + ": cannot open the file");
  std::unordered_set<std::string> ids;
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = split_fields(line);
    if (fields.empty() || fields[0][0] == '#') continue;
    ids.insert(fields[0]);
  }
  if (in.bad()) throw ImportError(path + ": read error");
  if (ids.empty()) throw ImportError(path + ": the file lists no ids");
  return ids;
}

// Marks the variants whose ids `ids` holds; returns how many ids matched none.
std::size_t mark_listed(const std::vector<Variant>& variants,
                        const std::unordered_set<std::string>& ids, std::vector<char>& marked) {
  std::unordered_set<std::string> found;
  for (std::size_t v = 0; v < variants.size(); ++v) {
    if (ids.count(variants[v].id) != 0) {
      marked[v] = 1;
      found.insert(variants[v].id);
    }
  }
  return ids.size() - found.size();
}

// `count` positions spread evenly over `pool` (all of it when it is smaller):
// pool[floor((2i+1) P / 2K)] for i = 0..K-1, in pool order.
std::vector<std::size_t> spread_evenly(const std::vector<std::size_t>& pool, std::size_t count) {
  if (count >= pool.size()) return pool;
  std::vector<std::size_t> chosen(count);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned long long at =
        (2ULL * i + 1) * pool.size() / (2ULL * static_cast<unsigned long long>(count));
    chosen[i] = pool[static_cast<std::size_t>(at)];
  }
  return chosen;
}

// The chosen loci and the counts the summary reports.
struct LocusChoice {
  std::vector<std::size_t> background;  // variant indices, in file order
  std::vector<std::size_t> markers;     // variant indices, in file order
  std::size_t with_missing = 0;
  std::size_t below_maf = 0;  // among the SNPs a count-based choice could take
  std::size_t pool = 0;       // SNPs a count-based choice chose from
  std::size_t listed_markers_missing = 0;
  std::size_t listed_background_missing = 0;
  std::size_t background_also_marker = 0;
  std::size_t marker_ids_not_found = 0;
  std::size_t background_ids_not_found = 0;
};

LocusChoice choose_loci(const ImportSettings& settings, const std::vector<Variant>& variants,
                        const std::vector<LocusSummary>& loci) {
  LocusChoice choice;
  const std::size_t count = variants.size();
  for (const LocusSummary& locus : loci) choice.with_missing += locus.has_missing ? 1 : 0;

  std::vector<char> listed_marker(count, 0);
  const bool markers_listed = !settings.marker_ids.empty() || settings.region.has_value();
  if (!settings.marker_ids.empty()) {
    choice.marker_ids_not_found =
        mark_listed(variants, read_id_list(settings.marker_ids), listed_marker);
  } else if (settings.region) {
    const std::string chromosome = plain_chromosome(settings.region->chromosome);
    for (std::size_t v = 0; v < count; ++v) {
      listed_marker[v] = plain_chromosome(variants[v].chromosome) == chromosome &&
                         variants[v].position >= settings.region->from &&
                         variants[v].position <= settings.region->to;
    }
  }

  std::vector<char> background(count, 0);
  if (!settings.background_ids.empty()) {
    std::vector<char> listed(count, 0);
    choice.background_ids_not_found =
        mark_listed(variants, read_id_list(settings.background_ids), listed);
    for (std::size_t v = 0; v < count; ++v) {
      if (!listed[v]) continue;
      if (listed_marker[v]) {
        ++choice.background_also_marker;
      } else if (loci[v].has_missing) {
        ++choice.listed_background_missing;
      } else {
        background[v] = 1;
      }
    }
  } else {
    std::vector<std::size_t> pool;
    for (std::size_t v = 0; v < count; ++v) {
      if (loci[v].has_missing || listed_marker[v]) continue;
      if (loci[v].minor_allele_frequency < settings.min_maf) {
        ++choice.below_maf;
      } else {
        pool.push_back(v);
      }
    }
    choice.pool = pool.size();
    for (std::size_t v : spread_evenly(pool, static_cast<std::size_t>(settings.background_count)))
      background[v] = 1;
  }

  for (std::size_t v = 0; v < count; ++v) {
    if (background[v]) {
      choice.background.push_back(v);
    } else if (markers_listed ? listed_marker[v] : true) {
      if (!loci[v].has_missing) {
        choice.markers.push_back(v);
      } else if (markers_listed) {
        ++choice.listed_markers_missing;
      }
    }
  }
  return choice;
}

// ---------------------------------------------------------------------------
// Output

// Writes the study files under temporary names and renames them into place
// together; the destructor removes whatever temporary is left (a failed import).
class StagedFolder {
 public:
  explicit StagedFolder(fs::path folder) : folder_(std::move(folder)) {}
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;
  ~StagedFolder() {
    std::error_code ignored;
    for (const fs::path& temporary : temporaries_) fs::remove(temporary, ignored);
  }

  // Writes `name` under a temporary name through `body`; throws ImportError
  // naming the file when it cannot be created or written.
  void write(const std::string& name, const std::function<void(std::FILE*)>& body) {
    const fs::path final_path = folder_ / name;
    const fs::path temporary = folder_ / ("." + name + ".import-tmp");
    temporaries_.push_back(temporary);
    names_.push_back(name);
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
      throw ImportError(final_path.string() + ": cannot create the file: " + std::strerror(errno));
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(file, buffer.data(), _IOFBF, buffer.size());
    body(file);
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    if (std::fclose(file) != 0 || failed) {
      throw ImportError(final_path.string() +
                        ": cannot write the file: " + std::strerror(failed ? saved : errno));
    }
  }

  // Renames every written file into place, in the order written.
  void commit() {
    for (std::size_t k = 0; k < temporaries_.size(); ++k) {
      std::error_code error;
      fs::rename(temporaries_[k], folder_ / names_[k], error);
      if (error) {
        throw ImportError((folder_ / names_[k]).string() +
                          ": cannot move the file into place: " + error.message());
      }
    }
    temporaries_.clear();
  }

 private:
  fs::path folder_;
  std::vector<fs::path> temporaries_;
  std::vector<std::string> names_;
};

// Checks before any reading that `folder` can receive a study: it is a folder
// (or absent) and holds no study file unless `force`.
void check_output_folder(const fs::path& folder, bool force) {
  std::error_code error;
  const fs::file_status status = fs::status(folder, error);
  if (!fs::exists(status)) return;
  if (!fs::is_directory(status))
    throw ImportError(folder.string() + ": exists and is not a folder");
  if (force) return;
  std::string present;
  for (const char* name : kStudyFiles) {
    if (fs::exists(folder / name, error))
      present += (present.empty() ? "" : ", ") + std::string(name);
  }
  if (!present.empty()) {
    throw ImportError(folder.string() + ": the folder already holds study files (" + present +
                      "); give --force to replace them");
  }
}

// The two allele codes of a call (copies of allele2).
const char* codes_of(std::int8_t call) {
  static const char* const kCodes[3] = {"0 0", "0 1", "1 1"};
  return kCodes[call];
}

// Appends the codes of `count` calls, each preceded by a space.
void append_codes(std::string& line, const std::int8_t* calls, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    line += ' ';
    line += codes_of(calls[k]);
  }
}

void write_line(std::FILE* file, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), file);
  std::fputc('\n', file);
}

// The whole import; throws ImportError on any problem with the files.
void import_study(const ImportSettings& settings) {
  const fs::path folder(settings.out);
  check_output_folder(folder, settings.force);

  const std::unique_ptr<GenotypeInput> input = open_genotype_input(settings);
  const KeptIndividuals kept = keep_individuals(settings, *input);
  const std::size_t n = kept.sample_index.size();

  // First pass: the usable variants and their calls among the kept individuals.
  std::vector<Variant> variants;
  std::vector<LocusSummary> loci;
  input->scan([](std::size_t) { return true; },
              [&](std::size_t, const Variant& variant, std::span<const std::int8_t> calls) {
                LocusSummary locus;
                long long copies = 0;
                for (std::size_t k : kept.sample_index) {
                  if (calls[k] == kMissingCall) {
                    locus.has_missing = true;
                    break;
                  }
                  copies += calls[k];
                }
                if (!locus.has_missing) {
                  const double frequency =
                      static_cast<double>(copies) / (2.0 * static_cast<double>(n));
                  locus.minor_allele_frequency = std::min(frequency, 1.0 - frequency);
                }
                variants.push_back(variant);
                loci.push_back(locus);
              });
  if (variants.empty()) {
    throw ImportError(input->path + ": no usable SNP (" + std::to_string(input->skipped_records) +
                      " records are not biallelic SNPs)");
  }

  const LocusChoice choice = choose_loci(settings, variants, loci);
  if (choice.background.empty()) {
    const std::string source =
        settings.background_ids.empty() ? input->path : settings.background_ids;
    throw ImportError(
        source + ": no background locus left (" + std::to_string(choice.with_missing) +
        " SNPs with missing calls, " + std::to_string(choice.below_maf) + " below --min-maf, " +
        std::to_string(choice.background_also_marker) + " listed ones are candidate markers)");
  }
  if (choice.markers.empty()) {
    const std::string source = !settings.marker_ids.empty() ? settings.marker_ids : input->path;
    throw ImportError(source + ": no candidate marker left" +
                      (settings.region ? " in region " + settings.region->chromosome + ":" +
                                             std::to_string(settings.region->from) + "-" +
                                             std::to_string(settings.region->to)
                                       : std::string()) +
                      (choice.listed_markers_missing > 0
                           ? " (" + std::to_string(choice.listed_markers_missing) +
                                 " listed ones have missing calls)"
                           : std::string()));
  }

  // Second pass: the calls of the chosen loci, one row of L + M per individual.
  const std::size_t loci_count = choice.background.size();
  const std::size_t marker_count = choice.markers.size();
  const std::size_t width = loci_count + marker_count;
  std::vector<long long> column(variants.size(), -1);
  for (std::size_t j = 0; j < loci_count; ++j)
    column[choice.background[j]] = static_cast<long long>(j);
  for (std::size_t j = 0; j < marker_count; ++j)
    column[choice.markers[j]] = static_cast<long long>(loci_count + j);
  std::vector<std::int8_t> table(n * width);
  std::size_t seen = 0;
  input->scan([&](std::size_t index) { return index < column.size() && column[index] >= 0; },
              [&](std::size_t index, const Variant& variant, std::span<const std::int8_t> calls) {
                ++seen;
                if (index >= variants.size() || variant.id != variants[index].id) {
                  throw ImportError(input->path + ": the file changed while it was read");
                }
                if (calls.empty()) return;
                const std::size_t j = static_cast<std::size_t>(column[index]);
                for (std::size_t r = 0; r < n; ++r) {
                  const std::int8_t call = calls[kept.sample_index[r]];
                  if (call == kMissingCall)
                    throw ImportError(input->path + ": the file changed while it was read");
                  table[r * width + j] = call;
                }
              });
  if (seen != variants.size())
    throw ImportError(input->path + ": the file changed while it was read");

  // The study files.
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw ImportError(folder.string() + ": cannot create the folder: " + error.message());
  StagedFolder staged(folder);
  std::string line;
  staged.write(kGenotypeFile, [&](std::FILE* file) {
    std::fprintf(file,
                 "background genotypes from strataperm import: %zu individuals (individuals.tsv) "
                 "x %zu loci, two allele codes each (copies of allele2)\n",
                 n, loci_count);
    for (std::size_t r = 0; r < n; ++r) {
      line.clear();
      append_codes(line, &table[r * width], loci_count);
      line.erase(0, 1);
      write_line(file, line);
    }
  });
  staged.write(kTraitFile, [&](std::FILE* file) {
    std::fprintf(file,
                 "trait, then two allele codes (copies of allele2) for each of %zu candidate "
                 "markers (markers.tsv)\n",
                 marker_count);
    char value[40];
    for (std::size_t r = 0; r < n; ++r) {
      std::snprintf(value, sizeof value, "%.17g", kept.trait[r]);
      line = value;
      append_codes(line, &table[r * width + loci_count], marker_count);
      write_line(file, line);
    }
  });
  staged.write(kMarkerTable, [&](std::FILE* file) {
    std::fprintf(file, "marker\tid\tchromosome\tposition\tallele1\tallele2\n");
    for (std::size_t j = 0; j < marker_count; ++j) {
      const Variant& v = variants[choice.markers[j]];
      std::fprintf(file, "%zu\t%s\t%s\t%lld\t%s\t%s\n", j + 1, v.id.c_str(), v.chromosome.c_str(),
                   v.position, v.allele1.c_str(), v.allele2.c_str());
    }
  });
  staged.write(kIndividualTable, [&](std::FILE* file) {
    std::fprintf(file, "FID\tIID\n");
    for (std::size_t r = 0; r < n; ++r) {
      const GenotypedSample& sample = input->samples[kept.sample_index[r]];
      std::fprintf(file, "%s\t%s\n", kept.family_id[r].c_str(), sample.individual_id.c_str());
    }
  });
  staged.write(kParameterFile, [&](std::FILE* file) {
    std::fprintf(file,
                 "genotype file of the background loci\n%s\n"
                 "trait and marker file\n%s\n"
                 "results file\nresults.txt\n"
                 "number of permutations (R)\n%d\n"
                 "number of background loci (L)\n%zu\n"
                 "number of candidate markers (M)\n%zu\n"
                 "number of individuals (N)\n%zu\n",
                 kGenotypeFile, kTraitFile, settings.permutations, loci_count, marker_count, n);
  });
  staged.commit();

  // The summary.
  std::printf("strataperm import from %s\n", input->description.c_str());
  std::printf("individuals read: %zu\n", input->samples.size());
  std::printf("individuals kept: %zu\n", n);
  std::printf("individuals dropped, no phenotype row: %zu\n", kept.without_row);
  std::printf("individuals dropped, missing trait: %zu\n", kept.missing_trait);
  std::printf("SNPs read: %zu\n", variants.size());
  if (input->is_vcf)
    std::printf("records skipped, not biallelic SNPs: %zu\n", input->skipped_records);
  std::printf("SNPs left out, missing calls among the kept individuals: %zu\n",
              choice.with_missing);
  if (settings.background_ids.empty()) {
    std::printf("SNPs below the minimum MAF %g (not used as background): %zu\n", settings.min_maf,
                choice.below_maf);
    std::printf("background loci: %zu (spread evenly over %zu SNPs with MAF >= %g)\n", loci_count,
                choice.pool, settings.min_maf);
  } else {
    std::printf("background loci: %zu (listed in %s)\n", loci_count,
                settings.background_ids.c_str());
    std::printf("listed background loci left out, missing calls: %zu\n",
                choice.listed_background_missing);
    if (choice.background_also_marker > 0) {
      std::printf(
          "note: %zu listed background loci are also candidate markers and are used as "
          "markers only\n",
          choice.background_also_marker);
    }
  }
  if (!settings.marker_ids.empty()) {
    std::printf("candidate markers: %zu (listed in %s)\n", marker_count,
                settings.marker_ids.c_str());
  } else if (settings.region) {
    std::printf("candidate markers: %zu (in region %s:%lld-%lld)\n", marker_count,
                settings.region->chromosome.c_str(), settings.region->from, settings.region->to);
  } else {
    std::printf("candidate markers: %zu (all other SNPs)\n", marker_count);
  }
  if (!settings.marker_ids.empty() || settings.region) {
    std::printf("listed candidate markers left out, missing calls: %zu\n",
                choice.listed_markers_missing);
  }
  std::printf("study folder: %s (run it with 'strataperm run %s')\n", settings.out.c_str(),
              settings.out.c_str());
  std::fflush(stdout);
  if (choice.marker_ids_not_found > 0) {
    std::fprintf(stderr, "strataperm: warning: %zu ids of %s are not in %s\n",
                 choice.marker_ids_not_found, settings.marker_ids.c_str(), input->path.c_str());
  }
  if (choice.background_ids_not_found > 0) {
    std::fprintf(stderr, "strataperm: warning: %zu ids of %s are not in %s\n",
                 choice.background_ids_not_found, settings.background_ids.c_str(),
                 input->path.c_str());
  }
  if (settings.background_count_given &&
      choice.pool < static_cast<std::size_t>(settings.background_count)) {
    std::fprintf(stderr,
                 "strataperm: warning: only %zu SNPs qualify as background loci, fewer than the %d "
                 "asked for\n",
                 choice.pool, settings.background_count);
  }
}

}  // namespace

int run_import(const std::vector<std::string>& args) {
  const ParsedArguments parsed = parse_arguments(args, kImportOptions, kCommand);
  if (parsed.has("--help")) {
    std::printf("%s%s", kImportHelp, describe_options(kImportOptions).c_str());
    return 0;
  }
  const ImportSettings settings = settings_from(parsed);
  try {
    import_study(settings);
    return 0;
  } catch (const ImportError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "strataperm: %s\n", error.what());
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "strataperm: not enough memory for the import\n");
  } catch (const fs::filesystem_error& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "strataperm: %s\n", error.what());
  }
  return 1;
}

}  // namespace strataperm
