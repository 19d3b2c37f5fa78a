// SPDX-License-Identifier: MIT
// Condition variables: pthread_cond_wait, _timedwait, _clockwait, _signal, _broadcast, _init
// and _destroy.
//
// A wait is two steps. The first gives up the mutex and registers the thread as a waiter, in
// one step, as the thread library does. The wait then ends in one of three ways: a signal or
// a broadcast wakes it; the chooser gives it a spurious wake-up, which POSIX allows; or, for a
// timed wait, its deadline passes and it times out. The second step takes the mutex back, as
// soon as it is free; the call then returns 0, or ETIMEDOUT after a time-out. A signal wakes
// one waiter: the one the chooser picks, by default the one that has waited longest (POSIX
// names none). A broadcast wakes them all.
//
// Waiting with a mutex one does not hold, waiting on one condition variable with two mutexes
// at once, and destroying a condition variable that threads wait on are undefined: faults.
#include <cerrno>

#include "chooser.h"
#include "happens.h"
#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

Object &cond_of(pthread_cond_t *cond) {
  Object &found = object(cond, kind_cond);
  if (found.fresh != 0) {
    found.fresh = 0;
    // The clock that its deadlines are told on: glibc keeps a monotonic one in bit 1 of
    // __wrefs; CLOCK_REALTIME otherwise, as PTHREAD_COND_INITIALIZER sets it.
    found.clock = (cond->__data.__wrefs & 2U) != 0 ? CLOCK_MONOTONIC : CLOCK_REALTIME;
  }
  return found;
}

Object &held(uintptr_t mutex) {
  return object(reinterpret_cast<const void *>(mutex), kind_mutex);
}

bool waits(Thread &waiting) {
  held(waiting.mutex).owner = -1;
  held(waiting.mutex).count = 0;
  release(held(waiting.mutex).released, waiting);
  waiting.pending = op_relock;
  waiting.order = ++run().order;
  if (waiting.deadline <= run().clock) {  // its deadline has passed already: it times out
    waiting.timed_out = 1;
    return false;
  }
  waiting.waiting = 1;
  return false;
}

bool can_relock(const Thread &woken) {
  return woken.waiting == 0 && held(woken.mutex).owner < 0;
}

bool relocks(Thread &woken) {
  held(woken.mutex).owner = me;
  held(woken.mutex).count = 1;
  acquire(woken, held(woken.mutex).released);
  acquire(woken, object(reinterpret_cast<const void *>(woken.object), kind_cond).released);
  woken.result = woken.timed_out != 0 ? ETIMEDOUT : 0;
  return true;
}

bool signals(Thread &signalling) {
  release(object(reinterpret_cast<const void *>(signalling.object), kind_cond).released,
          signalling);
  const Mask sleepers = waiters(signalling.object);
  Step &step = tables.steps[run().steps - 1];
  step.picks = sleepers;
  if (sleepers == 0) {
    return true;
  }
  const int first = longest_waiting(sleepers);
  const int woken = signalling.pick >= 0 ? signalling.pick : first;
  if ((sleepers >> static_cast<unsigned>(woken) & 1U) == 0) {
    finish(cannot_follow);  // the schedule names a thread that does not wait here
  }
  thread(woken).waiting = 0;
  step.picked = static_cast<int8_t>(woken);
  step.first = static_cast<int8_t>(first);
  step.flags |= woken != first ? step_picked : 0;
  return true;
}

bool broadcasts(Thread &signalling) {
  release(object(reinterpret_cast<const void *>(signalling.object), kind_cond).released,
          signalling);
  const Mask sleepers = waiters(signalling.object);
  for (int i = 0; i < run().threads; ++i) {
    if ((sleepers >> static_cast<unsigned>(i) & 1U) != 0) {
      thread(i).waiting = 0;
    }
  }
  return true;
}

const Register wait_rules(op_wait, {nullptr, waits});
const Register relock_rules(op_relock, {can_relock, relocks});
const Register signal_rules(op_signal, {nullptr, signals});
const Register broadcast_rules(op_broadcast, {nullptr, broadcasts});

int wait(pthread_cond_t *cond, pthread_mutex_t *mutex, int64_t deadline, const void *caller) {
  Object &state = cond_of(cond);
  if (held(reinterpret_cast<uintptr_t>(mutex)).owner != me) {
    fail(wait_not_held, cond, mutex, caller);
  }
  if (waiters(reinterpret_cast<uintptr_t>(cond)) == 0) {
    state.mutex = reinterpret_cast<uintptr_t>(mutex);
  } else if (state.mutex != reinterpret_cast<uintptr_t>(mutex)) {
    fail(wait_two_mutexes, cond, mutex, caller);
  }
  stop_at(op_wait, cond, mutex, caller, deadline);
  return self().result;
}

}  // namespace
}  // namespace lab

using namespace lab;

extern "C" {

int pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex) {
  if (!scheduling()) {
    return real::functions().wait(cond, mutex);
  }
  return wait(cond, mutex, never, __builtin_return_address(0));
}

int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex,
                           const struct timespec *until) {
  if (!scheduling()) {
    return real::functions().timedwait(cond, mutex, until);
  }
  return wait(cond, mutex, clock_deadline(cond_of(cond).clock, until), __builtin_return_address(0));
}

int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock,
                           const struct timespec *until) {
  if (!scheduling()) {
    return real::next<int(pthread_cond_t *, pthread_mutex_t *, clockid_t, const timespec *)>(
        "pthread_cond_clockwait")(cond, mutex, clock, until);
  }
  return wait(cond, mutex, clock_deadline(clock, until), __builtin_return_address(0));
}

int pthread_cond_signal(pthread_cond_t *cond) {
  if (!scheduling()) {
    return real::functions().signal(cond);
  }
  cond_of(cond);
  stop_at(op_signal, cond, nullptr, __builtin_return_address(0));
  return 0;
}

int pthread_cond_broadcast(pthread_cond_t *cond) {
  if (!scheduling()) {
    return real::functions().broadcast(cond);
  }
  cond_of(cond);
  stop_at(op_broadcast, cond, nullptr, __builtin_return_address(0));
  return 0;
}

int pthread_cond_init(pthread_cond_t *cond, const pthread_condattr_t *attributes) {
  const int error = real::next<int(pthread_cond_t *, const pthread_condattr_t *)>(
      "pthread_cond_init", real::cond_version)(cond, attributes);
  if (scheduling()) {
    forget(cond);
  }
  return error;
}

int pthread_cond_destroy(pthread_cond_t *cond) {
  if (scheduling()) {
    if (waiters(reinterpret_cast<uintptr_t>(cond)) != 0) {
      fail(destroy_waited, cond, nullptr, __builtin_return_address(0));
    }
    forget(cond);
  }
  return real::next<int(pthread_cond_t *)>("pthread_cond_destroy", real::cond_version)(cond);
}

}  // extern "C"
