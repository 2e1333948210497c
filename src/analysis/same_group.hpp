// Which individuals share a group: one bit per ordered pair, row by row.
// Row i (words of 64 individuals, individual j at bit j % 64 of word j / 64)
// marks the members of i's same-group list, i itself included.
// Memory: n * ceil(n / 64) * 8 bytes (N / 8 bytes a row).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace strataperm {

struct SameGroup {
  int n = 0;
  std::size_t words = 0;  // words a row
  std::vector<std::uint64_t> bits;

  SameGroup() = default;
  // n individuals, every pair in one group (`all`) or none.
  SameGroup(int individuals, bool all)
      : n(individuals), words((static_cast<std::size_t>(individuals) + 63) / 64) {
    bits.assign(static_cast<std::size_t>(individuals) * words, 0);
    if (!all || individuals == 0) return;
    const int tail = individuals % 64;
    const std::uint64_t last = tail == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << tail) - 1;
    for (std::size_t i = 0; i < static_cast<std::size_t>(individuals); ++i) {
      for (std::size_t w = 0; w + 1 < words; ++w) bits[i * words + w] = ~std::uint64_t{0};
      bits[i * words + words - 1] = last;
    }
  }
  // From an n x n byte matrix (non-zero: same group).
  static SameGroup from_bytes(const std::vector<std::uint8_t>& bytes, int individuals) {
    SameGroup same_group(individuals, false);
    const std::size_t n = static_cast<std::size_t>(individuals);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j)
        if (bytes[i * n + j]) same_group.set(static_cast<int>(i), static_cast<int>(j));
    return same_group;
  }
  const std::uint64_t* row(int i) const { return bits.data() + static_cast<std::size_t>(i) * words; }
  bool test(int i, int j) const {
    return (row(i)[static_cast<std::size_t>(j) / 64] >> (j % 64)) & 1u;
  }
  void set(int i, int j) {
    bits[static_cast<std::size_t>(i) * words + static_cast<std::size_t>(j) / 64] |= std::uint64_t{1} << (j % 64);
  }
};

}  // namespace strataperm
