#include <gtest/gtest.h>
#include <unistd.h>

#include "numerics/arrays.hpp"

namespace strataperm {
namespace {

TEST(OffsetVectors, IndexFromTheirLowerBound) {
  DoubleVector v = dvector(1, 5);
  for (int i = 1; i <= 5; ++i) v[i] = i * 1.5;
  EXPECT_EQ(v.at(1), v.block());
  EXPECT_DOUBLE_EQ(v[5], 7.5);
  free_dvector(v, 1, 5);

  IntVector w = ivector(0, 4);
  for (int i = 0; i <= 4; ++i) w[i] = -i;
  EXPECT_EQ(w.block()[4], -4);
  free_ivector(w, 0, 4);

  ByteVector c = cvector(-3, -1);
  c[-3] = 7;
  EXPECT_EQ(c.block()[0], 7);
  free_cvector(c, -3, -1);
}

TEST(OffsetVectors, EmptyRangeIsStillAValidBlock) {
  DoubleVector v = dvector(1, 0);
  EXPECT_TRUE(static_cast<bool>(v));
  free_dvector(v, 1, 0);
}

TEST(OffsetVectors, RebasedViewSharesStorage) {
  IntVector v = ivector(1, 6);
  for (int i = 1; i <= 6; ++i) v[i] = i;
  IntVector tail = v.rebased(4, 1);
  EXPECT_EQ(tail[1], 4);
  tail[3] = 60;
  EXPECT_EQ(v[6], 60);
  free_ivector(v, 1, 6);
}

TEST(OffsetMatrices, OneByOneIsReachableAtTheLowerBounds) {
  DoubleMatrix m = dmatrix(3, 3, -2, -2);
  m[3][-2] = 4.25;
  EXPECT_EQ(m[3].block()[0], 4.25);
  free_dmatrix(m, 3, 3, -2, -2);
}

TEST(OffsetMatrices, RowsAreIndependentBlocks) {
  IntMatrix m = imatrix(1, 4, 0, 2);
  for (int i = 1; i <= 4; ++i)
    for (int j = 0; j <= 2; ++j) m[i][j] = 10 * i + j;
  for (int i = 1; i <= 4; ++i)
    for (int j = 0; j <= 2; ++j) EXPECT_EQ(m[i][j], 10 * i + j);
  free_imatrix(m, 1, 4, 0, 2);
  ByteMatrix c = cmatrix(1, 2, 1, 2);
  c[2][2] = 9;
  EXPECT_EQ(c[2][2], 9);
  free_cmatrix(c, 1, 2, 1, 2);
}

TEST(OffsetTensors, DataRunsRowAfterRowInOneBlock) {
  DoubleTensor3 t = d3tensor(1, 2, 1, 3, 0, 1);
  double* first = t[1][1].at(0);
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 3; ++j)
      for (int k = 0; k <= 1; ++k) t[i][j][k] = 100 * i + 10 * j + k;
  EXPECT_EQ(first[0], 110);
  EXPECT_EQ(first[1], 111);
  EXPECT_EQ(first[2], 120);
  EXPECT_EQ(first[6], 210);
  EXPECT_EQ(t[2][3][1], 231);
  free_d3tensor(t, 1, 2, 1, 3, 0, 1);

  IntTensor3 it = i3tensor(0, 0, 0, 0, 0, 0);
  it[0][0][0] = 5;
  EXPECT_EQ(it[0][0][0], 5);
  free_i3tensor(it, 0, 0, 0, 0, 0, 0);
  ByteTensor3 ct = c3tensor(1, 1, 1, 2, 1, 2);
  ct[1][2][2] = 3;
  EXPECT_EQ(ct[1][2][2], 3);
  free_c3tensor(ct, 1, 1, 1, 2, 1, 2);
}

// The report is three lines at the end of standard error, then exit status 1.
// (Sanitizer builds may print their own note on a refused allocation first.)
std::string failure_report(const char* message) {
  std::string escaped;
  for (const char* p = message; *p; ++p) {
    if (*p == '(' || *p == ')' || *p == '.') escaped += '\\';
    escaped += *p;
  }
  return "(^|\n)Numerical Recipes run-time error\\.\\.\\.\n" + escaped +
         "\n\\.\\.\\.now exiting to system\\.\\.\\.\n$";
}

constexpr long kHuge = 1L << 61;

TEST(AllocationFailureDeathTest, EachAllocatorReportsItsFixedMessage) {
  EXPECT_EXIT(dvector(1, kHuge), ::testing::ExitedWithCode(1),
              failure_report("allocation failure in dvector()"));
  EXPECT_EXIT(ivector(1, kHuge), ::testing::ExitedWithCode(1),
              failure_report("allocation failure in dvector()"));
  EXPECT_EXIT(cvector(1, kHuge * 3), ::testing::ExitedWithCode(1),
              failure_report("allocation failure in dvector()"));
  EXPECT_EXIT(dmatrix(1, kHuge, 1, 1), ::testing::ExitedWithCode(1),
              failure_report("allocation failure 1 in matrix()"));
  EXPECT_EXIT(imatrix(1, 2, 1, kHuge), ::testing::ExitedWithCode(1),
              failure_report("allocation failure 2 in matrix()"));
  EXPECT_EXIT(d3tensor(1, kHuge, 1, 1, 1, 1), ::testing::ExitedWithCode(1),
              failure_report("allocation failure in 1 in d3tensor()"));
  EXPECT_EXIT(i3tensor(1, 2, 1, kHuge, 1, 1), ::testing::ExitedWithCode(1),
              failure_report("allocation failure 2 in d3tensor()"));
  EXPECT_EXIT(c3tensor(1, 2, 1, 2, 1, kHuge * 3), ::testing::ExitedWithCode(1),
              failure_report("allocation failure 3 in d3tensor()"));
}

TEST(AllocationFailureDeathTest, RunTimeErrorWritesNothingOnStandardOutput) {
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(2, 1);  // anything printed on standard output would now show up in the report
        run_time_error("custom message");
      },
      ::testing::ExitedWithCode(1), failure_report("custom message"));
}

}  // namespace
}  // namespace strataperm
