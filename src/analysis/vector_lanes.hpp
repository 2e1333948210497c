// Four doubles as one value, for the exact kernels: element-wise + - * / are
// the IEEE operations of each lane, whatever instructions the compiler picks,
// so a lane adds in the order its scalar twin does.
#pragma once

namespace strataperm {

typedef double Lanes4 __attribute__((vector_size(32), aligned(8), may_alias));

}  // namespace strataperm

// Loads and stores of four doubles at any 8-byte aligned address. (Macros, not
// functions: a vector value passed across a call would need the AVX calling
// convention in the baseline clone.)
#define LOAD4(p) (*reinterpret_cast<const ::strataperm::Lanes4*>(p))
#define STORE4(p, v) (*reinterpret_cast<::strataperm::Lanes4*>(p) = (v))
