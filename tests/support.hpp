// Helpers shared by the unit tests.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "numerics/arrays.hpp"
#include "numerics/random.hpp"

namespace strataperm::testing_support {

// A seeded stream advanced until its next draws satisfy the given predicates in
// order, so a test can force the branch a draw selects.
inline RandomStream stream_with_next_draws(const std::vector<std::function<bool(double)>>& want) {
  RandomStream start;
  seed_random_stream(start);
  for (int attempt = 0; attempt < 1000000; ++attempt) {
    RandomStream probe = start;
    bool ok = true;
    for (const auto& predicate : want) ok = ok && predicate(uniform_random(probe));
    if (ok) return start;
    uniform_random(start);
  }
  return start;
}

inline std::function<bool(double)> draw_in(double lo, double hi) {
  return [lo, hi](double u) { return u >= lo && u < hi; };
}

// Owned 1-based vectors filled from a list.
inline DoubleVector make_doubles(const std::vector<double>& values) {
  DoubleVector v = dvector(1, static_cast<long>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) v[static_cast<long>(i) + 1] = values[i];
  return v;
}
inline IntVector make_ints(const std::vector<int>& values) {
  IntVector v = ivector(1, static_cast<long>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) v[static_cast<long>(i) + 1] = values[i];
  return v;
}

// Everything written to a FILE* opened with tmpfile().
inline std::string read_all(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  return text;
}

// A whole file's bytes ("" when it cannot be read).
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace strataperm::testing_support
