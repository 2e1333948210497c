// Dense linear algebra on 1-based offset-indexed matrices.
//
// Every routine touches indices 1..count only, writes its results into arrays
// the caller supplies, and works in double precision. Scratch vectors are
// obtained with dvector and released before return; a failed allocation or a
// non-converging eigenvalue ends the process through run_time_error.
#pragma once

#include "numerics/arrays.hpp"

namespace strataperm {

// Householder reduction of the symmetric n x n matrix a (only its lower
// triangle, diagonal included, is read) to tridiagonal form. Writes the
// diagonal into d[1..n] and the sub-diagonal into e[2..n] (e[i] joins rows i-1
// and i; e[1] = 0), and overwrites a with the accumulated orthogonal
// transformation Q, so that Q^T A Q is the tridiagonal matrix. n < 1 returns
// at once without touching a, d or e (d and e may then be empty vectors).
void tridiagonalize(DoubleMatrix a, int n, DoubleVector d, DoubleVector e);

// Eigenvalues and eigenvectors of the symmetric n x n matrix a (lower triangle
// read): tridiagonalize, then QL iteration with implicit shifts. d[1..n]
// receives the eigenvalues, unordered; column k of a (a[1..n][k]) receives the
// unit eigenvector of d[k], signs not normalised. More than 30 sweeps for one
// eigenvalue end the process through run_time_error("Too many iterations in
// tqli"). n < 1 returns at once: no scratch vector is obtained and neither a
// nor d is touched.
void tqli(DoubleMatrix a, DoubleVector d, int n);

// |a| with the sign of b: |a| when b >= 0 (negative zero included), -|a| when
// b < 0 or b is NaN.
double transfer_sign(double a, double b);

// Cholesky factorisation of the symmetric positive-definite n x n matrix a
// (only its upper triangle, diagonal included, is read). On return a holds
// the inverse of the Cholesky factor L (lower triangular, zeros above the
// diagonal), inv holds A^-1 = (L^-1)^T L^-1, and the result is det A. Pivots
// are not tested: a matrix that is not positive definite gives infinities or
// NaN without a message.
double cholesky_inverse(DoubleMatrix a, DoubleMatrix inv, int n);

// out[1..rows][1..cols] = x[1..rows][1..inner] * y[1..inner][1..cols], each
// entry accumulated in out itself from 0 in increasing k; out must not share
// storage with x or y.
void matrix_multiply(DoubleMatrix out, DoubleMatrix x, DoubleMatrix y, int rows, int cols, int inner);

// out[j][i] = x[i][j] for x of rows x cols; out (cols x rows) is a distinct
// matrix.
void matrix_transpose(DoubleMatrix out, DoubleMatrix x, int rows, int cols);

}  // namespace strataperm
