// SPDX-License-Identifier: MIT
// Main as a thread like the others. A helper joins main, which ends its own thread with
// pthread_exit: the join returns only then, so the helper finds main's last write, and the
// process ends with the helper. The bug: main locks a normal mutex that it already holds,
// and waits for itself for ever, alone.
#include <pthread.h>

#include <cstdlib>

namespace {
pthread_t main_thread;
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

bool main_done = false;  // written by main after it starts the helper, read after the join

void *join_main(void *) {
  const int joined = pthread_join(main_thread, nullptr);
  std::exit(joined == 0 && main_done ? 0 : 1);  // returned before main had ended: status 1
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
  pthread_mutex_lock(&mutex);  // a step of main's after the helper starts, where it may move
  main_done = true;
  pthread_mutex_unlock(&mutex);
  pthread_exit(nullptr);
}
