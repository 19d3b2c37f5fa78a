// SPDX-License-Identifier: MIT
// A thread that spins, yielding, until another sets a flag: correct, and it ends, because a
// scheduler that is fair to a yielding thread lets the other move. The bug: two threads each
// spin until the other has set its flag, which each sets only after its own spin: they yield
// to each other for ever, a livelock.
#include <pthread.h>
#include <sched.h>

#include <atomic>

namespace {
std::atomic<bool> ready[2];

void *spin(void *argument) {
  const int me = *static_cast<int *>(argument);
#ifndef BUG
  ready[me] = true;
#endif
  while (!ready[1 - me]) {
    sched_yield();
  }
  ready[me] = true;
  return nullptr;
}
}  // namespace

int main() {
  static int ids[2] = {0, 1};
  pthread_t threads[2];
  for (int i = 0; i < 2; ++i) {
    pthread_create(&threads[i], nullptr, spin, &ids[i]);
  }
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  return 0;
}
