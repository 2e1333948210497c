#include "io/plink_reader.hpp"

#include <charconv>
#include <cstdio>
#include <memory>
#include <unordered_map>

#include "core/errors.hpp"
#include "core/file_handle.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

namespace {

// Reads the .fam individuals: at least six fields a line, each FID and IID
// pair once.
std::vector<GenotypedSample> read_fam(const std::string& path) {
  RecordReader reader(path);
  std::vector<GenotypedSample> samples;
  std::unordered_map<std::string, long long> line_of;  // FID tab IID: its line
  std::vector<std::string> fields;
  while (reader.next_fields(fields)) {
    const long long line_number = reader.line_number();
    if (fields.size() < 6) {
      reader.fail("expected 6 fields (FID IID father mother sex phenotype), found " +
                  std::to_string(fields.size()));
    }
    // Fields hold no tab, so FID tab IID names one pair only.
    const auto [earlier, inserted] = line_of.emplace(fields[0] + '\t' + fields[1], line_number);
    if (!inserted) {
      throw InputError(path + ", lines " + std::to_string(earlier->second) + " and " +
                        std::to_string(line_number) + ": individual " + fields[0] + " " +
                        fields[1] + " is listed twice");
    }
    GenotypedSample sample;
    sample.family_id = std::move(fields[0]);
    sample.individual_id = std::move(fields[1]);
    sample.phenotypes.assign(std::make_move_iterator(fields.begin() + 5),
                             std::make_move_iterator(fields.end()));
    samples.push_back(std::move(sample));
  }
  if (samples.empty()) throw InputError(path + ": the file lists no individuals");
  return samples;
}

// Reads the .bim SNPs: six fields a line, a whole-number position (PLINK
// writes a negative one for an unplaced SNP).
VariantList read_bim(const std::string& path) {
  RecordReader reader(path);
  VariantList variants;
  std::vector<std::string> fields;
  while (reader.next_fields(fields)) {
    if (fields.size() != 6) {
      reader.fail("expected 6 fields (chromosome id cM position allele1 allele2), found " +
                  std::to_string(fields.size()));
    }
    Variant variant;
    const std::string& text = fields[3];
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), variant.position);
    if (error != std::errc() || end != text.data() + text.size()) {
      reader.fail("the position '" + text + "' is not a whole number");
    }
    variant.chromosome = std::move(fields[0]);
    variant.id = std::move(fields[1]);
    variant.allele1 = std::move(fields[4]);
    variant.allele2 = std::move(fields[5]);
    variants.push_back(variant);
  }
  if (variants.empty()) throw InputError(path + ": the file lists no SNPs");
  variants.shrink_to_fit();
  return variants;
}

// Opens the .bed file and checks its three header bytes.
FileHandle open_bed(const std::string& path) {
  FileHandle file(std::fopen(path.c_str(), "rb"));
  if (!file) throw InputError(path + ": cannot open the file");
  unsigned char header[3] = {0, 0, 0};
  const std::size_t got = std::fread(header, 1, 3, file.get());
  if (got < 2 || header[0] != 0x6c || header[1] != 0x1b) {
    throw InputError(path + ": not a PLINK .bed file (it does not start with 0x6c 0x1b)");
  }
  if (got < 3) throw InputError(path + ": the file ends inside its 3-byte header");
  if (header[2] == 0x00) {
    throw InputError(path +
                      ": individual-major .bed files (mode byte 0x00) are not supported; "
                      "rewrite it SNP-major with 'plink --bfile PREFIX --make-bed --out NEW'");
  }
  if (header[2] != 0x01) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "0x%02x", header[2]);
    throw InputError(path + ": unknown .bed mode byte " + mode + " (expected 0x01, SNP-major)");
  }
  return file;
}

}  // namespace

std::size_t bed_bytes_per_snp(std::size_t sample_count) { return (sample_count + 3) / 4; }

void decode_bed_calls(std::span<const unsigned char> packed, std::span<std::int8_t> calls) {
  static constexpr std::int8_t kCallOfCode[4] = {0, kMissingCall, 1, 2};
  for (std::size_t k = 0; k < calls.size(); ++k) {
    calls[k] = kCallOfCode[(packed[k / 4] >> (2 * (k % 4))) & 3u];
  }
}

PlinkFileSet read_plink_file_set(const std::string& prefix) {
  PlinkFileSet files;
  files.bed_path = prefix + ".bed";
  files.bim_path = prefix + ".bim";
  files.fam_path = prefix + ".fam";
  // The .bed header first: a wrong file is best reported before the text parts.
  FileHandle bed = open_bed(files.bed_path);
  files.samples = read_fam(files.fam_path);
  files.variants = read_bim(files.bim_path);

  const unsigned long long expected =
      3 + static_cast<unsigned long long>(bed_bytes_per_snp(files.samples.size())) *
              files.variants.size();
  if (std::fseek(bed.get(), 0, SEEK_END) != 0) {
    throw InputError(files.bed_path + ": cannot find the size of the file");
  }
  const long long size = static_cast<long long>(std::ftell(bed.get()));
  if (size < 0 || static_cast<unsigned long long>(size) != expected) {
    throw InputError(files.bed_path + ": the file has " + std::to_string(size) + " bytes, but " +
                      std::to_string(files.samples.size()) + " individuals in " + files.fam_path +
                      " and " + std::to_string(files.variants.size()) + " SNPs in " +
                      files.bim_path + " need " + std::to_string(expected));
  }
  return files;
}

void scan_plink_genotypes(const PlinkFileSet& files, const CallFilter& wanted,
                          const VariantVisitor& visit) {
  FileHandle bed = open_bed(files.bed_path);
  const std::size_t bytes = bed_bytes_per_snp(files.samples.size());
  std::vector<unsigned char> packed(bytes);
  std::vector<std::int8_t> calls(files.samples.size());
  Variant variant;
  for (std::size_t index = 0; index < files.variants.size(); ++index) {
    variant = files.variants[index];
    if (!wanted(index)) {
      // Skipped SNPs are not read at all.
      const long long offset =
          3 + static_cast<long long>(bytes) * static_cast<long long>(index + 1);
      if (index + 1 < files.variants.size() &&
          std::fseek(bed.get(), static_cast<long>(offset), SEEK_SET) != 0) {
        throw InputError(files.bed_path + ": cannot seek to SNP " + std::to_string(index + 2));
      }
      visit(index, variant, {});
      continue;
    }
    if (std::fread(packed.data(), 1, bytes, bed.get()) != bytes) {
      throw InputError(files.bed_path + ": the file ends inside SNP " + std::to_string(index + 1) +
                        " (" + variant.id + ")");
    }
    decode_bed_calls(packed, calls);
    visit(index, variant, calls);
  }
}

}  // namespace strataperm
