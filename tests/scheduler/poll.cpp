// SPDX-License-Identifier: MIT
// Main polls a flag under a mutex, sleeping a millisecond between looks, until a thread
// raises it: correct, if wasteful. With BUG the thread never raises it, and main polls for
// ever.
#include <pthread.h>
#include <unistd.h>

namespace {
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
bool ready = false;

void *raise_flag(void *) {
  pthread_mutex_lock(&lock);
#ifndef BUG
  ready = true;
#endif
  pthread_mutex_unlock(&lock);
  return nullptr;
}
}  // namespace

int main() {
  pthread_t raiser;
  pthread_create(&raiser, nullptr, raise_flag, nullptr);
  for (;;) {
    pthread_mutex_lock(&lock);
    const bool seen = ready;
    pthread_mutex_unlock(&lock);
    if (seen) {
      break;
    }
    usleep(1000);
  }
  pthread_join(raiser, nullptr);
  return 0;
}
