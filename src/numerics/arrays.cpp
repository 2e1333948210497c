#include "numerics/arrays.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace strataperm {

void run_time_error(const char* message) {
  std::fflush(stdout);
  std::fprintf(stderr, "Numerical Recipes run-time error...\n");
  std::fprintf(stderr, "%s\n", message);
  std::fprintf(stderr, "...now exiting to system...\n");
  std::exit(1);
}

namespace {

// Number of elements in lo..hi, zero when hi < lo. Computed in 64 bits.
std::int64_t extent(long lo, long hi) {
  const std::int64_t n = static_cast<std::int64_t>(hi) - static_cast<std::int64_t>(lo) + 1;
  return n > 0 ? n : 0;
}

// Heap block of `count` elements of `size` bytes, or nullptr when the byte
// count overflows or the heap refuses. Always asks for at least one byte so an
// empty range still yields a distinct, valid block.
void* allocate_block(std::int64_t count, std::size_t size) {
  if (count < 0 || static_cast<std::uint64_t>(count) > SIZE_MAX / size) return nullptr;
  const std::size_t bytes = static_cast<std::size_t>(count) * size;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

template <typename T>
OffsetVector<T> make_vector(long lo, long hi) {
  void* block = allocate_block(extent(lo, hi), sizeof(T));
  if (block == nullptr) run_time_error("allocation failure in dvector()");
  return OffsetVector<T>(static_cast<T*>(block), lo);
}

template <typename T>
OffsetMatrix<T> make_matrix(long rlo, long rhi, long clo, long chi) {
  const std::int64_t rows = extent(rlo, rhi);
  const std::int64_t cols = extent(clo, chi);
  void* row_block = allocate_block(rows, sizeof(OffsetVector<T>));
  if (row_block == nullptr) run_time_error("allocation failure 1 in matrix()");
  auto* row_views = static_cast<OffsetVector<T>*>(row_block);
  for (std::int64_t r = 0; r < rows; ++r) {
    void* row = allocate_block(cols, sizeof(T));
    if (row == nullptr) run_time_error("allocation failure 2 in matrix()");
    new (&row_views[r]) OffsetVector<T>(static_cast<T*>(row), clo);
  }
  return OffsetMatrix<T>(row_views, rlo);
}

template <typename T>
void release_matrix(OffsetMatrix<T> m, long rlo, long rhi) {
  for (long r = rhi; r >= rlo; --r) std::free(m[r].block());
  std::free(m.block());
}

template <typename T>
OffsetTensor3<T> make_tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi) {
  const std::int64_t rows = extent(rlo, rhi);
  const std::int64_t cols = extent(clo, chi);
  const std::int64_t depth = extent(dlo, dhi);
  using Column = OffsetVector<T>;
  using Row = OffsetVector<Column>;

  // Each block carries one spare leading element: the spare row view points at
  // the start of the cell block and the spare cell view at the data block, so
  // release needs nothing but the array itself.
  void* row_block = allocate_block(rows + 1, sizeof(Row));
  if (row_block == nullptr) run_time_error("allocation failure in 1 in d3tensor()");
  const std::int64_t cells = (cols != 0 && rows > INT64_MAX / cols) ? -2 : rows * cols;
  void* cell_block = allocate_block(cells + 1, sizeof(Column));
  if (cell_block == nullptr) run_time_error("allocation failure 2 in d3tensor()");
  const std::int64_t elements = (depth != 0 && cells > INT64_MAX / depth) ? -1 : cells * depth;
  void* data_block = allocate_block(elements, sizeof(T));
  if (data_block == nullptr) run_time_error("allocation failure 3 in d3tensor()");

  auto* row_views = static_cast<Row*>(row_block);
  auto* cell_views = static_cast<Column*>(cell_block);
  auto* data = static_cast<T*>(data_block);
  new (&row_views[0]) Row(cell_views, clo);
  new (&cell_views[0]) Column(data, dlo);
  for (std::int64_t r = 0; r < rows; ++r) {
    for (std::int64_t c = 0; c < cols; ++c) {
      new (&cell_views[1 + r * cols + c]) Column(data + (r * cols + c) * depth, dlo);
    }
    new (&row_views[1 + r]) Row(cell_views + 1 + r * cols, clo);
  }
  return OffsetTensor3<T>(row_views + 1, rlo);
}

template <typename T>
void release_tensor(OffsetTensor3<T> t) {
  auto* row_views = t.block() - 1;
  auto* cell_views = row_views[0].block();
  std::free(cell_views[0].block());
  std::free(cell_views);
  std::free(row_views);
}

}  // namespace

DoubleVector dvector(long lo, long hi) { return make_vector<double>(lo, hi); }
IntVector ivector(long lo, long hi) { return make_vector<int>(lo, hi); }
ByteVector cvector(long lo, long hi) { return make_vector<unsigned char>(lo, hi); }
void free_dvector(DoubleVector v, long, long) { std::free(v.block()); }
void free_ivector(IntVector v, long, long) { std::free(v.block()); }
void free_cvector(ByteVector v, long, long) { std::free(v.block()); }

DoubleMatrix dmatrix(long rlo, long rhi, long clo, long chi) {
  return make_matrix<double>(rlo, rhi, clo, chi);
}
IntMatrix imatrix(long rlo, long rhi, long clo, long chi) {
  return make_matrix<int>(rlo, rhi, clo, chi);
}
ByteMatrix cmatrix(long rlo, long rhi, long clo, long chi) {
  return make_matrix<unsigned char>(rlo, rhi, clo, chi);
}
void free_dmatrix(DoubleMatrix m, long rlo, long rhi, long, long) { release_matrix(m, rlo, rhi); }
void free_imatrix(IntMatrix m, long rlo, long rhi, long, long) { release_matrix(m, rlo, rhi); }
void free_cmatrix(ByteMatrix m, long rlo, long rhi, long, long) { release_matrix(m, rlo, rhi); }

DoubleTensor3 d3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi) {
  return make_tensor<double>(rlo, rhi, clo, chi, dlo, dhi);
}
IntTensor3 i3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi) {
  return make_tensor<int>(rlo, rhi, clo, chi, dlo, dhi);
}
ByteTensor3 c3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi) {
  return make_tensor<unsigned char>(rlo, rhi, clo, chi, dlo, dhi);
}
void free_d3tensor(DoubleTensor3 t, long, long, long, long, long, long) {
  release_tensor(t);
}
void free_i3tensor(IntTensor3 t, long, long, long, long, long, long) {
  release_tensor(t);
}
void free_c3tensor(ByteTensor3 t, long, long, long, long, long, long) {
  release_tensor(t);
}

}  // namespace strataperm
