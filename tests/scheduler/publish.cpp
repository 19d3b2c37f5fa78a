// SPDX-License-Identifier: MIT
// A writer publishes a record under a mutex, and a reader takes it under the same mutex. The
// faulty writer fills the record only after publishing it, outside the mutex, so the reader
// may find it published and empty. The twin fills it first. Built with its loads and stores
// as steps; the status is 1 when the reader saw an empty record.
#include <pthread.h>

namespace {
struct Record {
  int value;
};

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
Record storage;
Record *published = nullptr;
int seen = -1;

void *write_record(void *) {
#ifndef BUG
  storage.value = 42;
#endif
  pthread_mutex_lock(&lock);
  published = &storage;
  pthread_mutex_unlock(&lock);
#ifdef BUG
  storage.value = 42;
#endif
  return nullptr;
}

void *read_record(void *) {
  pthread_mutex_lock(&lock);
  const Record *found = published;
  pthread_mutex_unlock(&lock);
  if (found != nullptr) {
    seen = found->value;
  }
  return nullptr;
}
}  // namespace

int main() {
  pthread_t writer;
  pthread_t reader;
  pthread_create(&writer, nullptr, write_record, nullptr);
  pthread_create(&reader, nullptr, read_record, nullptr);
  pthread_join(writer, nullptr);
  pthread_join(reader, nullptr);
  return seen == 0 ? 1 : 0;
}
