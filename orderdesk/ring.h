// SPDX-License-Identifier: MIT
// The ring of orders between the order desk's two threads. Their roles, in one word each:
// the producer is takeOrders, which takes orders from the customer at the console and puts
// each into the ring with ringPut; the consumer is processOrders, which takes them out of
// the ring with ringTake and processes them.
#ifndef ORDERDESK_RING_H
#define ORDERDESK_RING_H

#include <pthread.h>

struct Order {
  int order_number;  // the number the order was confirmed with
  int item_number;   // the menu item as the user typed it; never range-checked
};

constexpr int ring_slots = 4;

// data_mutex guards new_orders and num_new_orders. Whenever it is free, the
// num_new_orders waiting orders (0 to 4) fill the slots from the consumer's next
// slot onwards, wrapping from 3 to 0, and the producer's next slot follows them.
// A thread's next slot is its own index modulo 4: indices wrap after the unlock.
extern Order new_orders[ring_slots];
extern int num_new_orders;
extern pthread_mutex_t data_mutex;
// Two condition variables, one for each condition and each with one thread that waits on
// it, so that a signal always wakes the one thread that can use it. Each is named for the
// state its waiter waits out, and is signalled by the other thread when that state ends.
extern pthread_cond_t buffer_full;   // the producer waits here while all slots are taken
extern pthread_cond_t buffer_empty;  // the consumer waits here while no order waits

// The number the next order receives; touched by the producer alone.
extern int order_num;

// Held across each console exchange. No thread holds it together with data_mutex: each
// thread lets go of one before it locks the other, so neither can ever hold one mutex
// while it waits for the other, and the two threads cannot deadlock.
extern pthread_mutex_t console_mutex;

// Puts item_number into the ring as order order_num, waiting while the ring is
// full, then moves order_num on and wraps write_slot. Run by the producer only.
void ringPut(int &write_slot, int item_number);

// Takes the oldest order out of the ring, waiting while the ring is empty. It
// leaves read_slot advanced but unwrapped: the caller wraps it when it is done
// with the order. Run by the consumer only.
Order ringTake(int &read_slot);

#endif
