/* SPDX-License-Identifier: MIT */
/*
 * The order desk's protocol: main, takeOrders and processOrders sharing the ring of four
 * orders, its count, two mutexes and two condition variables. The step numbers are the
 * code's own: put 1-8 and take 1-6 in orderdesk/ring.cpp; the steps of takeOrders,
 * processOrders and main in orderdesk/orderdesk.cpp; lab/model steps checks that they agree,
 * in number and in kind.
 *
 * The pthread semantics: a lock blocks while the mutex is held. A wait releases the mutex
 * and registers as a waiter in one atomic step, then re-acquires the mutex as a separate,
 * blocking step. A signal wakes at most one waiter and is lost when nobody waits. A wait
 * may also end in a spurious wake-up, one that no signal caused, as POSIX allows a wait to
 * do: at most SPURIOUS times in a run. The count's ++ and -- are a load and a store.
 *
 * Each MUTANT_ switch (spin -DMUTANT_...) plants one fault; the checks must find it. The
 * switch signal_after_unlock sends both signals after the unlock instead; the checks
 * must pass.
 */

#define SLOTS 4
#define ORDERS 10
#ifndef SPURIOUS
#define SPURIOUS 1
#endif
#define item(n) (100 + n) /* the menu item typed for order n */

#define PRODUCER 1 /* takeOrders; a mutex holds the number of its holder, or 0 */
#define CONSUMER 2 /* processOrders */

#ifdef full_off_by_one
#define RING_FULL (num_new_orders > SLOTS)
#else
#define RING_FULL (num_new_orders == SLOTS)
#endif
#ifdef wrap_off_by_one
#define WRAP (SLOTS - 1)
#else
#define WRAP SLOTS
#endif

typedef Order {
  byte order_number;
  byte item_number
};

Order new_orders[SLOTS];
byte num_new_orders; /* a byte: one too many takes show as 255 */
byte order_num;
byte data_mutex;
byte console_mutex;
bool buffer_full;  /* whether its one waiter, the producer, waits */
bool buffer_empty; /* whether its one waiter, the consumer, waits */
byte spurious = SPURIOUS;

/* What the console shows, and how the day ends */
byte confirmed; /* confirmation lines printed */
byte processed; /* processing lines printed */
bool producer_done;
bool consumer_done;
bool farewell;

inline lock(mutex, me) {
  atomic { mutex == 0 -> mutex = me }
}

inline unlock(mutex, me) {
  assert(mutex == me);
  mutex = 0
}

inline signal(cond) {
  cond = false
}

inline wait(cond, mutex, me) {
  atomic { assert(mutex == me); mutex = 0; cond = true };
  if
  :: !cond
  :: atomic { spurious > 0 && cond -> spurious--; cond = false }
  fi;
  lock(mutex, me)
}

inline add_to_count(delta) {
  count = num_new_orders;
  num_new_orders = count + delta
}

inline put() {
  lock(data_mutex, PRODUCER); /* put 1 */
#ifdef if_in_put
  if /* put 2 */
  :: RING_FULL -> wait(buffer_full, data_mutex, PRODUCER)
  :: else
  fi;
#else
  do /* put 2 */
  :: RING_FULL -> wait(buffer_full, data_mutex, PRODUCER)
  :: else -> break
  od;
#endif
  new_orders[write_slot].order_number = order_num; /* put 3 */
  new_orders[write_slot].item_number = item_number;
  write_slot++;
  add_to_count(1); /* put 4 */
#ifndef signal_after_unlock
#ifndef no_signal_after_put
  signal(buffer_empty); /* put 5 */
#endif
#endif
  unlock(data_mutex, PRODUCER); /* put 6 */
#ifdef signal_after_unlock
  signal(buffer_empty);
#endif
  order_num++; /* put 7 */
  if /* put 8 */
  :: write_slot == WRAP -> write_slot = 0
  :: else
  fi
}

inline take() {
  lock(data_mutex, CONSUMER); /* take 1 */
#ifdef if_in_take
  if /* take 2 */
  :: num_new_orders == 0 -> wait(buffer_empty, data_mutex, CONSUMER)
  :: else
  fi;
#else
  do /* take 2 */
  :: num_new_orders == 0 -> wait(buffer_empty, data_mutex, CONSUMER)
  :: else -> break
  od;
#endif
#ifndef copy_after_unlock
  order_number = new_orders[read_slot].order_number; /* take 3 */
  item_number = new_orders[read_slot].item_number;
#endif
  read_slot++;
#ifndef decrement_after_unlock
  add_to_count(-1); /* take 4 */
#endif
#ifndef signal_after_unlock
#ifndef no_signal_after_take
  signal(buffer_full); /* take 5 */
#endif
#endif
#ifdef both_mutexes
  lock(console_mutex, CONSUMER);
#endif
  unlock(data_mutex, CONSUMER); /* take 6 */
#ifdef signal_after_unlock
  signal(buffer_full);
#endif
#ifdef copy_after_unlock
  order_number = new_orders[read_slot - 1].order_number;
  item_number = new_orders[read_slot - 1].item_number;
#endif
#ifdef decrement_after_unlock
  add_to_count(-1);
#endif
}

proctype takeOrders() {
  byte i, write_slot, item_number, count;
  for (i : 0 .. ORDERS - 1) {
    lock(console_mutex, PRODUCER); /* 1 */
    skip; /* 2: the prompt */
    item_number = item(i); /* 3: the user's answer */
#ifdef confirmation_after_put
    unlock(console_mutex, PRODUCER);
    put();
    confirmed++;
#else
    confirmed++; /* 4: the confirmation */
    unlock(console_mutex, PRODUCER); /* 5 */
    put(); /* 6 */
#endif
  }
  producer_done = true
}

proctype processOrders() {
  byte i, read_slot, order_number, item_number, count;
  for (i : 0 .. ORDERS - 1) {
    take(); /* 1 */
#ifndef both_mutexes
    lock(console_mutex, CONSUMER); /* 2 */
#endif
    assert(order_number == i && item_number == item(i));
    assert(confirmed > order_number);
    processed++; /* 3: the processing line, of the order checked above */
    unlock(console_mutex, CONSUMER); /* 4 */
    skip; /* 5: a second's work */
    if /* 6 */
    :: read_slot == SLOTS -> read_slot = 0
    :: else
    fi
  }
  consumer_done = true
}

active proctype main() {
  run processOrders(); /* 1 */
  run takeOrders(); /* 2 */
  consumer_done; /* 3 */
  producer_done;
  assert(processed == ORDERS && confirmed == ORDERS);
  farewell = true /* 4 */
  /* 5: the main thread ends, and with it the process */
}

/* Checked in every state that the threads can reach */
active proctype invariants() {
  assert(num_new_orders <= SLOTS);
  assert(data_mutex == 0 || data_mutex != console_mutex)
}

ltl day_ends { <>(processed == ORDERS && farewell) }
