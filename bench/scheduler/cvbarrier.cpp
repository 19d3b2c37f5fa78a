// SPDX-License-Identifier: MIT
// A barrier made of a mutex and a condition variable: three threads meet at it twice. The
// last to arrive starts a new generation and wakes the others with a broadcast; each waits
// in a loop until its own generation has passed, so a spurious wake-up only waits again.
#include <pthread.h>

#include <cstdio>

namespace {
constexpr int parties = 3;
constexpr int rounds = 2;
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t all_here = PTHREAD_COND_INITIALIZER;
int arrived = 0;
int generation = 0;
int passed[parties];

void meet() {
  pthread_mutex_lock(&mutex);
  const int mine = generation;
  if (++arrived == parties) {
    arrived = 0;
    ++generation;
    pthread_cond_broadcast(&all_here);
  } else {
    while (generation == mine) {
      pthread_cond_wait(&all_here, &mutex);
    }
  }
  pthread_mutex_unlock(&mutex);
}

void *party(void *argument) {
  const int who = *static_cast<int *>(argument);
  for (int round = 0; round < rounds; ++round) {
    meet();
    ++passed[who];
  }
  return nullptr;
}
}  // namespace

int main() {
  static int who[parties] = {0, 1, 2};
  pthread_t threads[parties];
  for (int i = 0; i < parties; ++i) {
    pthread_create(&threads[i], nullptr, party, &who[i]);
  }
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  for (int count : passed) {
    if (count != rounds) {
      std::printf("a thread passed the barrier %d times of %d\n", count, rounds);
      return 1;
    }
  }
  return 0;
}
