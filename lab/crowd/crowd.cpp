// SPDX-License-Identifier: MIT
// A crowd at one ring: two producers and two consumers share a ring, its two indices and its
// count, under one mutex, with one condition variable for each condition. Each producer puts
// one item, each consumer takes one; each item is a number (1 or 2) that says who put it.
// Whoever comes to the ring may find another thread of its own side there before it: so each
// wait is a loop, which tests its condition again when the wait returns, and each side waits
// on a condition variable of its own, so that a signal wakes a thread that can use it.
//
// The ring has one slot, so that what goes wrong shows within a few steps; give it more
// slots and items, and watch the number of schedules grow.
//
// The program checks itself: the count stays within 0 and the slots, and each item is taken
// exactly once. It prints what it found, and ends with status 0, or 1 when something broke.
#include <pthread.h>

#include <cstdio>

namespace {
constexpr int slots = 1;
constexpr int items_each = 1;

pthread_mutex_t ring_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t not_full = PTHREAD_COND_INITIALIZER;   // producers wait here for room
pthread_cond_t not_empty = PTHREAD_COND_INITIALIZER;  // consumers wait here for an item
int ring[slots];
int put_at = 0;                 // the slot the next put fills: shared by both producers
int take_at = 0;                // the slot the next take empties: shared by both consumers
int count = 0;                  // items in the ring, 0 to slots
int taken[2 * items_each + 1];  // how often each item was taken
bool broken = false;

void put(int item) {
  pthread_mutex_lock(&ring_mutex);  // 1
  while (count == slots) {          // 2
    pthread_cond_wait(&not_full, &ring_mutex);
  }
  ring[put_at] = item;                // 3
  put_at = (put_at + 1) % slots;      // 3
  ++count;                            // 4
  broken |= count > slots;            // 4
  pthread_cond_signal(&not_empty);    // 5
  pthread_mutex_unlock(&ring_mutex);  // 6
}

int take() {
  pthread_mutex_lock(&ring_mutex);  // 1
  while (count == 0) {              // 2
    pthread_cond_wait(&not_empty, &ring_mutex);
  }
  const int item = ring[take_at];     // 3
  take_at = (take_at + 1) % slots;    // 3
  --count;                            // 4
  broken |= count < 0;                // 4
  pthread_cond_signal(&not_full);     // 5
  pthread_mutex_unlock(&ring_mutex);  // 6
  return item;
}

void *produce(void *argument) {
  const int first = *static_cast<int *>(argument);
  for (int item = first; item < first + items_each; ++item) {
    put(item);
  }
  return nullptr;
}

void *consume(void *) {
  for (int i = 0; i < items_each; ++i) {
    const int item = take();
    if (item >= 1 && item <= 2 * items_each) {
      ++taken[item];
    } else {
      broken = true;
    }
  }
  return nullptr;
}
}  // namespace

int main() {
  static int firsts[2] = {1, 1 + items_each};
  pthread_t threads[4];
  pthread_create(&threads[0], nullptr, consume, nullptr);
  pthread_create(&threads[1], nullptr, consume, nullptr);
  pthread_create(&threads[2], nullptr, produce, &firsts[0]);
  pthread_create(&threads[3], nullptr, produce, &firsts[1]);
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  int once = 0;
  for (int item = 1; item <= 2 * items_each; ++item) {
    once += taken[item] == 1 ? 1 : 0;
  }
  if (broken || once != 2 * items_each) {
    std::printf("broken: %d of %d items taken exactly once, the count %s\n", once, 2 * items_each,
                broken ? "left its bounds" : "stayed within its bounds");
    return 1;
  }
  std::printf("all %d items put and taken exactly once\n", 2 * items_each);
  return 0;
}
