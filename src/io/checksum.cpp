#include "io/checksum.hpp"

#include <htslib/hts.h>

#include <cstdio>
#include <vector>

#include "core/file_handle.hpp"

namespace strataperm {

std::string md5_of_file(const std::string& path) {
  FileHandle file(std::fopen(path.c_str(), "rb"));
  if (!file) return "unreadable";
  hts_md5_context* md5 = hts_md5_init();
  if (md5 == nullptr) return "unreadable";
  std::vector<unsigned char> buffer(1 << 20);
  for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0;)
    hts_md5_update(md5, buffer.data(), static_cast<unsigned long>(got));
  const bool failed = std::ferror(file.get()) != 0;
  unsigned char digest[16];
  hts_md5_final(digest, md5);
  hts_md5_destroy(md5);
  if (failed) return "unreadable";
  char hex[33];
  hts_md5_hex(hex, digest);
  return hex;
}

std::string md5_of_text(const std::string& text) {
  hts_md5_context* md5 = hts_md5_init();
  if (md5 == nullptr) return "unavailable";
  hts_md5_update(md5, text.data(), static_cast<unsigned long>(text.size()));
  unsigned char digest[16];
  hts_md5_final(digest, md5);
  hts_md5_destroy(md5);
  char hex[33];
  hts_md5_hex(hex, digest);
  return hex;
}

}  // namespace strataperm
