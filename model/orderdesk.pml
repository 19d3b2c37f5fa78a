/* SPDX-License-Identifier: MIT */
/*
 * The order desk's protocol: main, takeOrders and processOrders sharing the ring of four
 * orders, its count, two mutexes and two condition variables. The step numbers are the
 * code's own: put 1-8 and take 1-6 in orderdesk/ring.cpp; the steps of takeOrders,
 * processOrders and main in orderdesk/orderdesk.cpp.
 *
 * The pthread semantics: a lock blocks while the mutex is held. A wait releases the mutex
 * and registers as a waiter in one atomic step, then re-acquires the mutex as a separate,
 * blocking step. A signal wakes at most one waiter and is lost when nobody waits. A wait
 * may also end with nothing behind it, at most SPURIOUS times in a run. The count's ++ and
 * -- are a load and a store.
 *
 * Each MUTANT_ switch (spin -DMUTANT_...) plants one fault; the checks must find it.
 */

#define SLOTS 4
#define ORDERS 10
#ifndef SPURIOUS
#define SPURIOUS 1
#endif
#define item(n) (100 + n) /* the menu item typed for order n */

#define TAKER 1 /* a mutex holds the number of its holder, or 0 */
#define PROCESSOR 2

#ifdef MUTANT_FULL_OFF_BY_ONE
#define RING_FULL (num_new_orders > SLOTS)
#else
#define RING_FULL (num_new_orders == SLOTS)
#endif
#ifdef MUTANT_WRAP_OFF_BY_ONE
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
bool buffer_full;  /* whether its one waiter, the taking thread, waits */
bool buffer_empty; /* whether its one waiter, the processing thread, waits */
byte spurious = SPURIOUS;

/* What the console shows, and how the day ends */
byte confirmed; /* confirmation lines printed */
byte processed; /* processing lines printed */
bool taker_done;
bool processor_done;
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
  lock(data_mutex, TAKER); /* put 1 */
#ifdef MUTANT_IF_PUT
  if /* put 2 */
  :: RING_FULL -> wait(buffer_full, data_mutex, TAKER)
  :: else
  fi;
#else
  do /* put 2 */
  :: RING_FULL -> wait(buffer_full, data_mutex, TAKER)
  :: else -> break
  od;
#endif
  new_orders[write_slot].order_number = order_num; /* put 3 */
  new_orders[write_slot].item_number = item_number;
  write_slot++;
  add_to_count(1); /* put 4 */
#ifndef MUTANT_NO_SIGNAL_EMPTY
  signal(buffer_empty); /* put 5 */
#endif
  unlock(data_mutex, TAKER); /* put 6 */
  order_num++; /* put 7 */
  if /* put 8 */
  :: write_slot == WRAP -> write_slot = 0
  :: else
  fi
}

inline take() {
  lock(data_mutex, PROCESSOR); /* take 1 */
#ifdef MUTANT_IF_TAKE
  if /* take 2 */
  :: num_new_orders == 0 -> wait(buffer_empty, data_mutex, PROCESSOR)
  :: else
  fi;
#else
  do /* take 2 */
  :: num_new_orders == 0 -> wait(buffer_empty, data_mutex, PROCESSOR)
  :: else -> break
  od;
#endif
  order_number = new_orders[read_slot].order_number; /* take 3 */
  item_number = new_orders[read_slot].item_number;
  read_slot++;
#ifndef MUTANT_DECREMENT_AFTER_UNLOCK
  add_to_count(-1); /* take 4 */
#endif
#ifndef MUTANT_NO_SIGNAL_FULL
  signal(buffer_full); /* take 5 */
#endif
#ifdef MUTANT_BOTH_MUTEXES
  lock(console_mutex, PROCESSOR);
#endif
  unlock(data_mutex, PROCESSOR); /* take 6 */
#ifdef MUTANT_DECREMENT_AFTER_UNLOCK
  add_to_count(-1);
#endif
}

proctype takeOrders() {
  byte i, write_slot, item_number, count;
  for (i : 0 .. ORDERS - 1) {
    lock(console_mutex, TAKER); /* 1 */
    skip; /* 2: the prompt */
    item_number = item(i); /* 3: the user's answer */
#ifdef MUTANT_CONFIRM_AFTER_PUT
    unlock(console_mutex, TAKER);
    put();
    confirmed++;
#else
    confirmed++; /* 4: the confirmation */
    unlock(console_mutex, TAKER); /* 5 */
    put(); /* 6 */
#endif
  }
  taker_done = true
}

proctype processOrders() {
  byte i, read_slot, order_number, item_number, count;
  for (i : 0 .. ORDERS - 1) {
    take(); /* 1 */
#ifndef MUTANT_BOTH_MUTEXES
    lock(console_mutex, PROCESSOR); /* 2 */
#endif
    assert(order_number == i && item_number == item(i)); /* 3: the processing line */
    assert(confirmed > order_number);
    processed++;
    unlock(console_mutex, PROCESSOR); /* 4 */
    skip; /* 5: a second's work */
    if /* 6 */
    :: read_slot == SLOTS -> read_slot = 0
    :: else
    fi
  }
  processor_done = true
}

active proctype main() {
  run processOrders(); /* 1 */
  run takeOrders(); /* 2 */
  processor_done; /* 3 */
  taker_done;
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
