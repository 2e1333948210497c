// Reader of VCF and BCF files through htslib (when the build has it).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "io/genotype_records.hpp"

namespace strataperm {

// Whether this build reads VCF/BCF files (it was built with htslib).
bool vcf_support_available();

// What a full pass over a VCF/BCF file saw.
struct VcfScanCounts {
  std::size_t records = 0;            // data records read
  std::size_t not_biallelic_snp = 0;  // records skipped: not one single-base REF and ALT
};

// The samples of the VCF/BCF file `path` in header order: the sample name as
// individual id, empty family id, no phenotypes. Throws InputError when the
// file cannot be opened or its header read, when it is BGZF-compressed
// (bgzipped VCF, BCF) but lacks the end-of-file block that marks a whole file,
// when it has no samples or a sample name twice, when neither the header nor
// the first record knows the GT field, or when the build lacks htslib.
std::vector<GenotypedSample> read_vcf_samples(const std::string& path);

// Reads every record of `path` (VCF, bgzipped VCF or BCF) in file order,
// after the checks of read_vcf_samples. Each
// biallelic SNP (REF and ALT single bases A, C, G or T) is a usable variant:
// allele1 is REF, allele2 ALT, the id is the ID column or CHROM:POS when that
// is '.', the position is POS. Its calls, read from GT when `wanted` asks for
// them, count ALT copies; a call that is missing, has a missing allele or is
// not diploid is kMissingCall, as are all calls of a record without GT. Other
// records are skipped and counted. Throws InputError naming the file on a
// read or parse error, a record without the sample columns, compressed data
// that ends early or does not decompress, when none of the records whose
// calls were asked for carries GT, or when the build lacks htslib.
VcfScanCounts scan_vcf_genotypes(const std::string& path, const CallFilter& wanted,
                                 const VariantVisitor& visit);

}  // namespace strataperm
