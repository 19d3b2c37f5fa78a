// SPDX-License-Identifier: MIT
// The ring of orders between the order-taking and the order-processing thread.
#ifndef ORDERDESK_RING_H
#define ORDERDESK_RING_H

#include <pthread.h>

struct Order {
  int order_number;  // the number the order was confirmed with
  int item_number;   // the menu item as the user typed it; never range-checked
};

constexpr int ring_slots = 4;

// data_mutex guards new_orders and num_new_orders. Whenever it is free, the
// num_new_orders waiting orders (0 to 4) fill the slots from the taker's next
// slot onwards, wrapping from 3 to 0, and the putter's next slot follows them.
// A thread's next slot is its own index modulo 4: indices wrap after the unlock.
extern Order new_orders[ring_slots];
extern int num_new_orders;
extern pthread_mutex_t data_mutex;
extern pthread_cond_t buffer_full;   // the putter waits here while all slots are taken
extern pthread_cond_t buffer_empty;  // the taker waits here while no order waits

// The number the next order receives; touched by the putting thread alone.
extern int order_num;

// Held across each console exchange. No thread holds it together with data_mutex.
extern pthread_mutex_t console_mutex;

// Puts item_number into the ring as order order_num, waiting while the ring is
// full, then moves order_num on and wraps write_slot. One putting thread only.
void putOrder(int &write_slot, int item_number);

// Takes the oldest order out of the ring, waiting while the ring is empty. It
// leaves read_slot advanced but unwrapped: the caller wraps it when it is done
// with the order. One taking thread only.
Order takeOrder(int &read_slot);

#endif
