// SPDX-License-Identifier: MIT
// Two readers and a writer on a read-write lock: each reader sees the table before the write
// or after it, never halfway, and the writer finds no reader inside. The status says what
// came out wrong.
#include <pthread.h>
#include <unistd.h>

namespace {
pthread_rwlock_t table_lock = PTHREAD_RWLOCK_INITIALIZER;
int table = 0;
int readers = 0;
int wrong = 0;

void *reader(void *) {
  pthread_rwlock_rdlock(&table_lock);
  __atomic_add_fetch(&readers, 1, __ATOMIC_RELAXED);
  usleep(1);  // a step while it reads: the other reader, never the writer, may come in
  wrong |= table == 0 || table == 42 ? 0 : 1;
  __atomic_sub_fetch(&readers, 1, __ATOMIC_RELAXED);
  pthread_rwlock_unlock(&table_lock);
  return nullptr;
}

void *writer(void *) {
  pthread_rwlock_wrlock(&table_lock);
  wrong |= readers != 0 ? 2 : 0;
  table = 41;
  usleep(1);
  table = table + 1;
  pthread_rwlock_unlock(&table_lock);
  return nullptr;
}
}  // namespace

int main() {
  pthread_t threads[3];
  pthread_create(&threads[0], nullptr, reader, nullptr);
  pthread_create(&threads[1], nullptr, writer, nullptr);
  pthread_create(&threads[2], nullptr, reader, nullptr);
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  return wrong;
}
