// SPDX-License-Identifier: MIT
// Three threads count themselves under a spin lock and meet at a barrier: after it, each
// finds all three counted, and exactly one of them is told it was the last to arrive.
#include <pthread.h>

namespace {
pthread_barrier_t meeting;
pthread_spinlock_t count_lock;
int count = 0;
int serial = 0;
int early = 0;

void *meet(void *) {
  pthread_spin_lock(&count_lock);
  ++count;
  pthread_spin_unlock(&count_lock);
  const int said = pthread_barrier_wait(&meeting);
  pthread_spin_lock(&count_lock);
  early += count != 3 ? 1 : 0;
  serial += said == PTHREAD_BARRIER_SERIAL_THREAD ? 1 : 0;
  pthread_spin_unlock(&count_lock);
  return nullptr;
}
}  // namespace

int main() {
  pthread_barrier_init(&meeting, nullptr, 3);
  pthread_spin_init(&count_lock, PTHREAD_PROCESS_PRIVATE);
  pthread_t threads[3];
  for (pthread_t &thread : threads) {
    pthread_create(&thread, nullptr, meet, nullptr);
  }
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  pthread_barrier_destroy(&meeting);
  return (early != 0 ? 1 : 0) | (serial != 1 ? 2 : 0);
}
