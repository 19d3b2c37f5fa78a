// SPDX-License-Identifier: MIT
// Prints four integers in ascending order by sorting pointers to them; the
// numbers themselves never move.
#include <iostream>
#include <utility>

int main() {
  std::cout << "Input 4 values into the array." << std::endl;
  int values[4] = {};  // a value whose read fails stays 0
  for (int &value : values) {
    std::cin >> value;
  }
  int *refs[4];
  for (int i = 0; i < 4; ++i) {
    refs[i] = &values[i];
  }
  // Every pair is compared in both orders, 16 comparisons in all; this leaves
  // refs in non-decreasing order, and equal values are never exchanged.
  for (int k = 0; k < 4; ++k) {
    for (int l = 0; l < 4; ++l) {
      if (*refs[k] < *refs[l]) {
        std::swap(refs[k], refs[l]);
      }
    }
  }
  for (const int *ref : refs) {
    std::cout << *ref << " ";
  }
  return std::cout.flush() ? 0 : 1;  // 1: the output was lost
}
