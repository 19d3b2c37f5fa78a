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
    // main may still be on its way to pthread_exit, but it touches nothing after starting
    // this thread, so nothing it does can race the clean-up that exit runs.
    std::exit(1);  // NOLINT(concurrency-mt-unsafe)
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
  const int error = pthread_create(&thread, nullptr, PrintHello, &number);
  if (error != 0) {
    std::cout << "ERROR; return code from pthread_create() is " << error << std::endl;
    return -1;
  }
  pthread_exit(nullptr);
}
