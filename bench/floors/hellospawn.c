/* SPDX-License-Identifier: MIT */
/* hellospawn's job in plain C with stdio: the floor that a C++ program is measured against. */
#include <pthread.h>
#include <stdio.h>

static void *greet(void *arg) {
  printf("Hello World from thread with arg: %d!\n", *(const int *)arg);
  fflush(stdout);
  return NULL;
}

int main(void) {
  static int number;
  pthread_t thread;
  printf("In main: creating thread \nEnter a number: ");
  fflush(stdout);
  if (scanf("%d", &number) != 1) number = 0;
  int error = pthread_create(&thread, NULL, greet, &number);
  if (error != 0) {
    printf("ERROR; return code from pthread_create() is %d\n", error);
    return -1;
  }
  pthread_exit(NULL);
}
