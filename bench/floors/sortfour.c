/* SPDX-License-Identifier: MIT */
/* sortfour's job in plain C with stdio: the floor that a C++ program is measured against. */
#include <stdio.h>

int main(void) {
  int values[4] = {0}, *refs[4];
  puts("Input 4 values into the array.");
  fflush(stdout);
  for (int i = 0; i < 4 && scanf("%d", &values[i]) == 1; ++i) {
  }
  for (int i = 0; i < 4; ++i) refs[i] = &values[i];
  for (int k = 0; k < 4; ++k)
    for (int l = 0; l < 4; ++l)
      if (*refs[k] < *refs[l]) {
        int *swap = refs[k];
        refs[k] = refs[l];
        refs[l] = swap;
      }
  for (int i = 0; i < 4; ++i) printf("%d ", *refs[i]);
  return 0;
}
