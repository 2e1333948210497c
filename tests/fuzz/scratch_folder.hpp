// The scratch folder of a fuzzer process: the readers under test take file
// names, so each input is written there before it is read.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace strataperm::fuzzing {

inline std::filesystem::path& scratch_folder() {
  static std::filesystem::path folder;
  return folder;
}

inline void remove_scratch_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch_folder(), ignored);
}

// Makes the folder NAME_XXXXXX under TMPDIR when it is set, else in /dev/shm
// when there is one (files in memory run some fifty times faster than on a
// disk), else in the system's temporary folder; it is removed at exit.
// Returns false when it cannot be made.
inline bool make_scratch_folder(const std::string& name) {
  const char* base = std::getenv("TMPDIR");
  std::error_code error;
  const std::filesystem::path root =
      base != nullptr && base[0] != '\0'                 ? std::filesystem::path(base)
      : std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                         : std::filesystem::temp_directory_path();
  std::string pattern = (root / (name + "_XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return false;
  scratch_folder() = pattern;
  std::atexit(remove_scratch_folder);
  return true;
}

}  // namespace strataperm::fuzzing
