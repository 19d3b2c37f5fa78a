// SPDX-License-Identifier: MIT
// What POSIX leaves undefined, chosen when the program is built (-DMISUSE=...): a mutex
// destroyed while a thread holds it, one condition variable waited on with two mutexes at
// once, and a mutex unlocked by a thread that does not hold it. Built without, the same
// threads do it right.
#include <pthread.h>
#include <time.h>

#define DESTROY_HELD 1
#define TWO_MUTEXES 2
#define UNLOCK_NOT_HELD 3

namespace {
pthread_mutex_t first = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t second = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
bool go = false;

void *wait_for_go(void *) {
  pthread_mutex_lock(&first);
  while (!go) {
    pthread_cond_wait(&changed, &first);
  }
  pthread_mutex_unlock(&first);
  return nullptr;
}
}  // namespace

int main() {
  pthread_t thread;
  pthread_create(&thread, nullptr, wait_for_go, nullptr);
  // A second's wait on the same condition variable, which nobody signals.
#if MISUSE == TWO_MUTEXES
  pthread_mutex_t *mine = &second;
#else
  pthread_mutex_t *mine = &first;
#endif
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 1;
  pthread_mutex_lock(mine);
  pthread_cond_timedwait(&changed, mine, &until);
  pthread_mutex_unlock(mine);
  pthread_mutex_lock(&first);
  go = true;
  pthread_cond_broadcast(&changed);
#if MISUSE == DESTROY_HELD
  pthread_mutex_destroy(&first);
#elif MISUSE == UNLOCK_NOT_HELD
  pthread_mutex_unlock(&second);
#endif
  pthread_mutex_unlock(&first);
  pthread_join(thread, nullptr);
  pthread_mutex_destroy(&first);
  return 0;
}
