#include "commands/import/import_command.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "commands/genotype_study/genotype_input.hpp"
#include "commands/genotype_study/locus_choice.hpp"
#include "commands/genotype_study/study_choices.hpp"
#include "commands/genotype_study/traits.hpp"
#include "commands/import/study_folder_writer.hpp"
#include "commands/options.hpp"
#include "core/errors.hpp"

namespace strataperm {

namespace fs = std::filesystem;

namespace {

const char* const kCommand = "strataperm import";

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

// The options of import: the study choices, and where the study goes.
std::vector<OptionSpec> import_options() {
  std::vector<OptionSpec> options = study_choice_options();
  options.push_back({"--out", true, "DIR", "study folder to write (created when missing)"});
  options.push_back({"--force", false, "", "replace the study files an earlier import left in DIR"});
  options.push_back({"--help", false, "", "show this help"});
  return options;
}

struct ImportSettings {
  StudyChoices choices;
  std::string out;
  bool force = false;
};

// Turns the parsed command line into settings; throws UsageError for
// positional words, missing or conflicting options and malformed values.
ImportSettings settings_from(const ParsedArguments& parsed) {
  const std::string hint = std::string(" (see '") + kCommand + " --help')";
  if (!parsed.positional.empty()) {
    throw UsageError(std::string("'") + kCommand + "' takes no positional argument, found '" +
                     parsed.positional.front() + "'" + hint);
  }
  ImportSettings settings;
  settings.choices = study_choices_from(parsed, kCommand);
  if (!parsed.has("--out")) throw UsageError("give the study folder to write with --out" + hint);
  settings.out = parsed.value("--out");
  if (settings.out.empty()) throw UsageError("option '--out' needs a value");
  settings.force = parsed.has("--force");
  return settings;
}

// The whole import; throws Error on any problem with the files.
void import_study(const ImportSettings& import) {
  const StudyChoices& settings = import.choices;
  const fs::path folder(import.out);
  check_output_folder(folder, import.force);

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
    throw InputError(input->path + ": no usable SNP (" + std::to_string(input->skipped_records) +
                      " records are not biallelic SNPs)");
  }

  const LocusChoice choice = choose_loci(settings, variants, loci);
  if (choice.background.empty()) {
    const std::string source =
        settings.background_ids.empty() ? input->path : settings.background_ids;
    throw InputError(
        source + ": no background locus left (" + std::to_string(choice.with_missing) +
        " SNPs with missing calls, " + std::to_string(choice.below_maf) + " below --min-maf, " +
        std::to_string(choice.background_also_marker) + " listed ones are candidate markers)");
  }
  if (choice.markers.empty()) {
    const std::string source = !settings.marker_ids.empty() ? settings.marker_ids : input->path;
    throw InputError(source + ": no candidate marker left" +
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
                  throw InputError(input->path + ": the file changed while it was read");
                }
                if (calls.empty()) return;
                const std::size_t j = static_cast<std::size_t>(column[index]);
                for (std::size_t r = 0; r < n; ++r) {
                  const std::int8_t call = calls[kept.sample_index[r]];
                  if (call == kMissingCall)
                    throw InputError(input->path + ": the file changed while it was read");
                  table[r * width + j] = call;
                }
              });
  if (seen != variants.size())
    throw InputError(input->path + ": the file changed while it was read");

  // The study files.
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw OutputError(folder.string() + ": cannot create the folder: " + error.message());
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
  std::printf("study folder: %s (run it with 'strataperm run %s')\n", import.out.c_str(),
              import.out.c_str());
  if (choice.marker_ids_not_found > 0) {
    warn(std::to_string(choice.marker_ids_not_found) + " ids of " + settings.marker_ids +
         " are not in " + input->path);
  }
  if (choice.background_ids_not_found > 0) {
    warn(std::to_string(choice.background_ids_not_found) + " ids of " + settings.background_ids +
         " are not in " + input->path);
  }
  if (settings.background_count_given &&
      choice.pool < static_cast<std::size_t>(settings.background_count)) {
    warn("only " + std::to_string(choice.pool) + " SNPs qualify as background loci, fewer than the " +
         std::to_string(settings.background_count) + " asked for");
  }
}

}  // namespace

int run_import(const std::vector<std::string>& args) {
  const std::vector<OptionSpec> options = import_options();
  const ParsedArguments parsed = parse_arguments(args, options, kCommand);
  if (parsed.has("--help")) {
    std::printf("%s%s", kImportHelp, describe_options(options).c_str());
    return 0;
  }
  import_study(settings_from(parsed));
  return 0;
}

}  // namespace strataperm
