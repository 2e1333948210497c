// libFuzzer target for the VCF/BCF reader (read_vcf_samples and
// scan_vcf_genotypes, through htslib).
//
// The input is the whole file: written as data.vcf.gz when it starts with the
// gzip magic bytes (a bgzipped VCF or a BCF), else as data.vcf, in a folder
// of this process (see LLVMFuzzerInitialize). htslib tells the format from
// the content. A reader may refuse any input with InputError; anything else
// it does wrong (a crash, a call outside -1..2, a visit out of order) stops
// the fuzzer.
//
// The seeds in corpus_vcf are small VCF texts, one bgzipped (bgzip), one as
// BCF (bcftools view -Ob) and the same BCF decompressed (htslib reads it as
// uncompressed BCF, so mutations reach the BCF record parser past the CRC of
// the compressed blocks), and slightly broken ones: cut, a sample twice, no
// samples, no GT, a bad POS.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/errors.hpp"
#include "fuzz/scratch_folder.hpp"
#include "io/genotype_records.hpp"
#include "io/vcf_reader.hpp"

using namespace strataperm;

namespace {

const std::filesystem::path& folder = fuzzing::scratch_folder();

// Scans `path`, asking for the calls of the variants `wanted` picks, and
// checks what the visitor is given; returns the number of variants.
std::size_t scan(const std::string& path, std::size_t samples, const CallFilter& wanted) {
  std::size_t next = 0;
  const VcfScanCounts counts = scan_vcf_genotypes(
      path, wanted,
      [&](std::size_t index, const Variant& variant, std::span<const std::int8_t> calls) {
        if (index != next++ || variant.allele1.size() != 1 || variant.allele2.size() != 1 ||
            variant.position < 1 || variant.id.empty()) {
          __builtin_trap();
        }
        if (wanted(index) ? calls.size() != samples : !calls.empty()) __builtin_trap();
        for (const std::int8_t call : calls) {
          if (call < kMissingCall || call > 2) __builtin_trap();
        }
      });
  if (counts.records != next + counts.not_biallelic_snp) __builtin_trap();
  return next;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return fuzzing::make_scratch_folder("fuzz_vcf") ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool gzip = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
  const std::string path = (folder / (gzip ? "data.vcf.gz" : "data.vcf")).string();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) return 0;
  try {
    const std::size_t samples = read_vcf_samples(path).size();
    if (samples == 0) __builtin_trap();
    const std::size_t all = scan(path, samples, [](std::size_t) { return true; });
    // The second pass of an import asks for some calls only, and must see
    // the same variants.
    if (scan(path, samples, [](std::size_t index) { return index % 2 == 0; }) != all)
      __builtin_trap();
  } catch (const InputError&) {
  }
  return 0;
}
