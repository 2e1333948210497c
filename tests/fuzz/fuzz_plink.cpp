// libFuzzer target for the PLINK reader (read_plink_file_set and
// scan_plink_genotypes).
//
// The input holds the .fam text, a NUL byte, the .bim text, a NUL byte and
// then the .bed bytes (which may hold NUL bytes themselves). The three files
// are written to a folder of this process (see LLVMFuzzerInitialize). A
// reader may refuse any input with InputError; anything else it does wrong
// (a crash, a call outside -1..2, a visit out of order) stops the fuzzer.
// The seeds in corpus_plink are small valid file sets and slightly broken
// ones (an individual twice, a short .bed, individual-major, bad .bim lines).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/errors.hpp"
#include "fuzz/scratch_folder.hpp"
#include "io/genotype_records.hpp"
#include "io/plink_reader.hpp"

using namespace strataperm;

namespace {

const std::filesystem::path& folder = fuzzing::scratch_folder();

bool write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

// Scans the file set, asking for the calls of the SNPs `wanted` picks, and
// checks what the visitor is given.
void scan(const PlinkFileSet& files, const CallFilter& wanted) {
  std::size_t next = 0;
  scan_plink_genotypes(
      files, wanted,
      [&](std::size_t index, const Variant& variant, std::span<const std::int8_t> calls) {
        if (index != next++ || index >= files.variants.size() ||
            variant.id != files.variants[index].id) {
          __builtin_trap();
        }
        if (wanted(index) ? calls.size() != files.samples.size() : !calls.empty()) {
          __builtin_trap();
        }
        for (const std::int8_t call : calls) {
          if (call < kMissingCall || call > 2) __builtin_trap();
        }
      });
  if (next != files.variants.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return fuzzing::make_scratch_folder("fuzz_plink") ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The .fam and .bim end at the first and the second NUL byte.
  std::size_t parts[2] = {size, size};
  for (std::size_t i = 0, found = 0; i < size && found < 2; ++i) {
    if (data[i] == 0) parts[found++] = i;
  }
  const std::string prefix = (folder / "data").string();
  const std::size_t bim_start = parts[0] < size ? parts[0] + 1 : size;
  const std::size_t bed_start = parts[1] < size ? parts[1] + 1 : size;
  if (!write_file(prefix + ".fam", data, parts[0]) ||
      !write_file(prefix + ".bim", data + bim_start, parts[1] - std::min(parts[1], bim_start)) ||
      !write_file(prefix + ".bed", data + bed_start, size - bed_start)) {
    return 0;
  }
  try {
    const PlinkFileSet files = read_plink_file_set(prefix);
    if (files.samples.empty() || files.variants.empty()) __builtin_trap();
    scan(files, [](std::size_t) { return true; });
    scan(files, [](std::size_t index) { return index % 3 == 1; });
  } catch (const InputError&) {
  }
  return 0;
}
