// SPDX-License-Identifier: MIT
// Two producers and two consumers, one item each, share a one-slot buffer and one condition
// variable. Each wait is a loop, so a wake-up that finds its condition false only waits
// again; but with one condition variable for both conditions, a signal may wake a thread of
// the same side, which waits again, while the thread that could go on is never woken: in the
// end two of them wait for ever. The twin broadcasts, and every waiter looks again.
#include <pthread.h>

namespace {
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
int full = 0;

void wake_others() {
#ifdef BUG
  pthread_cond_signal(&changed);
#else
  pthread_cond_broadcast(&changed);
#endif
}

void *produce(void *) {
  pthread_mutex_lock(&mutex);
  while (full == 1) {
    pthread_cond_wait(&changed, &mutex);
  }
  full = 1;
  wake_others();
  pthread_mutex_unlock(&mutex);
  return nullptr;
}

void *consume(void *) {
  pthread_mutex_lock(&mutex);
  while (full == 0) {
    pthread_cond_wait(&changed, &mutex);
  }
  full = 0;
  wake_others();
  pthread_mutex_unlock(&mutex);
  return nullptr;
}
}  // namespace

int main() {
  pthread_t threads[4];
  pthread_create(&threads[0], nullptr, consume, nullptr);
  pthread_create(&threads[1], nullptr, consume, nullptr);
  pthread_create(&threads[2], nullptr, produce, nullptr);
  pthread_create(&threads[3], nullptr, produce, nullptr);
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  return 0;
}
