// SPDX-License-Identifier: MIT
// A bounded buffer of two slots guarded by two POSIX semaphores, one counting the free slots
// and one the taken, and a mutex around the slots themselves: a producer puts four items and
// a consumer takes them, in order. The bug: the producer takes the mutex before it waits for
// a free slot, so a producer that finds the buffer full waits holding the mutex that the
// consumer needs to free one.
#include <pthread.h>
#include <semaphore.h>

namespace {
sem_t free_slots;
sem_t taken_slots;
pthread_mutex_t buffer_lock = PTHREAD_MUTEX_INITIALIZER;
int buffer[2];
int put_at = 0;
int take_at = 0;
int received = 0;

void *produce(void *) {
  for (int i = 1; i <= 4; ++i) {
#ifdef BUG
    pthread_mutex_lock(&buffer_lock);
    sem_wait(&free_slots);
#else
    sem_wait(&free_slots);
    pthread_mutex_lock(&buffer_lock);
#endif
    buffer[put_at++ % 2] = i;
    pthread_mutex_unlock(&buffer_lock);
    sem_post(&taken_slots);
  }
  return nullptr;
}

void *consume(void *) {
  for (int i = 1; i <= 4; ++i) {
    sem_wait(&taken_slots);
    pthread_mutex_lock(&buffer_lock);
    received += buffer[take_at++ % 2] == i ? 1 : 0;
    pthread_mutex_unlock(&buffer_lock);
    sem_post(&free_slots);
  }
  return nullptr;
}
}  // namespace

int main() {
  sem_init(&free_slots, 0, 2);
  sem_init(&taken_slots, 0, 0);
  pthread_t producer;
  pthread_t consumer;
  pthread_create(&producer, nullptr, produce, nullptr);
  pthread_create(&consumer, nullptr, consume, nullptr);
  pthread_join(producer, nullptr);
  pthread_join(consumer, nullptr);
  int free_left = 0;
  sem_getvalue(&free_slots, &free_left);
  return received == 4 && free_left == 2 ? 0 : 1;
}
