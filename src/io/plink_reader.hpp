// Reader of PLINK 1 binary file sets (.bed, .bim, .fam), SNP-major layout.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/genotype_records.hpp"

namespace strataperm {

// The text parts of a PLINK file set and the checked location of its .bed.
struct PlinkFileSet {
  std::string bed_path;
  std::string bim_path;
  std::string fam_path;
  std::vector<GenotypedSample> samples;  // from .fam, in file order
  VariantList variants;                  // from .bim, in file order
};

// Reads PREFIX.fam (FID IID father mother sex phenotype [more phenotypes]) and
// PREFIX.bim (chromosome id cM position allele1 allele2; the position a whole
// number, negative for an unplaced SNP), and checks that
// PREFIX.bed starts with the magic bytes 0x6c 0x1b and the SNP-major mode byte
// 0x01 and has exactly the size the two counts give. Blank lines are skipped;
// an individual (FID and IID) listed twice in the .fam is refused.
// Throws InputError naming the file (and line) on any problem.
PlinkFileSet read_plink_file_set(const std::string& prefix);

// Bytes one SNP takes in a SNP-major .bed file: two bits per individual.
std::size_t bed_bytes_per_snp(std::size_t sample_count);

// Decodes the packed calls of one SNP into `calls` (one per individual): the
// two bits of individual k are bits 2(k mod 4) and 2(k mod 4)+1 of byte k/4;
// 00 gives 0 (homozygous allele1), 01 kMissingCall, 10 gives 1, 11 gives 2.
// `packed` must hold at least bed_bytes_per_snp(calls.size()) bytes.
void decode_bed_calls(std::span<const unsigned char> packed, std::span<std::int8_t> calls);

// Reads the .bed genotypes of `files` SNP by SNP, in .bim order, calling
// `visit` for each with the decoded calls when `wanted` asks for them (and no
// calls otherwise). Throws InputError when the .bed cannot be read.
void scan_plink_genotypes(const PlinkFileSet& files, const CallFilter& wanted,
                          const VariantVisitor& visit);

}  // namespace strataperm
