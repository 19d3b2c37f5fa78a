// SPDX-License-Identifier: MIT
// Reads a number and greets with it from a new thread.
#include <pthread.h>

#include <cstdlib>
#include <iostream>

void *PrintHello(void *arg) {
  const int number = *static_cast<const int *>(arg);
  std::cout << "Hello World from thread with arg: " << number << "!\n";
  // The last output of the program: when it could not be written, the program fails.
  if (!std::cout.flush()) {
    std::exit(1);
  }
  return nullptr;
}

int main() {
  std::cout << "In main: creating thread \n";
  std::cout << "Enter a number: ";
  static int number;  // static: the greeting thread reads it after this thread has ended
  number = 0;
  std::cin >> number;
  pthread_t thread;
  const int rc = pthread_create(&thread, nullptr, PrintHello, &number);
  if (rc != 0) {
    std::cout << "ERROR; return code from pthread_create() is " << rc << std::endl;
    return -1;
  }
  pthread_exit(nullptr);
}
