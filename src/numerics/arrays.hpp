// Offset-indexed arrays and the fatal error exit.
//
// Every numerical routine indexes its arrays from an arbitrary lower bound
// (almost always 1), as the formulas are written. A view holds the start of its
// heap block and its lower bound, so v[lo] is the first element of the block
// and no pointer is ever formed outside the block.
//
// Allocators never initialise their contents. Each allocator has a free_
// counterpart that takes the same bounds. A failed allocation (or a size whose
// byte count does not fit in memory) ends the process through run_time_error
// with the allocator's fixed message.
#pragma once

#include <cstddef>

namespace strataperm {

// Writes the three-line report on standard error and exits with status 1.
[[noreturn]] void run_time_error(const char* message);

// A 1-D view: element i lives at block[i - lower].
template <typename T>
class OffsetVector {
 public:
  OffsetVector() = default;
  OffsetVector(T* block, std::ptrdiff_t lower) : block_(block), lower_(lower) {}

  T& operator[](std::ptrdiff_t i) const { return block_[i - lower_]; }

  T* block() const { return block_; }
  std::ptrdiff_t lower() const { return lower_; }
  // Address of element i (i may be one past the last element).
  T* at(std::ptrdiff_t i) const { return block_ + (i - lower_); }

  // A view of the same storage in which index `first` addresses element `i`
  // of this view.
  OffsetVector rebased(std::ptrdiff_t i, std::ptrdiff_t first) const {
    return OffsetVector(at(i), first);
  }

  explicit operator bool() const { return block_ != nullptr; }

 private:
  T* block_ = nullptr;
  std::ptrdiff_t lower_ = 0;
};

// A 2-D array: a block of row views, each row its own heap block.
template <typename T>
using OffsetMatrix = OffsetVector<OffsetVector<T>>;

// A 3-D array: row views into a block of row-by-column views into one data block.
template <typename T>
using OffsetTensor3 = OffsetVector<OffsetVector<OffsetVector<T>>>;

using DoubleVector = OffsetVector<double>;
using IntVector = OffsetVector<int>;
using ByteVector = OffsetVector<unsigned char>;
using DoubleMatrix = OffsetMatrix<double>;
using IntMatrix = OffsetMatrix<int>;
using ByteMatrix = OffsetMatrix<unsigned char>;
using DoubleTensor3 = OffsetTensor3<double>;
using IntTensor3 = OffsetTensor3<int>;
using ByteTensor3 = OffsetTensor3<unsigned char>;

// Vectors over lo..hi. Bounds with hi < lo give an empty (but valid) block.
DoubleVector dvector(long lo, long hi);
IntVector ivector(long lo, long hi);
ByteVector cvector(long lo, long hi);
void free_dvector(DoubleVector v, long lo, long hi);
void free_ivector(IntVector v, long lo, long hi);
void free_cvector(ByteVector v, long lo, long hi);

// Matrices over [rlo..rhi][clo..chi]: the row block first, then each row in
// ascending order. Release frees the rows from rhi down to rlo, then the row
// block.
DoubleMatrix dmatrix(long rlo, long rhi, long clo, long chi);
IntMatrix imatrix(long rlo, long rhi, long clo, long chi);
ByteMatrix cmatrix(long rlo, long rhi, long clo, long chi);
void free_dmatrix(DoubleMatrix m, long rlo, long rhi, long clo, long chi);
void free_imatrix(IntMatrix m, long rlo, long rhi, long clo, long chi);
void free_cmatrix(ByteMatrix m, long rlo, long rhi, long clo, long chi);

// 3-D arrays over [rlo..rhi][clo..chi][dlo..dhi]: a row block, a row-by-column
// block and one contiguous data block, released in the reverse order.
DoubleTensor3 d3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi);
IntTensor3 i3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi);
ByteTensor3 c3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi);
void free_d3tensor(DoubleTensor3 t, long rlo, long rhi, long clo, long chi, long dlo, long dhi);
void free_i3tensor(IntTensor3 t, long rlo, long rhi, long clo, long chi, long dlo, long dhi);
void free_c3tensor(ByteTensor3 t, long rlo, long rhi, long clo, long chi, long dlo, long dhi);

}  // namespace strataperm
