// SPDX-License-Identifier: MIT
// Mutexes of each type, as POSIX has them: a recursive one locked twice by its owner, and
// still held after one unlock; an error-checking one that says EDEADLK to its owner's second
// lock, and EPERM to another thread's unlock and EBUSY to its trylock; a trylock that finds a
// free mutex free; and mutual exclusion itself, with a step inside each critical section. The
// status says what was wrong. The bug: a normal mutex locked again by its owner, which waits
// for itself for ever.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

namespace {
pthread_mutex_t recursive = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
pthread_mutex_t checked = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
pthread_mutex_t plain = PTHREAD_MUTEX_INITIALIZER;
int inside = 0;
int overlaps = 0;
int unlock_error = 0;

void *enter(void *) {
  for (int i = 0; i < 2; ++i) {
    pthread_mutex_lock(&plain);
    overlaps += inside;
    inside = 1;
    usleep(1);  // a step inside the critical section: another thread may move here
    inside = 0;
    pthread_mutex_unlock(&plain);
  }
  return nullptr;
}

int try_error = 0;
int try_recursive_error = 0;

void *try_recursive(void *) {
  try_recursive_error = pthread_mutex_trylock(&recursive);
  return nullptr;
}

void *unlock_checked(void *) {
  unlock_error = pthread_mutex_unlock(&checked);
  try_error = pthread_mutex_trylock(&checked);
  return nullptr;
}
}  // namespace

int main() {
  int wrong = 0;
  pthread_mutex_lock(&recursive);
  wrong |= pthread_mutex_lock(&recursive) != 0 ? 1 : 0;
  pthread_mutex_unlock(&recursive);
  pthread_t trying;  // locked twice, unlocked once: still main's
  pthread_create(&trying, nullptr, try_recursive, nullptr);
  pthread_join(trying, nullptr);
  wrong |= try_recursive_error != EBUSY || pthread_mutex_unlock(&recursive) != 0 ? 32 : 0;
  pthread_mutex_lock(&checked);
  wrong |= pthread_mutex_lock(&checked) != EDEADLK ? 2 : 0;
  pthread_t other;
  pthread_create(&other, nullptr, unlock_checked, nullptr);
  pthread_join(other, nullptr);
  wrong |= unlock_error != EPERM || try_error != EBUSY ? 4 : 0;
  pthread_mutex_unlock(&checked);
  wrong |= pthread_mutex_trylock(&plain) != 0 ? 8 : 0;
#ifdef BUG
  pthread_mutex_lock(&plain);
#endif
  pthread_mutex_unlock(&plain);
  pthread_t first;
  pthread_t second;
  pthread_create(&first, nullptr, enter, nullptr);
  pthread_create(&second, nullptr, enter, nullptr);
  pthread_join(first, nullptr);
  pthread_join(second, nullptr);
  wrong |= overlaps != 0 ? 16 : 0;
  return wrong;
}
