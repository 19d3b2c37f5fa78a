// SPDX-License-Identifier: MIT
// Prints four integers in ascending order by sorting pointers to them; the
// numbers themselves never move.
#include <iostream>

#include "sortrefs.h"

int main() {
  std::cout << "Input 4 values into the array." << std::endl;
  // A read that fails stores 0, or the nearest limit for a number out of int's range; once
  // the stream has failed, later reads store nothing and their values stay 0.
  int values[sort_count] = {};
  for (int &value : values) {
    std::cin >> value;
  }
  int *refs[sort_count];
  for (int i = 0; i < sort_count; ++i) {
    refs[i] = &values[i];
  }
  sortRefs(refs);
  for (const int *ref : refs) {
    std::cout << *ref << " ";
  }
  return std::cout.flush() ? 0 : 1;  // 1: the output was lost
}
