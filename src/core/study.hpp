// The study model: the run's parameters and the sample data, read once and
// kept for the whole run. Every layer reads it; only the readers fill it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace strataperm {

// Where a file named in "parameter.txt" (or the parameter file itself) lies:
// names are relative to the study folder; "." is the current folder, where
// the name is used as it stands.
inline std::string path_in_study(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == "." || (!name.empty() && name[0] == '/')) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The seven values of "parameter.txt".
struct Parameters {
  std::string genotype_file;
  std::string marker_file;
  std::string output_file;
  int n_permutations = 0;  // R
  int n_loci = 0;          // L
  int n_markers = 0;       // M
  int n_individuals = 0;   // N
};

// A marker genotype reduced to what the analysis uses: the sum of its two
// allele codes is 0, 2, or anything else (a heterozygote, or a sum such as 3
// from other codes); or the call is missing.
enum MarkerClass : std::uint8_t {
  kSumZero = 0,       // additive -1, dominance 0
  kHeterozygous = 1,  // additive 0, dominance 1
  kSumTwo = 2,        // additive 1, dominance 0
  kMissing = 3,       // the marker's mean additive and dominance codes over its calls
};

inline MarkerClass marker_class_of(std::int64_t allele_sum) {
  return allele_sum == 2 ? kSumTwo : allele_sum == 0 ? kSumZero : kHeterozygous;
}

// Background-locus allele counts (the sum of an individual's two codes at a
// locus), individual-major. Counts that all lie in a window of 256 values are
// kept as bytes above a base, so the usual 0, 1, 2 take one byte each; any
// others as 64-bit integers.
struct LocusCounts {
  std::int64_t base = 0;
  std::vector<std::uint8_t> bytes;
  std::vector<std::int64_t> wide;

  bool narrow() const { return wide.empty(); }
  std::int64_t operator[](std::size_t k) const { return narrow() ? base + bytes[k] : wide[k]; }
  std::size_t size() const { return narrow() ? bytes.size() : wide.size(); }
};

// The compact form of a list of counts.
inline LocusCounts make_locus_counts(const std::vector<std::int64_t>& counts) {
  LocusCounts out;
  if (counts.empty()) return out;
  std::int64_t low = counts[0], high = counts[0];
  for (std::int64_t c : counts) {
    low = c < low ? c : low;
    high = c > high ? c : high;
  }
  if (high - low <= 255) {
    out.base = low;
    out.bytes.reserve(counts.size());
    for (std::int64_t c : counts) out.bytes.push_back(static_cast<std::uint8_t>(c - low));
  } else {
    out.wide = counts;
  }
  return out;
}

// The candidate markers of a study, read block by block in marker order: from
// the trait-and-marker file held in memory, or streamed from PLINK or VCF
// files. The engine calls read_block with `first` increasing from 0, one call
// at a time, so a source may read its files sequentially; a call with a
// smaller `first` starts a new pass over the markers.
class MarkerSource {
 public:
  virtual ~MarkerSource() = default;
  // Fills classes[i * width + c] with the MarkerClass of individual i
  // (0-based) at marker first + c, for c < count (count <= width).
  virtual void read_block(long first, int count, std::uint8_t* classes, int width) = 0;
};

// The study as read from the two data files. Only the sum of the two allele
// codes of a genotype is ever used, so that is what is kept. Arrays are
// 0-based and individual-major.
struct SampleData {
  LocusCounts locus_count;                 // [i * L + l]: sum of the two codes
  std::vector<std::uint8_t> marker_class;  // [i * M + j]: a MarkerClass
  std::vector<double> trait;               // [i]: the individual's trait value
};

// The markers of a SampleData read in memory (its marker_class, N x M).
class InMemoryMarkers : public MarkerSource {
 public:
  InMemoryMarkers(const SampleData& data, int n_individuals, int n_markers)
      : data_(data), n_(n_individuals), m_(n_markers) {}
  void read_block(long first, int count, std::uint8_t* classes, int width) override {
    for (std::size_t i = 0; i < static_cast<std::size_t>(n_); ++i) {
      const std::uint8_t* row = &data_.marker_class[i * static_cast<std::size_t>(m_) +
                                                    static_cast<std::size_t>(first)];
      for (int c = 0; c < count; ++c) classes[i * static_cast<std::size_t>(width) + c] = row[c];
    }
  }

 private:
  const SampleData& data_;
  int n_, m_;
};

}  // namespace strataperm
