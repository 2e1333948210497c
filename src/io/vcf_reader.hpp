// Reader of VCF and BCF files through htslib.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/genotype_records.hpp"

namespace strataperm {

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
// the first record knows the GT field .
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
// calls were asked for carries GT .
VcfScanCounts scan_vcf_genotypes(const std::string& path, const CallFilter& wanted,
                                 const VariantVisitor& visit);

// The same reading one usable variant at a time: next() fills `variant` with
// the next biallelic SNP (and `calls` with one call per sample, unless it is
// empty) and returns false at the end of the file. Throws as
// scan_vcf_genotypes.
class VcfReader {
 public:
  explicit VcfReader(const std::string& path);
  ~VcfReader();
  int sample_count() const;
  bool next(Variant& variant, std::span<std::int8_t> calls);
  const VcfScanCounts& counts() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A cursor over the usable variants of `path` by index, reading forward.
std::unique_ptr<CallCursor> open_vcf_cursor(const std::string& path);

}  // namespace strataperm
