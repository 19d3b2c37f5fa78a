// SPDX-License-Identifier: MIT
// Mutexes, as POSIX has them: pthread_mutex_lock, _trylock, _timedlock, _clocklock, _unlock,
// _init and _destroy, of each type. A lock may be made while no thread holds the mutex; a
// timed lock may also give up once its deadline has passed. A normal mutex locked again by
// its owner never comes free (a deadlock, said as one); an error-checking one returns
// EDEADLK; a recursive one counts. Unlocking a mutex one does not hold is EPERM for the
// error-checking and recursive types, and undefined for a normal mutex: a fault. Destroying a
// held mutex is undefined: a fault.
//
// The scheduler keeps each mutex's owner itself: the program's mutex is never locked for
// real, so it is never contended. Its type is read from the program's mutex, which glibc
// keeps in the mutex itself.
#include <cerrno>

#include "happens.h"
#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

Object &mutex_of(pthread_mutex_t *mutex) {
  Object &found = object(mutex, kind_mutex);
  if (found.fresh != 0) {
    found.fresh = 0;
    found.owner = -1;
    found.count = 0;
    const int type = mutex->__data.__kind & 3;  // glibc's kind mask; 3 is adaptive, a normal one
    found.type = static_cast<uint8_t>(type == 3 ? PTHREAD_MUTEX_NORMAL : type);
  }
  return found;
}

bool lockable(const Thread &locking) {
  const Object &mutex = object(reinterpret_cast<const void *>(locking.object), kind_mutex);
  return mutex.owner < 0 || locking.timed_out != 0 || locking.deadline <= run().clock;
}

bool locks(Thread &locking) {
  Object &mutex = object(reinterpret_cast<const void *>(locking.object), kind_mutex);
  if (mutex.owner >= 0) {
    locking.result = ETIMEDOUT;
    return true;
  }
  mutex.owner = me;
  mutex.count = 1;
  locking.result = 0;
  acquire(locking, mutex.released);
  return true;
}

bool tries(Thread &locking) {
  Object &mutex = object(reinterpret_cast<const void *>(locking.object), kind_mutex);
  locking.result = mutex.owner < 0 ? 0 : EBUSY;
  if (mutex.owner < 0) {
    mutex.owner = me;
    mutex.count = 1;
    acquire(locking, mutex.released);
  }
  return true;
}

bool unlocks(Thread &unlocking) {
  Object &mutex = object(reinterpret_cast<const void *>(unlocking.object), kind_mutex);
  mutex.owner = -1;
  mutex.count = 0;
  release(mutex.released, unlocking);
  return true;
}

const Register lock_rules(op_lock, {lockable, locks});
const Register trylock_rules(op_trylock, {nullptr, tries});
const Register unlock_rules(op_unlock, {nullptr, unlocks});

// What a lock by the mutex's own owner does: -1 when it is no such lock.
int relocked(Object &mutex, bool tried) {
  if (mutex.owner != me) {
    return -1;
  }
  if (mutex.type == PTHREAD_MUTEX_RECURSIVE) {
    ++mutex.count;
    return 0;
  }
  if (mutex.type == PTHREAD_MUTEX_ERRORCHECK && !tried) {
    return EDEADLK;
  }
  return tried ? EBUSY : -1;  // a normal mutex: the lock waits for ever, a step like any other
}

int lock(pthread_mutex_t *mutex, int64_t deadline, const void *caller) {
  const int again = relocked(mutex_of(mutex), false);
  if (again >= 0) {
    return again;
  }
  stop_at(op_lock, mutex, nullptr, caller, deadline);
  return self().result;
}

}  // namespace
}  // namespace lab

using namespace lab;

extern "C" {

int pthread_mutex_lock(pthread_mutex_t *mutex) {
  if (!scheduling()) {
    return real::functions().lock(mutex);
  }
  return lock(mutex, never, __builtin_return_address(0));
}

int pthread_mutex_timedlock(pthread_mutex_t *mutex, const struct timespec *until) {
  if (!scheduling()) {
    return real::next<int(pthread_mutex_t *, const timespec *)>("pthread_mutex_timedlock")(mutex,
                                                                                           until);
  }
  return lock(mutex, clock_deadline(CLOCK_REALTIME, until), __builtin_return_address(0));
}

int pthread_mutex_clocklock(pthread_mutex_t *mutex, clockid_t clock, const struct timespec *until) {
  if (!scheduling()) {
    return real::next<int(pthread_mutex_t *, clockid_t, const timespec *)>(
        "pthread_mutex_clocklock")(mutex, clock, until);
  }
  return lock(mutex, clock_deadline(clock, until), __builtin_return_address(0));
}

int pthread_mutex_trylock(pthread_mutex_t *mutex) {
  if (!scheduling()) {
    return real::functions().trylock(mutex);
  }
  const int again = relocked(mutex_of(mutex), true);
  if (again >= 0) {
    return again;
  }
  stop_at(op_trylock, mutex, nullptr, __builtin_return_address(0));
  return self().result;
}

int pthread_mutex_unlock(pthread_mutex_t *mutex) {
  if (!scheduling()) {
    return real::functions().unlock(mutex);
  }
  Object &state = mutex_of(mutex);
  if (state.owner != me) {
    if (state.type != PTHREAD_MUTEX_NORMAL) {
      return EPERM;
    }
    fail(unlock_not_held, mutex, nullptr, __builtin_return_address(0));
  }
  if (state.count > 1) {  // a recursive mutex, locked more than once
    --state.count;
    return 0;
  }
  stop_at(op_unlock, mutex, nullptr, __builtin_return_address(0));
  return 0;
}

int pthread_mutex_init(pthread_mutex_t *mutex, const pthread_mutexattr_t *attributes) {
  const int error = real::next<int(pthread_mutex_t *, const pthread_mutexattr_t *)>(
      "pthread_mutex_init")(mutex, attributes);
  if (scheduling()) {
    forget(mutex);
  }
  return error;
}

int pthread_mutex_destroy(pthread_mutex_t *mutex) {
  if (scheduling()) {
    if (mutex_of(mutex).owner >= 0) {
      fail(destroy_held, mutex, nullptr, __builtin_return_address(0));
    }
    forget(mutex);
  }
  return real::next<int(pthread_mutex_t *)>("pthread_mutex_destroy")(mutex);
}

}  // extern "C"
