#include "study/study_plan.hpp"

#include <cstdio>

#include "core/errors.hpp"

namespace strataperm {

namespace {

std::string region_text(const Region& region) {
  return region.chromosome + ":" + std::to_string(region.from) + "-" + std::to_string(region.to);
}

// Why no candidate marker is left, and what would leave some.
[[noreturn]] void fail_without_markers(const StudyPlan& plan) {
  const StudyChoices& c = plan.choices;
  const LocusChoice& choice = plan.choice;
  const std::string source = !c.marker_ids.empty() ? c.marker_ids : plan.input->path;
  std::string why;
  auto add = [&](std::size_t count, const std::string& what) {
    if (count > 0) why += (why.empty() ? "" : ", ") + std::to_string(count) + " " + what;
  };
  add(choice.markers_other_chromosome, "on other chromosomes (--chr)");
  add(choice.markers_not_extracted, "not listed by --extract");
  add(choice.markers_excluded, "listed by --exclude");
  add(choice.markers_no_call, "without any call");
  add(choice.markers_too_many_missing, "with more missing calls than --geno allows");
  add(choice.markers_below_maf, "below --maf");
  const bool listed = !c.marker_ids.empty() || c.region.has_value();
  if (!listed && why.empty()) {
    throw InputError(
        source + ": no candidate marker left: all " + std::to_string(plan.variants().size()) +
        " usable SNPs became background loci (--background-count " +
        std::to_string(c.background_count) + "); ask for fewer with --background-count, or name "
        "the candidate markers with --region or --markers-ids");
  }
  throw InputError(source + ": no candidate marker left" +
                   (c.region ? " in region " + region_text(*c.region) : std::string()) +
                   (why.empty() ? std::string() : " (" + why + ")"));
}

}  // namespace

StudyPlan plan_study(const StudyChoices& choices, Progress& progress) {
  StudyPlan plan;
  plan.choices = choices;
  plan.input = open_genotype_input(choices);
  plan.kept = keep_individuals(choices, *plan.input);
  const std::size_t n = plan.n();

  // First pass: the usable variants and their calls among the kept individuals.
  progress.stage("reading " + plan.input->path);
  auto scanned = plan.input->listed_variants ? nullptr : std::make_shared<VariantList>();
  plan.input->scan([](std::size_t) { return true; },
                   [&](std::size_t index, const Variant& variant, std::span<const std::int8_t> calls) {
                     LocusSummary locus;
                     for (std::size_t k : plan.kept.sample_index) {
                       if (calls[k] == kMissingCall) continue;
                       ++locus.called;
                       locus.copies += calls[k];
                     }
                     if (scanned) scanned->push_back(variant);
                     plan.loci.push_back(locus);
                     if ((index & 0xfff) == 0) progress.advance("SNP read", static_cast<long>(index), 0);
                   });
  if (scanned) {
    scanned->shrink_to_fit();
    plan.variant_list = std::move(scanned);
  } else {
    plan.variant_list = plan.input->listed_variants;
  }
  plan.loci.shrink_to_fit();
  if (plan.variants().empty()) {
    throw InputError(plan.input->path + ": no usable SNP (" +
                     std::to_string(plan.input->skipped_records) +
                     " records are not biallelic SNPs)");
  }

  plan.choice = choose_loci(choices, plan.variants(), plan.loci, n);
  const LocusChoice& choice = plan.choice;
  if (choice.background.empty()) {
    const std::string source = choices.background_ids.empty() ? plan.input->path : choices.background_ids;
    throw InputError(
        source + ": no background locus left (" + std::to_string(choice.with_missing) +
        " SNPs with missing calls, " + std::to_string(choice.below_maf) + " below --min-maf, " +
        std::to_string(choice.unplaced) + " without a position, " +
        std::to_string(choice.background_also_marker) + " listed ones are candidate markers)");
  }
  if (choice.markers.empty()) fail_without_markers(plan);
  return plan;
}

std::vector<std::int8_t> read_calls(const StudyPlan& plan, const std::vector<std::size_t>& loci,
                                    Progress& progress) {
  const std::size_t n = plan.n();
  const std::size_t width = loci.size();
  std::vector<long long> column(plan.variants().size(), -1);
  for (std::size_t k = 0; k < width; ++k) column[loci[k]] = static_cast<long long>(k);
  std::vector<std::int8_t> calls(n * width);
  std::size_t seen = 0;
  progress.stage("reading the calls of the chosen SNPs");
  const auto changed = [&]() {
    return InputError(plan.input->path + ": the file changed while it was read");
  };
  plan.input->scan(
      [&](std::size_t index) { return index < column.size() && column[index] >= 0; },
      [&](std::size_t index, const Variant& variant, std::span<const std::int8_t> row) {
        ++seen;
        if (index >= plan.variants().size() || variant.id != plan.variants().id(index)) throw changed();
        if (row.empty()) return;
        const std::size_t k = static_cast<std::size_t>(column[index]);
        for (std::size_t r = 0; r < n; ++r) calls[r * width + k] = row[plan.kept.sample_index[r]];
      });
  if (seen != plan.variants().size()) throw changed();
  return calls;
}

void print_plan_summary(std::FILE* out, const StudyPlan& plan) {
  const StudyChoices& c = plan.choices;
  const LocusChoice& choice = plan.choice;
  const KeptIndividuals& kept = plan.kept;
  const GenotypeInput& input = *plan.input;
  std::fprintf(out, "individuals read: %zu\n", input.samples.size());
  std::fprintf(out, "individuals kept: %zu\n", plan.n());
  if (!c.keep.empty() || !c.remove.empty())
    std::fprintf(out, "individuals left out by --keep/--remove: %zu\n", kept.not_kept);
  std::fprintf(out, "individuals dropped, no phenotype row: %zu\n", kept.without_row);
  std::fprintf(out, "individuals dropped, missing trait: %zu\n", kept.missing_trait);
  if (!c.covar.empty()) {
    std::fprintf(out, "individuals dropped, no covariate row or a missing covariate: %zu\n",
                 kept.missing_covariate);
  }
  std::fprintf(out, "SNPs read: %zu\n", plan.variants().size());
  if (input.is_vcf) std::fprintf(out, "records skipped, not biallelic SNPs: %zu\n", input.skipped_records);
  std::fprintf(out, "SNPs with missing calls among the kept individuals: %zu (never background loci)\n",
              choice.with_missing);
  if (c.background_ids.empty()) {
    std::fprintf(out, "SNPs without a position (bp <= 0, not used as background): %zu\n", choice.unplaced);
    std::fprintf(out, "SNPs below the minimum MAF %g (not used as background): %zu\n", c.min_maf,
                choice.below_maf);
    std::fprintf(out, "background loci: %zu (spread evenly by position over %zu SNPs with MAF >= %g)\n",
                choice.background.size(), choice.pool, c.min_maf);
  } else {
    std::fprintf(out, "background loci: %zu (listed in %s)\n", choice.background.size(),
                c.background_ids.c_str());
    std::fprintf(out, "listed background loci left out, missing calls: %zu\n",
                choice.listed_background_missing);
    if (choice.background_also_marker > 0) {
      std::fprintf(out, 
          "note: %zu listed background loci are also candidate markers and are used as "
          "markers only\n",
          choice.background_also_marker);
    }
  }
  if (!c.marker_ids.empty()) {
    std::fprintf(out, "candidate markers: %zu (listed in %s)\n", choice.markers.size(),
                c.marker_ids.c_str());
  } else if (c.region) {
    std::fprintf(out, "candidate markers: %zu (in region %s)\n", choice.markers.size(),
                region_text(*c.region).c_str());
  } else {
    std::fprintf(out, "candidate markers: %zu (all other SNPs)\n", choice.markers.size());
  }
  const auto dropped = [out](const char* why, std::size_t count) {
    if (count > 0) std::fprintf(out, "candidate markers left out, %s: %zu\n", why, count);
  };
  dropped("other chromosomes (--chr)", choice.markers_other_chromosome);
  dropped("not in --extract", choice.markers_not_extracted);
  dropped("in --exclude", choice.markers_excluded);
  dropped("no call", choice.markers_no_call);
  std::fprintf(out, "candidate markers left out, missing share above %g (--geno): %zu\n", c.max_missing,
              choice.markers_too_many_missing);
  if (c.maf > 0.0) dropped("MAF below --maf", choice.markers_below_maf);
  std::fprintf(out, "candidate markers kept with missing calls (mean codes): %zu\n",
              choice.markers_with_missing);
  std::fprintf(out, "candidate markers monomorphic among the kept individuals: %zu\n",
              choice.markers_monomorphic);
}

void warn_about_choices(const StudyPlan& plan) {
  const StudyChoices& c = plan.choices;
  const LocusChoice& choice = plan.choice;
  const std::string& path = plan.input->path;
  if (choice.marker_ids_not_found > 0) {
    warn(std::to_string(choice.marker_ids_not_found) + " ids of " + c.marker_ids +
         " are not in " + path);
  }
  if (choice.background_ids_not_found > 0) {
    warn(std::to_string(choice.background_ids_not_found) + " ids of " + c.background_ids +
         " are not in " + path);
  }
  if (c.background_count_given && choice.pool < static_cast<std::size_t>(c.background_count)) {
    warn("only " + std::to_string(choice.pool) + " SNPs qualify as background loci, fewer than the " +
         std::to_string(c.background_count) + " asked for");
  }
}

std::vector<std::string> background_ids(const StudyPlan& plan) {
  std::vector<std::string> ids;
  ids.reserve(plan.choice.background.size());
  for (std::size_t v : plan.choice.background) ids.emplace_back(plan.variants().id(v));
  return ids;
}

}  // namespace strataperm

namespace strataperm {

std::vector<std::string> plan_inputs(const StudyPlan& plan) {
  const StudyChoices& c = plan.choices;
  std::vector<std::string> files;
  if (!c.bfile.empty()) {
    for (const char* extension : {".bed", ".bim", ".fam"}) files.push_back(c.bfile + extension);
  } else {
    files.push_back(c.vcf);
  }
  for (const std::string* list : {&c.pheno, &c.background_ids, &c.marker_ids, &c.extract,
                                  &c.exclude, &c.keep, &c.remove, &c.covar})
    if (!list->empty()) files.push_back(*list);
  return files;
}

}  // namespace strataperm
