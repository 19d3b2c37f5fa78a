// SPDX-License-Identifier: MIT
// The pointer sort on its own: the values stay where they are, and the references end as a
// permutation of them in non-decreasing order, for every ordering of a grid with ties.
#include "sortrefs.h"

#include <gtest/gtest.h>

#include <climits>

TEST(SortRefs, OrdersTheReferencesAndNeverMovesTheValues) {
  const int grid[] = {INT_MIN, -1, 0, 1, INT_MAX};
  for (const int a : grid) {
    for (const int b : grid) {
      for (const int c : grid) {
        for (const int d : grid) {
          int values[sort_count] = {a, b, c, d};
          int *refs[sort_count] = {&values[0], &values[1], &values[2], &values[3]};
          sortRefs(refs);
          SCOPED_TRACE(testing::Message() << a << ' ' << b << ' ' << c << ' ' << d);
          EXPECT_EQ(values[0], a);
          EXPECT_EQ(values[1], b);
          EXPECT_EQ(values[2], c);
          EXPECT_EQ(values[3], d);
          int seen[sort_count] = {};
          for (int i = 0; i < sort_count; ++i) {
            ASSERT_TRUE(refs[i] >= values && refs[i] < values + sort_count);
            ++seen[refs[i] - values];
            if (i > 0) {
              EXPECT_LE(*refs[i - 1], *refs[i]);
            }
          }
          for (const int times : seen) {
            EXPECT_EQ(times, 1) << "each value is referred to once";
          }
        }
      }
    }
  }
}
