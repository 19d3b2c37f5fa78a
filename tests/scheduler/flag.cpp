// SPDX-License-Identifier: MIT
// A writer raises a flag when its data is ready, and a reader waits for the flag, yielding,
// and then reads the data. The faulty writer raises a plain flag before it writes the data.
// The twin writes the data first and raises an atomic flag with release order, which the
// reader loads with acquire order. Built with its loads and stores as steps; the status is 1
// when the reader read the data before it was written.
#include <pthread.h>
#include <sched.h>

#include <atomic>

namespace {
int data = 0;
#ifdef BUG
bool ready = false;
#else
std::atomic<bool> ready{false};
#endif
int seen = 0;

void *write_data(void *) {
#ifdef BUG
  ready = true;
  data = 42;
#else
  data = 42;
  ready.store(true, std::memory_order_release);
#endif
  return nullptr;
}

void *read_data(void *) {
#ifdef BUG
  while (!ready) {
#else
  while (!ready.load(std::memory_order_acquire)) {
#endif
    sched_yield();
  }
  seen = data;
  return nullptr;
}
}  // namespace

int main() {
  pthread_t writer;
  pthread_t reader;
  pthread_create(&reader, nullptr, read_data, nullptr);
  pthread_create(&writer, nullptr, write_data, nullptr);
  pthread_join(writer, nullptr);
  pthread_join(reader, nullptr);
  return seen == 42 ? 0 : 1;
}
