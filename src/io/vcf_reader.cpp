#include "io/vcf_reader.hpp"

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/kseq.h>
#include <htslib/kstring.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "core/errors.hpp"

namespace strataperm {


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

// The BGZF stream under `file` when the file is BGZF-compressed (bgzipped VCF,
// BCF), else null: plain gzip has no end-of-file block to check.
BGZF* bgzf_stream_of(htsFile* file) {
  const htsFormat* format = hts_get_format(file);
  if (format == nullptr || format->compression != bgzf) return nullptr;
  return hts_get_bgzfp(file);
}

// Whether the (gzip or BGZF) decompression under `file` has failed: data cut
// inside a block, or a block that does not inflate or fails its CRC.
bool decompression_failed(htsFile* file) {
  BGZF* stream = hts_get_bgzfp(file);
  return stream != nullptr && stream->errcode != 0;
}

std::string truncated_or_corrupt(const std::string& path, const std::string& where) {
  return path +
         ": the file is truncated or corrupt: its compressed data ends early or "
         "does not decompress (" +
         where + ")";
}

// The #CHROM line of the header of `path` and its line number in the header
// text, read without htslib's header parser; an empty line when it cannot
// be found.
struct ChromLine {
  std::string text;
  long long number = 0;
};

ChromLine find_chrom_line(const std::string& path) {
  ChromLine found;
  HtsFile file(hts_open(path.c_str(), "r"));
  if (!file) return found;
  const htsFormat* format = hts_get_format(file.get());
  const auto is_chrom_line = [](const char* text, std::size_t length) {
    return length >= 6 && std::memcmp(text, "#CHROM", 6) == 0;
  };
  if (format->format == vcf) {
    kstring_t line = KS_INITIALIZE;
    while (hts_getline(file.get(), KS_SEP_LINE, &line) >= 0) {
      ++found.number;
      if (line.l == 0 || line.s[0] != '#') break;
      if (is_chrom_line(line.s, line.l)) {
        found.text.assign(line.s, line.l);
        break;
      }
    }
    ks_free(&line);
  } else if (format->format == bcf) {
    // "BCF" 2 minor, the header length (4 bytes, little-endian), the header text.
    BGZF* stream = hts_get_bgzfp(file.get());
    unsigned char head[9];
    if (stream == nullptr || bgzf_read(stream, head, sizeof head) != sizeof head) return found;
    std::size_t left = static_cast<std::size_t>(head[5]) | static_cast<std::size_t>(head[6]) << 8 |
                       static_cast<std::size_t>(head[7]) << 16 |
                       static_cast<std::size_t>(head[8]) << 24;
    // Read in pieces: a damaged length is no reason to allocate it all.
    std::string text;
    char piece[65536];
    while (left > 0) {
      const ssize_t got = bgzf_read(stream, piece, std::min(left, sizeof piece));
      if (got <= 0) break;
      text.append(piece, static_cast<std::size_t>(got));
      left -= static_cast<std::size_t>(got);
    }
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      ++found.number;
      if (is_chrom_line(text.data() + start, end - start)) {
        found.text = text.substr(start, end - start);
        // The text may end in NUL padding.
        found.text.erase(std::find(found.text.begin(), found.text.end(), '\0'), found.text.end());
        break;
      }
      start = end + 1;
    }
  }
  return found;
}

// Says what is wrong with the sample columns of the #CHROM line of `path`
// (none, or a name listed twice), or returns an empty string when it finds
// nothing wrong with them. htslib's header parser refuses both.
std::string sample_columns_problem(const std::string& path) {
  const ChromLine line = find_chrom_line(path);
  if (line.text.empty()) return {};
  std::unordered_map<std::string, std::size_t> column_of;
  std::size_t column = 1;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = line.text.find('\t', start);
    if (end == std::string::npos) end = line.text.size();
    if (column >= 10) {
      std::string name = line.text.substr(start, end - start);
      if (!name.empty() && name.back() == '\r') name.pop_back();
      const auto [earlier, inserted] = column_of.emplace(name, column);
      if (!inserted) {
        return path + ", header line " + std::to_string(line.number) + ": the sample name '" +
               name + "' is listed twice (columns " + std::to_string(earlier->second) + " and " +
               std::to_string(column) + " of the #CHROM line)";
      }
    }
    if (end == line.text.size()) break;
    start = end + 1;
    ++column;
  }
  if (column <= 9) return path + ": the VCF/BCF file has no samples (no genotype columns)";
  return {};
}

// Whether `path` is BGZF-compressed but lacks the end-of-file block.
bool is_bgzf_without_eof_block(const std::string& path) {
  BGZF* stream = bgzf_open(path.c_str(), "r");
  if (stream == nullptr) return false;
  const bool cut = bgzf_compression(stream) == bgzf && bgzf_check_EOF(stream) == 0;
  bgzf_close(stream);
  return cut;
}

// Whether `header` declares the FORMAT field GT.
bool declares_gt(const bcf_hdr_t* header) {
  return bcf_hdr_idinfo_exists(header, BCF_HL_FMT, bcf_hdr_id2int(header, BCF_DT_ID, "GT"));
}

// What the first record of a file whose header declares no GT says of it.
enum class FirstRecordGt { has_gt, lacks_gt, unreadable };

// htslib adds a header line for a FORMAT field that a record uses but the
// header does not declare, so after reading the first record of `path` the
// header declares GT exactly when that record carries it.
FirstRecordGt first_record_gt(const std::string& path) {
  HtsFile file(hts_open(path.c_str(), "r"));
  if (!file) return FirstRecordGt::unreadable;
  Header header(bcf_hdr_read(file.get()));
  Record record(bcf_init());
  if (!header || !record) return FirstRecordGt::unreadable;
  const int status = bcf_read(file.get(), header.get(), record.get());
  if (status == -1 && !decompression_failed(file.get())) return FirstRecordGt::lacks_gt;
  if (status != 0) return FirstRecordGt::unreadable;
  return declares_gt(header.get()) ? FirstRecordGt::has_gt : FirstRecordGt::lacks_gt;
}

// An open VCF/BCF file with its header read.
struct OpenVcf {
  HtsFile file;
  Header header;
  int sample_count = 0;
};

// Opens `path` and reads its header; throws InputError on failure, and when
// a BGZF-compressed file lacks its end-of-file block (it was cut short), the
// header names no sample or a sample twice, or neither it nor the first record
// knows GT. htslib's own diagnostics are silenced: the error is one line.
OpenVcf open_vcf(const std::string& path) {
  hts_set_log_level(HTS_LOG_OFF);
  OpenVcf vcf;
  if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
    std::fclose(probe);
  } else {
    throw InputError(path + ": cannot open the file");
  }
  const std::string truncated =
      path + ": the file is truncated: it lacks the BGZF end-of-file block";
  vcf.file.reset(hts_open(path.c_str(), "r"));
  const htsFormat* format = vcf.file ? hts_get_format(vcf.file.get()) : nullptr;
  if (format == nullptr || format->category != variant_data) {
    // A cut inside the first block can leave too little to recognise.
    if (is_bgzf_without_eof_block(path)) throw InputError(truncated);
    throw InputError(path + ": not a VCF or BCF file");
  }
  // A file cut at a block boundary reads cleanly to its end: only the missing
  // end-of-file block tells. (A file that cannot be checked, a pipe, gives 2.)
  if (BGZF* stream = bgzf_stream_of(vcf.file.get())) {
    const int eof = bgzf_check_EOF(stream);
    if (eof == 0) throw InputError(truncated);
    if (eof < 0) throw InputError(path + ": read error");
  }
  vcf.header.reset(bcf_hdr_read(vcf.file.get()));
  if (!vcf.header) {
    if (decompression_failed(vcf.file.get())) {
      throw InputError(truncated_or_corrupt(path, "inside the header"));
    }
    const std::string problem = sample_columns_problem(path);
    if (!problem.empty()) throw InputError(problem);
    throw InputError(path + ": the VCF/BCF header is malformed");
  }
  vcf.sample_count = bcf_hdr_nsamples(vcf.header.get());
  if (vcf.sample_count == 0) {
    throw InputError(path + ": the VCF/BCF file has no samples (no genotype columns)");
  }
  if (!declares_gt(vcf.header.get()) && first_record_gt(path) == FirstRecordGt::lacks_gt) {
    throw InputError(path +
                      ": no GT (genotype) field: the header declares no FORMAT=<ID=GT> and the "
                      "first record has none");
  }
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

// Whether `record` has a GT field that bcf_get_genotypes can read: htslib
// 1.16 ends the process (exit) on a field stored with another type, as the
// text parser stores a GT without values (e.g. FORMAT ":GT").
bool has_integer_gt(const bcf_hdr_t* header, bcf1_t* record) {
  const bcf_fmt_t* field = bcf_get_fmt(header, record, "GT");
  return field != nullptr && field->n > 0 &&
         (field->type == BCF_BT_INT8 || field->type == BCF_BT_INT16 || field->type == BCF_BT_INT32);
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

std::vector<GenotypedSample> read_vcf_samples(const std::string& path) {
  const OpenVcf vcf = open_vcf(path);
  const int count = vcf.sample_count;
  std::vector<GenotypedSample> samples(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k)
    samples[static_cast<std::size_t>(k)].individual_id = vcf.header->samples[k];
  return samples;
}

// Reads a VCF/BCF file record by record (see VcfReader in the header).
struct VcfReader::State {
  std::string path;
  OpenVcf vcf;
  Record record{bcf_init()};
  std::int32_t* gt = nullptr;
  int gt_capacity = 0;
  VcfScanCounts counts;
  Variant last;                 // the last biallelic SNP read, for messages
  std::size_t asked = 0;        // records whose calls were asked for
  std::size_t with_gt = 0;      // ... and of them those carrying GT
  ~State() { std::free(gt); }
};

VcfReader::VcfReader(const std::string& path) : state_(std::make_unique<State>()) {
  state_->path = path;
  state_->vcf = open_vcf(path);
  if (!state_->record) throw InputError(path + ": out of memory");
}

VcfReader::~VcfReader() = default;

int VcfReader::sample_count() const { return state_->vcf.sample_count; }

const VcfScanCounts& VcfReader::counts() const { return state_->counts; }

bool VcfReader::next(Variant& variant, std::span<std::int8_t> calls) {
  State& st = *state_;
  const std::string& path = st.path;
  bcf_hdr_t* header = st.vcf.header.get();
  const int sample_count = st.vcf.sample_count;
  bcf1_t* record = st.record.get();
  for (;;) {
    const int status = bcf_read(st.vcf.file.get(), header, record);
    // Compressed data cut inside a block (or damaged) ends the reading with
    // an error, as if at the end of the file, or with the part of a line that
    // the last whole block held; the stream's error tells.
    if (decompression_failed(st.vcf.file.get())) {
      throw InputError(truncated_or_corrupt(
          path, st.counts.records == 0 ? "before the first record"
                                       : "after record " + std::to_string(st.counts.records)));
    }
    if (status == -1) {
      if (st.asked > 0 && st.with_gt == 0) {
        throw InputError(path + ": no GT (genotype) field in any of its " +
                         std::to_string(st.asked) + " biallelic SNP records");
      }
      return false;
    }
    int fatal = record->errcode & ~(BCF_ERR_CTG_UNDEF | BCF_ERR_TAG_UNDEF);
    // htslib accepts a line cut before its FORMAT column (a text file cut
    // short) as a record without samples.
    if (status == 0 && record->n_sample != static_cast<std::uint32_t>(sample_count)) {
      fatal |= BCF_ERR_NCOLS;
    }
    if (status < -1 || fatal != 0 || record->pos < 0) {
      throw InputError(path + ": record " + std::to_string(st.counts.records + 1) +
                       " is malformed (" + problem_of(fatal, record->pos) + ")" +
                       (st.counts.records == 0
                            ? std::string()
                            : "; the record before it is at " + st.last.chromosome + ":" +
                                  std::to_string(st.last.position)));
    }
    ++st.counts.records;
    if (bcf_unpack(record, BCF_UN_STR) < 0) {
      throw InputError(path + ": record " + std::to_string(st.counts.records) + " is malformed");
    }
    if (record->n_allele != 2 || !is_single_base(record->d.allele[0]) ||
        !is_single_base(record->d.allele[1])) {
      ++st.counts.not_biallelic_snp;
      continue;
    }
    const char* chromosome = bcf_seqname(header, record);
    variant.chromosome = chromosome != nullptr ? chromosome : ".";
    variant.position = static_cast<long long>(record->pos) + 1;
    const char* id = record->d.id;
    variant.id = (id == nullptr || id[0] == '\0' || (id[0] == '.' && id[1] == '\0'))
                     ? variant.chromosome + ":" + std::to_string(variant.position)
                     : std::string(id);
    variant.allele1 = record->d.allele[0];
    variant.allele2 = record->d.allele[1];
    st.last = variant;
    if (calls.empty()) return true;
    ++st.asked;
    const int values = has_integer_gt(header, record)
                           ? bcf_get_genotypes(header, record, &st.gt, &st.gt_capacity)
                           : 0;
    if (values < sample_count) {
      std::fill(calls.begin(), calls.end(), kMissingCall);
    } else {
      ++st.with_gt;
      const int ploidy = values / sample_count;
      for (int k = 0; k < sample_count; ++k)
        calls[static_cast<std::size_t>(k)] = diploid_call(st.gt + k * ploidy, ploidy);
    }
    return true;
  }
}

VcfScanCounts scan_vcf_genotypes(const std::string& path, const CallFilter& wanted,
                                 const VariantVisitor& visit) {
  VcfReader reader(path);
  std::vector<std::int8_t> calls(static_cast<std::size_t>(reader.sample_count()));
  Variant variant;
  for (std::size_t index = 0;; ++index) {
    const bool want = wanted(index);
    if (!reader.next(variant, want ? std::span<std::int8_t>(calls) : std::span<std::int8_t>()))
      break;
    visit(index, variant, want ? std::span<const std::int8_t>(calls) : std::span<const std::int8_t>());
  }
  return reader.counts();
}

namespace {

// A forward cursor over the usable variants of a VCF/BCF file.
class VcfCursor : public CallCursor {
 public:
  explicit VcfCursor(const std::string& path) : reader_(path), path_(path) {}
  void read(std::size_t index, std::span<std::int8_t> calls) override {
    Variant variant;
    for (; next_ < index; ++next_) {
      if (!reader_.next(variant, {})) throw changed();
    }
    if (!reader_.next(variant, calls)) throw changed();
    ++next_;
  }

 private:
  InputError changed() const { return InputError(path_ + ": the file changed while it was read"); }
  VcfReader reader_;
  std::string path_;
  std::size_t next_ = 0;
};

}  // namespace

std::unique_ptr<CallCursor> open_vcf_cursor(const std::string& path) {
  return std::make_unique<VcfCursor>(path);
}

}  // namespace strataperm
