// SPDX-License-Identifier: MIT
#include "ring.h"

Order new_orders[ring_slots];
int num_new_orders = 0;
int order_num = 0;
pthread_mutex_t data_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t console_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t buffer_full = PTHREAD_COND_INITIALIZER;
pthread_cond_t buffer_empty = PTHREAD_COND_INITIALIZER;

// Each wait is a loop that tests its condition again under data_mutex every time it
// returns. POSIX lets a wait return with no signal sent (a spurious wake-up), and with one
// producer and one consumer that is what the loop guards against. With a second thread on
// either side it would also guard against a stolen wake-up: that thread takes the order,
// or the room, before the woken one gets the mutex back.
//
// Each signal goes out while data_mutex is still held. In this ring that is a choice, not
// a need: each condition variable has one waiter and lives as long as the program, and
// the woken thread's loop finds whatever count it meets when it gets the mutex back. A
// signal sent just after the unlock would be as correct here.

void ringPut(int &write_slot, int item_number) {
  pthread_mutex_lock(&data_mutex);        // 1
  while (num_new_orders == ring_slots) {  // 2
    pthread_cond_wait(&buffer_full, &data_mutex);
  }
  new_orders[write_slot++] = Order{order_num, item_number};  // 3
  ++num_new_orders;                                          // 4
  pthread_cond_signal(&buffer_empty);                        // 5
  pthread_mutex_unlock(&data_mutex);                         // 6
  ++order_num;                                               // 7
  if (write_slot == ring_slots) {                            // 8
    write_slot = 0;
  }
}

Order ringTake(int &read_slot) {
  pthread_mutex_lock(&data_mutex);  // 1
  while (num_new_orders == 0) {     // 2
    pthread_cond_wait(&buffer_empty, &data_mutex);
  }
  // Copied under the mutex: once it is free, the producer may write this slot again.
  const Order order = new_orders[read_slot++];  // 3
  --num_new_orders;                             // 4
  pthread_cond_signal(&buffer_full);            // 5
  pthread_mutex_unlock(&data_mutex);            // 6
  return order;
}
