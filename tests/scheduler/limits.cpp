// SPDX-License-Identifier: MIT
// Larger than the order desk in every direction: seventeen threads at once, each with a
// mutex of its own among eighty, and main alone making sixty thousand steps before them.
#include <pthread.h>

namespace {
pthread_mutex_t mutexes[80];
int counts[80];

void *work(void *argument) {
  const int me = *static_cast<int *>(argument);
  for (int m = me; m < 80; m += 17) {
    pthread_mutex_lock(&mutexes[m]);
    ++counts[m];
    pthread_mutex_unlock(&mutexes[m]);
  }
  return nullptr;
}
}  // namespace

int main() {
  for (pthread_mutex_t &mutex : mutexes) {
    pthread_mutex_init(&mutex, nullptr);
  }
  for (int i = 0; i < 30000; ++i) {
    pthread_mutex_lock(&mutexes[i % 80]);
    pthread_mutex_unlock(&mutexes[i % 80]);
  }
  static int ids[17];
  pthread_t threads[17];
  for (int i = 0; i < 17; ++i) {
    ids[i] = i;
    pthread_create(&threads[i], nullptr, work, &ids[i]);
  }
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  int total = 0;
  for (int count : counts) {
    total += count;
  }
  return total == 80 ? 0 : 1;
}
