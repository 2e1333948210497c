// Checksums of input files, for the log: the MD5 that `md5sum` prints.
#pragma once

#include <string>

namespace strataperm {

// The MD5 digest of the whole file at `path` as 32 hex digits, or
// "unreadable" when it cannot be read.
std::string md5_of_file(const std::string& path);

// The MD5 digest of `text` as 32 hex digits.
std::string md5_of_text(const std::string& text);

}  // namespace strataperm
