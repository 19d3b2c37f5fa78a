// SPDX-License-Identifier: MIT
// Two threads warm up for five thousand rounds each, on mutexes of their own, and then take
// two shared mutexes: the bug takes them in opposite orders, and deadlocks when each thread
// holds its first; its twin takes them in one order.
#include <pthread.h>

namespace {
pthread_mutex_t a = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t b = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t own[2] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

void *work(void *argument) {
  const int me = *static_cast<int *>(argument);
  for (int i = 0; i < 5000; ++i) {
    pthread_mutex_lock(&own[me]);
    pthread_mutex_unlock(&own[me]);
  }
#ifdef BUG
  pthread_mutex_t *first = me == 0 ? &a : &b;
  pthread_mutex_t *second = me == 0 ? &b : &a;
#else
  pthread_mutex_t *first = &a;
  pthread_mutex_t *second = &b;
#endif
  pthread_mutex_lock(first);
  pthread_mutex_lock(second);
  pthread_mutex_unlock(second);
  pthread_mutex_unlock(first);
  return nullptr;
}
}  // namespace

int main() {
  static int ids[2] = {0, 1};
  pthread_t threads[2];
  for (int i = 0; i < 2; ++i) {
    pthread_create(&threads[i], nullptr, work, &ids[i]);
  }
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  return 0;
}
