// SPDX-License-Identifier: MIT
// Happens-before between the threads of a run, as vector clocks (as FastTrack keeps them):
// each thread's clock says how far along every thread it has seen. A thread that releases an
// object (unlocks a mutex, posts a semaphore, signals, ends) leaves what it has seen in the
// object's clock and moves its own count on; a thread that then acquires the object (locks
// the mutex, takes from the semaphore, is woken, joins) sees all of that. Two accesses to
// memory of which neither has seen the other race (memory.cpp).
#ifndef LAB_PRELOAD_HAPPENS_H
#define LAB_PRELOAD_HAPPENS_H

#include "runtime.h"

namespace lab {

inline void see(Clock &into, const Clock &from) {
  for (int i = 0; i < run().threads; ++i) {
    into[i] = from[i] > into[i] ? from[i] : into[i];
  }
}

// The thread leaves what it has seen in the object's clock, and moves on.
inline void release(Clock &object, Thread &releasing) {
  see(object, releasing.clock);
  const int id = static_cast<int>(&releasing - &thread(0));
  ++releasing.clock[id];
}

// The thread sees what the object's clock holds.
inline void acquire(Thread &acquiring, const Clock &object) {
  see(acquiring.clock, object);
}

}  // namespace lab

#endif
