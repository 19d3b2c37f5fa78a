// SPDX-License-Identifier: MIT
// Two threads add to one counter, each as many times as the number it reads; the count is
// then printed, and the status is 1 when additions were lost. Built twice: counter, with
// nothing to order the two threads' additions, and counter-locked, where a mutex does.
#include <pthread.h>

#include <iostream>

namespace {
int count = 0;
int additions = 0;
#ifdef LOCKED
pthread_mutex_t count_mutex = PTHREAD_MUTEX_INITIALIZER;
#endif
}  // namespace

// Each addition is a load, an add and a store: three instructions that the other thread can
// come between, and then one of the two additions is lost. (The empty asm keeps the compiler
// from adding them all up at once, outside the loop.)
void *add(void * /*unused*/) {
  for (int i = 0; i < additions; ++i) {
#ifdef LOCKED
    pthread_mutex_lock(&count_mutex);
#endif
    count = count + 1;
#ifdef LOCKED
    pthread_mutex_unlock(&count_mutex);
#endif
    asm volatile("" ::: "memory");
  }
  return nullptr;
}

int main() {
  std::cin >> additions;
  pthread_t first;
  pthread_t second;
  pthread_create(&first, nullptr, add, nullptr);
  pthread_create(&second, nullptr, add, nullptr);
  pthread_join(first, nullptr);
  pthread_join(second, nullptr);
  const int expected = 2 * additions;
  std::cout << "count " << count << ", expected " << expected;
  if (count != expected) {
    std::cout << ": " << expected - count << " additions lost";
  }
  std::cout << std::endl;
  return count == expected ? 0 : 1;
}
