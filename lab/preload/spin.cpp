// SPDX-License-Identifier: MIT
// Spin locks: pthread_spin_lock, _trylock, _unlock, _init and _destroy. The scheduler makes a
// thread that would spin wait instead: a lock may be taken while no thread holds it, which is
// all that spinning comes to when one thread runs at a time. A thread that locks a spin lock
// it holds waits for ever (a deadlock); unlocking one that one does not hold, or destroying a
// held one, is undefined: a fault.
#include <cerrno>

#include "happens.h"
#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

// pthread_spinlock_t is a volatile int: its address, as the scheduler's tables key it.
const void *key(pthread_spinlock_t *lock) {
  return const_cast<int *>(lock);
}

Object &spin_of(const void *lock) {
  Object &found = object(lock, kind_spin);
  if (found.fresh != 0) {
    found.fresh = 0;
    found.owner = -1;
  }
  return found;
}

bool lockable(const Thread &locking) {
  return spin_of(reinterpret_cast<const void *>(locking.object)).owner < 0;
}

bool locks(Thread &locking) {
  Object &lock = spin_of(reinterpret_cast<const void *>(locking.object));
  locking.result = lock.owner < 0 ? 0 : EBUSY;
  if (lock.owner < 0) {
    lock.owner = me;
    acquire(locking, lock.released);
  }
  return true;
}

bool unlocks(Thread &unlocking) {
  Object &lock = spin_of(reinterpret_cast<const void *>(unlocking.object));
  lock.owner = -1;
  release(lock.released, unlocking);
  return true;
}

const Register lock_rules(op_spinlock, {lockable, locks});
const Register trylock_rules(op_spintrylock, {nullptr, locks});
const Register unlock_rules(op_spinunlock, {nullptr, unlocks});

}  // namespace
}  // namespace lab

using namespace lab;

extern "C" {

int pthread_spin_lock(pthread_spinlock_t *lock) {
  if (!scheduling()) {
    return real::next<int(pthread_spinlock_t *)>("pthread_spin_lock")(lock);
  }
  spin_of(key(lock));
  stop_at(op_spinlock, key(lock), nullptr, __builtin_return_address(0));
  return self().result;
}

int pthread_spin_trylock(pthread_spinlock_t *lock) {
  if (!scheduling()) {
    return real::next<int(pthread_spinlock_t *)>("pthread_spin_trylock")(lock);
  }
  spin_of(key(lock));
  stop_at(op_spintrylock, key(lock), nullptr, __builtin_return_address(0));
  return self().result;
}

int pthread_spin_unlock(pthread_spinlock_t *lock) {
  if (!scheduling()) {
    return real::next<int(pthread_spinlock_t *)>("pthread_spin_unlock")(lock);
  }
  if (spin_of(key(lock)).owner != me) {
    fail(unlock_not_held, key(lock), nullptr, __builtin_return_address(0));
  }
  stop_at(op_spinunlock, key(lock), nullptr, __builtin_return_address(0));
  return 0;
}

int pthread_spin_init(pthread_spinlock_t *lock, int shared) {
  if (scheduling()) {
    forget(key(lock));
  }
  return real::next<int(pthread_spinlock_t *, int)>("pthread_spin_init")(lock, shared);
}

int pthread_spin_destroy(pthread_spinlock_t *lock) {
  if (scheduling()) {
    if (spin_of(key(lock)).owner >= 0) {
      fail(destroy_held, key(lock), nullptr, __builtin_return_address(0));
    }
    forget(key(lock));
  }
  return real::next<int(pthread_spinlock_t *)>("pthread_spin_destroy")(lock);
}

}  // extern "C"
