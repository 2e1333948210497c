// An open C stream that is closed however its owner leaves.
#pragma once

#include <cstdio>
#include <memory>

namespace strataperm {

struct CloseFile {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using FileHandle = std::unique_ptr<std::FILE, CloseFile>;

}  // namespace strataperm
