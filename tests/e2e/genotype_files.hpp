// Test helpers for PLINK and VCF inputs: temporary folders, hand-made or random
// .bed/.bim/.fam file sets and VCF files.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "numerics/random.hpp"

namespace strataperm::testing_support {

namespace fs = std::filesystem;

// A fresh folder under the system temporary folder, removed afterwards.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "strataperm_genotypes_XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// PREFIX followed by the decimal digits of `k` ("s12").
inline std::string numbered(const char* prefix, long long k) {
  std::string text = prefix;
  text += std::to_string(k);
  return text;
}

struct Individual {
  std::string family_id;
  std::string individual_id;
  std::string fam_phenotype = "-9";
};

// A SNP with one call per individual: copies of allele2, or -1 for missing.
struct Snp {
  std::string chromosome;
  std::string id;
  long long position;
  std::string allele1;
  std::string allele2;
  std::vector<int> calls;
};

// `count` SNPs with random calls for `individuals` individuals: the j-th
// (from 0) is rs<j> on chromosome 1 + j / per_chromosome at position_of(j),
// alleles A and G. Each SNP draws from `gen` its frequency p of allele2 in
// [0.2, 0.8), then per individual two copies each present with chance p and a
// missing call with chance 0.02, in that order, so the same seed gives the
// same filesets.
template <class PositionOf>
std::vector<Snp> random_snps(RandomStream& gen, int count, int individuals, int per_chromosome,
                             PositionOf position_of) {
  std::vector<Snp> snps;
  for (int j = 0; j < count; ++j) {
    Snp snp{std::to_string(1 + j / per_chromosome), numbered("rs", j), position_of(j), "A", "G", {}};
    const double p = 0.2 + 0.6 * uniform_random(gen);
    for (int k = 0; k < individuals; ++k) {
      int call = (uniform_random(gen) < p) + (uniform_random(gen) < p);
      if (uniform_random(gen) < 0.02) call = -1;
      snp.calls.push_back(call);
    }
    snps.push_back(snp);
  }
  return snps;
}

inline void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Writes PREFIX.fam, .bim and a SNP-major .bed, packing the 2-bit codes here:
// 00 no copy of allele2, 01 missing, 10 one copy, 11 two copies, low bits first.
inline void write_plink(const std::string& prefix, const std::vector<Individual>& individuals,
                 const std::vector<Snp>& snps) {
  std::string fam;
  for (const Individual& i : individuals)
    fam += i.family_id + " " + i.individual_id + " 0 0 1 " + i.fam_phenotype + "\n";
  write_text(prefix + ".fam", fam);
  std::string bim;
  std::string bed = {'\x6c', '\x1b', '\x01'};
  for (const Snp& snp : snps) {
    bim += snp.chromosome + "\t" + snp.id + "\t0\t" + std::to_string(snp.position) + "\t" +
           snp.allele1 + "\t" + snp.allele2 + "\n";
    std::string packed((individuals.size() + 3) / 4, '\0');
    for (std::size_t k = 0; k < individuals.size(); ++k) {
      const int call = snp.calls.at(k);
      const unsigned code = call == -1 ? 1u : call == 0 ? 0u : call == 1 ? 2u : 3u;
      packed[k / 4] =
          static_cast<char>(static_cast<unsigned char>(packed[k / 4]) | code << (2 * (k % 4)));
    }
    bed += packed;
  }
  write_text(prefix + ".bim", bim);
  write_text(prefix + ".bed", bed);
}


// What a run of the built program gave.
struct ProgramOutcome {
  int status;
  std::string out, err;
};

// Runs the built program with `args` (already quoted for the shell) in
// `folder`; its standard output and error go to run.stdout and run.stderr
// there.
inline ProgramOutcome run_program(const std::string& folder, const std::string& args) {
  const std::string command = "cd '" + folder + "' && '" STRATAPERM_BINARY "' " + args +
                              " > run.stdout 2> run.stderr";
  const int raw = std::system(command.c_str());
  const auto text = [&](const char* name) {
    std::ifstream in(folder + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  return ProgramOutcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text("run.stdout"), text("run.stderr")};
}

// Writes a VCF with the same samples (IID as sample name) and SNPs (REF
// allele1, ALT allele2; calls as unphased GT, ./. for missing).
inline void write_vcf(const std::string& path, const std::vector<Individual>& individuals,
                      const std::vector<Snp>& snps) {
  std::string text = "##fileformat=VCFv4.2\n";
  std::vector<std::string> contigs;
  for (const Snp& snp : snps) {
    bool seen = false;
    for (const std::string& c : contigs) seen = seen || c == snp.chromosome;
    if (!seen) contigs.push_back(snp.chromosome);
  }
  for (const std::string& c : contigs) text += "##contig=<ID=" + c + ">\n";
  text += "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n";
  text += "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  for (const Individual& i : individuals) text += "\t" + i.individual_id;
  text += "\n";
  static const char* const kGenotypes[4] = {"./.", "0/0", "0/1", "1/1"};
  for (const Snp& snp : snps) {
    text += snp.chromosome + "\t" + std::to_string(snp.position) + "\t" + snp.id + "\t" +
            snp.allele1 + "\t" + snp.allele2 + "\t.\t.\t.\tGT";
    for (int call : snp.calls) text += std::string("\t") + kGenotypes[call + 1];
    text += "\n";
  }
  write_text(path, text);
}

}  // namespace strataperm::testing_support
