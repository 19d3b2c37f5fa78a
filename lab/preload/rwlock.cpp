// SPDX-License-Identifier: MIT
// Read-write locks: pthread_rwlock_rdlock, _wrlock, their try, timed and clock forms,
// _unlock, _init and _destroy. A read lock may be taken while no thread holds the write lock,
// by any number of threads and more than once by each (readers go first, as glibc's default
// has it); a write lock while no thread holds it at all. A thread that asks for either while
// it holds the write lock gets EDEADLK, as from glibc; one that asks for the write lock while
// it holds a read lock waits for ever. Unlocking a lock one does not hold, and destroying a
// held one, are undefined: faults.
#include <cerrno>

#include "happens.h"
#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

Object &rwlock_of(const void *rwlock) {
  Object &found = object(rwlock, kind_rwlock);
  if (found.fresh != 0) {
    found.fresh = 0;
    found.owner = -1;
    found.count = 0;
    for (uint8_t &reads : found.reads) {
      reads = 0;
    }
  }
  return found;
}

Object &of(const Thread &locking) {
  return rwlock_of(reinterpret_cast<const void *>(locking.object));
}

bool given_up(const Thread &locking) {
  return locking.timed_out != 0 || locking.deadline <= run().clock;
}

bool readable(const Thread &locking) {
  return of(locking).owner < 0 || given_up(locking);
}

bool writable(const Thread &locking) {
  return (of(locking).owner < 0 && of(locking).count == 0) || given_up(locking);
}

bool reads(Thread &locking) {
  Object &lock = of(locking);
  if (lock.owner >= 0) {
    locking.result = locking.pending == op_tryrdlock ? EBUSY : ETIMEDOUT;
    return true;
  }
  ++lock.count;
  ++lock.reads[me];
  locking.result = 0;
  acquire(locking, lock.released);
  return true;
}

bool writes(Thread &locking) {
  Object &lock = of(locking);
  if (lock.owner >= 0 || lock.count > 0) {
    locking.result = locking.pending == op_trywrlock ? EBUSY : ETIMEDOUT;
    return true;
  }
  lock.owner = me;
  locking.result = 0;
  acquire(locking, lock.released);
  acquire(locking, lock.readers);
  return true;
}

bool unlocks(Thread &unlocking) {
  Object &lock = of(unlocking);
  if (lock.owner == me) {
    lock.owner = -1;
    release(lock.released, unlocking);
  } else {
    --lock.count;
    --lock.reads[me];
    release(lock.readers, unlocking);
  }
  return true;
}

const Register read_rules(op_rdlock, {readable, reads});
const Register write_rules(op_wrlock, {writable, writes});
const Register tryread_rules(op_tryrdlock, {nullptr, reads});
const Register trywrite_rules(op_trywrlock, {nullptr, writes});
const Register unlock_rules(op_rwunlock, {nullptr, unlocks});

// A lock of either kind, tried, timed or neither.
int lock(Op op, pthread_rwlock_t *rwlock, int64_t deadline, const void *caller) {
  const bool tried = op == op_tryrdlock || op == op_trywrlock;
  if (rwlock_of(rwlock).owner == me) {
    return tried ? EBUSY : EDEADLK;
  }
  stop_at(op, rwlock, nullptr, caller, deadline);
  return self().result;
}

template <typename Function>
Function *next(const char *name) {
  return real::next<Function>(name);
}

}  // namespace
}  // namespace lab

using namespace lab;

extern "C" {

int pthread_rwlock_rdlock(pthread_rwlock_t *rwlock) {
  if (!scheduling()) {
    return lab::next<int(pthread_rwlock_t *)>("pthread_rwlock_rdlock")(rwlock);
  }
  return lock(op_rdlock, rwlock, never, __builtin_return_address(0));
}

int pthread_rwlock_tryrdlock(pthread_rwlock_t *rwlock) {
  if (!scheduling()) {
    return lab::next<int(pthread_rwlock_t *)>("pthread_rwlock_tryrdlock")(rwlock);
  }
  return lock(op_tryrdlock, rwlock, never, __builtin_return_address(0));
}

int pthread_rwlock_timedrdlock(pthread_rwlock_t *rwlock, const struct timespec *until) {
  if (!scheduling()) {
    return lab::next<int(pthread_rwlock_t *, const timespec *)>("pthread_rwlock_timedrdlock")(
        rwlock, until);
  }
  return lock(op_rdlock, rwlock, clock_deadline(CLOCK_REALTIME, until),
              __builtin_return_address(0));
}

int pthread_rwlock_clockrdlock(pthread_rwlock_t *rwlock, clockid_t clock,
                               const struct timespec *until) {
  if (!scheduling()) {
    return lab::next<int(pthread_rwlock_t *, clockid_t, const timespec *)>(
        "pthread_rwlock_clockrdlock")(rwlock, clock, until);
  }
  return lock(op_rdlock, rwlock, clock_deadline(clock, until), __builtin_return_address(0));
}

int pthread_rwlock_wrlock(pthread_rwlock_t *rwlock) {
  if (!scheduling()) {
    return lab::next<int(pthread_rwlock_t *)>("pthread_rwlock_wrlock")(rwlock);
  }
  return lock(op_wrlock, rwlock, never, __builtin_return_address(0));
}

int pthread_rwlock_trywrlock(pthread_rwlock_t *rwlock) {
  if (!scheduling()) {
    return lab::next<int(pthread_rwlock_t *)>("pthread_rwlock_trywrlock")(rwlock);
  }
  return lock(op_trywrlock, rwlock, never, __builtin_return_address(0));
}

int pthread_rwlock_timedwrlock(pthread_rwlock_t *rwlock, const struct timespec *until) {
  if (!scheduling()) {
    return lab::next<int(pthread_rwlock_t *, const timespec *)>("pthread_rwlock_timedwrlock")(
        rwlock, until);
  }
  return lock(op_wrlock, rwlock, clock_deadline(CLOCK_REALTIME, until),
              __builtin_return_address(0));
}

int pthread_rwlock_clockwrlock(pthread_rwlock_t *rwlock, clockid_t clock,
                               const struct timespec *until) {
  if (!scheduling()) {
    return lab::next<int(pthread_rwlock_t *, clockid_t, const timespec *)>(
        "pthread_rwlock_clockwrlock")(rwlock, clock, until);
  }
  return lock(op_wrlock, rwlock, clock_deadline(clock, until), __builtin_return_address(0));
}

int pthread_rwlock_unlock(pthread_rwlock_t *rwlock) {
  if (!scheduling()) {
    return lab::next<int(pthread_rwlock_t *)>("pthread_rwlock_unlock")(rwlock);
  }
  const Object &state = rwlock_of(rwlock);
  if (state.owner != me && state.reads[me] == 0) {
    fail(unlock_not_held, rwlock, nullptr, __builtin_return_address(0));
  }
  stop_at(op_rwunlock, rwlock, nullptr, __builtin_return_address(0));
  return 0;
}

int pthread_rwlock_init(pthread_rwlock_t *rwlock, const pthread_rwlockattr_t *attributes) {
  if (scheduling()) {
    forget(rwlock);
  }
  return lab::next<int(pthread_rwlock_t *, const pthread_rwlockattr_t *)>("pthread_rwlock_init")(
      rwlock, attributes);
}

int pthread_rwlock_destroy(pthread_rwlock_t *rwlock) {
  if (scheduling()) {
    const Object &state = rwlock_of(rwlock);
    if (state.owner >= 0 || state.count > 0) {
      fail(destroy_held, rwlock, nullptr, __builtin_return_address(0));
    }
    forget(rwlock);
  }
  return lab::next<int(pthread_rwlock_t *)>("pthread_rwlock_destroy")(rwlock);
}

}  // extern "C"
