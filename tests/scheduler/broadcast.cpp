// SPDX-License-Identifier: MIT
// Two threads wait for one event; main announces it with one signal, which wakes one of
// them: the other waits for ever. The twin broadcasts.
#include <pthread.h>

namespace {
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t started = PTHREAD_COND_INITIALIZER;
bool go = false;

void *wait_for_go(void *) {
  pthread_mutex_lock(&mutex);
  while (!go) {
    pthread_cond_wait(&started, &mutex);
  }
  pthread_mutex_unlock(&mutex);
  return nullptr;
}
}  // namespace

int main() {
  pthread_t one;
  pthread_t two;
  pthread_create(&one, nullptr, wait_for_go, nullptr);
  pthread_create(&two, nullptr, wait_for_go, nullptr);
  pthread_mutex_lock(&mutex);
  go = true;
#ifdef BUG
  pthread_cond_signal(&started);
#else
  pthread_cond_broadcast(&started);
#endif
  pthread_mutex_unlock(&mutex);
  pthread_join(one, nullptr);
  pthread_join(two, nullptr);
  return 0;
}
