// SPDX-License-Identifier: MIT
// The pointer sort: orders four references by the values they refer to, and never moves
// the values themselves.
#ifndef SORTFOUR_SORTREFS_H
#define SORTFOUR_SORTREFS_H

#include <utility>

constexpr int sort_count = 4;

// Each of the 4 passes compares position k with all 4 positions, k itself included: 16
// comparisons in all, 12 of two positions (each pair once in each order) and 4 of a position
// with itself, which can never exchange. A pair is exchanged when the value at k is less than
// the one at l. It looks like a selection sort but is not one. After pass k of the outer loop,
// refs[0] to refs[k] are in non-decreasing order and refs[k] refers to a largest of the four
// values: pass 0 carries a largest value to refs[0], and each later pass inserts the value at
// k into the ordered references below it, which brings the largest up to k. After the last
// pass all four are in order. Equal values are never exchanged.
inline void sortRefs(int *(&refs)[sort_count]) {
  for (int k = 0; k < sort_count; ++k) {
    for (int l = 0; l < sort_count; ++l) {
      if (*refs[k] < *refs[l]) {
        std::swap(refs[k], refs[l]);
      }
    }
  }
}

#endif
