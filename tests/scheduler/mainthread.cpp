// SPDX-License-Identifier: MIT
// Main as a thread like the others. A helper joins main, which has ended its own thread with
// pthread_exit, and the process ends with the helper. The bug: main locks a normal mutex that
// it already holds, and waits for itself for ever, alone.
#include <pthread.h>

namespace {
pthread_t main_thread;
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

void *join_main(void *) {
  pthread_join(main_thread, nullptr);
  return nullptr;
}
}  // namespace

int main() {
  main_thread = pthread_self();
  pthread_mutex_lock(&mutex);
#ifdef BUG
  pthread_mutex_lock(&mutex);
#endif
  pthread_mutex_unlock(&mutex);
  pthread_t helper;
  pthread_create(&helper, nullptr, join_main, nullptr);
  pthread_exit(nullptr);
}
