#include "study/genotype_input.hpp"

#include "core/errors.hpp"
#include "io/bed_cursor.hpp"
#include "io/plink_reader.hpp"
#include "io/vcf_reader.hpp"

namespace strataperm {

std::unique_ptr<GenotypeInput> open_genotype_input(const StudyChoices& settings) {
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
    input->open_cursor = [files]() { return open_bed_cursor(*files); };
    input->listed_variants = std::shared_ptr<const VariantList>(files, &files->variants);
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
    input->open_cursor = [path]() { return open_vcf_cursor(path); };
  }
  return input;
}

}  // namespace strataperm
