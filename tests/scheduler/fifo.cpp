// SPDX-License-Identifier: MIT
// Two threads wait on one condition variable, the first before the second; main lets the
// first go and signals once, trusting that the longest waiter wakes. POSIX names no order:
// if the signal wakes the second, it finds nothing for itself and waits again, and the first
// is never woken while main waits to join it. The twin broadcasts.
#include <pthread.h>

namespace {
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t go = PTHREAD_COND_INITIALIZER;
pthread_cond_t waiting = PTHREAD_COND_INITIALIZER;
int arrived = 0;
bool released[2] = {false, false};

void *wait_turn(void *argument) {
  const int id = *static_cast<int *>(argument);
  pthread_mutex_lock(&mutex);
  ++arrived;
  pthread_cond_signal(&waiting);
  while (!released[id]) {
    pthread_cond_wait(&go, &mutex);
  }
  pthread_mutex_unlock(&mutex);
  return nullptr;
}

void start(pthread_t &thread, int &id, int count) {
  pthread_create(&thread, nullptr, wait_turn, &id);
  pthread_mutex_lock(&mutex);
  while (arrived < count) {
    pthread_cond_wait(&waiting, &mutex);
  }
  pthread_mutex_unlock(&mutex);
}
}  // namespace

int main() {
  static int ids[2] = {0, 1};
  pthread_t first;
  pthread_t second;
  start(first, ids[0], 1);
  start(second, ids[1], 2);
  pthread_mutex_lock(&mutex);
  released[0] = true;
#ifdef BUG
  pthread_cond_signal(&go);
#else
  pthread_cond_broadcast(&go);
#endif
  pthread_mutex_unlock(&mutex);
  pthread_join(first, nullptr);
  pthread_mutex_lock(&mutex);
  released[1] = true;
  pthread_cond_broadcast(&go);
  pthread_mutex_unlock(&mutex);
  pthread_join(second, nullptr);
  return 0;
}
