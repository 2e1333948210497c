#include "io/vcf_reader.hpp"

#ifdef STRATAPERM_HAVE_HTSLIB
#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/vcf.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#endif

#include "core/errors.hpp"

namespace strataperm {

#ifndef STRATAPERM_HAVE_HTSLIB

namespace {

[[noreturn]] void fail_without_htslib(const std::string& path) {
  throw InputError(path +
                    ": this build of strataperm cannot read VCF/BCF files (it was built without "
                    "htslib); rebuild it with libhts-dev and pkg-config installed, or convert "
                    "the file with 'plink --vcf FILE --make-bed' and use --bfile");
}

}  // namespace

bool vcf_support_available() { return false; }

std::vector<GenotypedSample> read_vcf_samples(const std::string& path) {
  fail_without_htslib(path);
}

VcfScanCounts scan_vcf_genotypes(const std::string& path, const CallFilter&,
                                 const VariantVisitor&) {
  fail_without_htslib(path);
}

#else

namespace {

struct HtsFileCloser {
  void operator()(htsFile* file) const {
    if (file != nullptr) hts_close(file);
  }
};
struct HeaderDestroyer {
  void operator()(bcf_hdr_t* header) const {
    if (header != nullptr) bcf_hdr_destroy(header);
  }
};
struct RecordDestroyer {
  void operator()(bcf1_t* record) const {
    if (record != nullptr) bcf_destroy(record);
  }
};
using HtsFile = std::unique_ptr<htsFile, HtsFileCloser>;
using Header = std::unique_ptr<bcf_hdr_t, HeaderDestroyer>;
using Record = std::unique_ptr<bcf1_t, RecordDestroyer>;

// An open VCF/BCF file with its header read.
struct OpenVcf {
  HtsFile file;
  Header header;
};

// Opens `path` and reads its header; throws InputError on failure. htslib's
// own diagnostics are silenced: the error is reported as one line.
OpenVcf open_vcf(const std::string& path) {
  hts_set_log_level(HTS_LOG_OFF);
  OpenVcf vcf;
  if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
    std::fclose(probe);
  } else {
    throw InputError(path + ": cannot open the file");
  }
  vcf.file.reset(hts_open(path.c_str(), "r"));
  if (!vcf.file) throw InputError(path + ": not a VCF or BCF file");
  const htsFormat* format = hts_get_format(vcf.file.get());
  if (format == nullptr || format->category != variant_data) {
    throw InputError(path + ": not a VCF or BCF file");
  }
  vcf.header.reset(bcf_hdr_read(vcf.file.get()));
  if (!vcf.header) throw InputError(path + ": the VCF/BCF header is malformed");
  return vcf;
}

// Whether `allele` is one of the bases A, C, G, T (either case).
bool is_single_base(const char* allele) {
  if (allele == nullptr || allele[0] == '\0' || allele[1] != '\0') return false;
  return std::strchr("ACGTacgt", allele[0]) != nullptr;
}

// The ALT-copy count of one sample's GT values (`ploidy` of them), or
// kMissingCall when the call is missing, partly missing or not diploid.
std::int8_t diploid_call(const std::int32_t* gt, int ploidy) {
  if (ploidy < 2) return kMissingCall;
  if (ploidy > 2 && gt[2] != bcf_int32_vector_end) return kMissingCall;
  std::int8_t count = 0;
  for (int k = 0; k < 2; ++k) {
    if (gt[k] == bcf_int32_vector_end || bcf_gt_is_missing(gt[k])) return kMissingCall;
    const int allele = bcf_gt_allele(gt[k]);
    if (allele < 0 || allele > 1) return kMissingCall;
    count = static_cast<std::int8_t>(count + allele);
  }
  return count;
}

// Says in words what the htslib error bits `errors` of a record mean, or that
// its POS is not a position when `position` (0-based) is negative.
std::string problem_of(int errors, hts_pos_t position) {
  if (errors & BCF_ERR_NCOLS) return "its number of columns does not match the samples";
  if (errors & BCF_ERR_CHAR) return "it holds invalid characters";
  if (errors & BCF_ERR_LIMITS) return "it exceeds the limits htslib accepts";
  if (errors & BCF_ERR_CTG_INVALID) return "its CHROM is invalid";
  if (errors & BCF_ERR_TAG_INVALID) return "an INFO or FORMAT field does not match its header line";
  if (errors == 0 && position < 0) return "its POS is not a whole number >= 1";
  return "htslib cannot parse it";
}

}  // namespace

bool vcf_support_available() { return true; }

std::vector<GenotypedSample> read_vcf_samples(const std::string& path) {
  const OpenVcf vcf = open_vcf(path);
  const int count = bcf_hdr_nsamples(vcf.header.get());
  std::vector<GenotypedSample> samples(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k)
    samples[static_cast<std::size_t>(k)].individual_id = vcf.header->samples[k];
  return samples;
}

VcfScanCounts scan_vcf_genotypes(const std::string& path, const CallFilter& wanted,
                                 const VariantVisitor& visit) {
  const OpenVcf vcf = open_vcf(path);
  bcf_hdr_t* header = vcf.header.get();
  const int sample_count = bcf_hdr_nsamples(header);
  Record record(bcf_init());
  if (!record) throw InputError(path + ": out of memory");

  VcfScanCounts counts;
  std::size_t index = 0;
  std::vector<std::int8_t> calls(static_cast<std::size_t>(sample_count));
  std::int32_t* gt = nullptr;
  int gt_capacity = 0;
  struct GtFree {
    std::int32_t*& values;
    ~GtFree() { std::free(values); }
  } gt_free{gt};
  Variant variant;

  for (;;) {
    const int status = bcf_read(vcf.file.get(), header, record.get());
    if (status == -1) break;
    const int fatal = record->errcode & ~(BCF_ERR_CTG_UNDEF | BCF_ERR_TAG_UNDEF);
    if (status < -1 || fatal != 0 || record->pos < 0) {
      throw InputError(path + ": record " + std::to_string(counts.records + 1) +
                        " is malformed (" + problem_of(fatal, record->pos) + ")" +
                        (counts.records == 0
                             ? std::string()
                             : "; the record before it is at " + variant.chromosome + ":" +
                                   std::to_string(variant.position)));
    }
    ++counts.records;
    if (bcf_unpack(record.get(), BCF_UN_STR) < 0) {
      throw InputError(path + ": record " + std::to_string(counts.records) + " is malformed");
    }
    if (record->n_allele != 2 || !is_single_base(record->d.allele[0]) ||
        !is_single_base(record->d.allele[1])) {
      ++counts.not_biallelic_snp;
      continue;
    }
    const char* chromosome = bcf_seqname(header, record.get());
    variant.chromosome = chromosome != nullptr ? chromosome : ".";
    variant.position = static_cast<long long>(record->pos) + 1;
    const char* id = record->d.id;
    variant.id = (id == nullptr || id[0] == '\0' || (id[0] == '.' && id[1] == '\0'))
                     ? variant.chromosome + ":" + std::to_string(variant.position)
                     : std::string(id);
    variant.allele1 = record->d.allele[0];
    variant.allele2 = record->d.allele[1];

    if (!wanted(index)) {
      visit(index++, variant, {});
      continue;
    }
    const int values = bcf_get_genotypes(header, record.get(), &gt, &gt_capacity);
    if (values <= 0 || sample_count == 0) {
      calls.assign(calls.size(), kMissingCall);
    } else {
      const int ploidy = values / sample_count;
      for (int k = 0; k < sample_count; ++k) {
        calls[static_cast<std::size_t>(k)] = diploid_call(gt + k * ploidy, ploidy);
      }
    }
    visit(index++, variant, calls);
  }
  return counts;
}

#endif

}  // namespace strataperm
