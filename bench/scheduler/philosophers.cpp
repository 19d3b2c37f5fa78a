// SPDX-License-Identifier: MIT
// Four philosophers at a round table, a fork between each two. Each takes the lower-numbered
// of its two forks first, so no cycle of waits can form, and eats twice.
#include <pthread.h>

#include <cstdio>

namespace {
constexpr int seats = 4;
constexpr int meals = 2;
pthread_mutex_t forks[seats] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
                                PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};
int eaten[seats];

void *dine(void *argument) {
  const int seat = *static_cast<int *>(argument);
  const int left = seat;
  const int right = (seat + 1) % seats;
  const int first = left < right ? left : right;
  const int second = left < right ? right : left;
  for (int meal = 0; meal < meals; ++meal) {
    pthread_mutex_lock(&forks[first]);
    pthread_mutex_lock(&forks[second]);
    ++eaten[seat];
    pthread_mutex_unlock(&forks[second]);
    pthread_mutex_unlock(&forks[first]);
  }
  return nullptr;
}
}  // namespace

int main() {
  static int seat_of[seats] = {0, 1, 2, 3};
  pthread_t philosophers[seats];
  for (int i = 0; i < seats; ++i) {
    pthread_create(&philosophers[i], nullptr, dine, &seat_of[i]);
  }
  for (pthread_t philosopher : philosophers) {
    pthread_join(philosopher, nullptr);
  }
  for (int count : eaten) {
    if (count != meals) {
      std::printf("a philosopher ate %d times of %d\n", count, meals);
      return 1;
    }
  }
  return 0;
}
