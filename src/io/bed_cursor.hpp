// Random access to the SNPs of a SNP-major .bed file.
#pragma once

#include <memory>

#include "io/genotype_records.hpp"
#include "io/plink_reader.hpp"

namespace strataperm {

// A cursor over the .bed of `files` (whose header and size read_plink_file_set
// has checked): each read is one positioned read of the SNP's bytes, so
// skipped SNPs cost nothing. Throws InputError naming the file when a read
// fails.
std::unique_ptr<CallCursor> open_bed_cursor(const PlinkFileSet& files);

}  // namespace strataperm
