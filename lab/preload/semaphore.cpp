// SPDX-License-Identifier: MIT
// POSIX semaphores: sem_wait, _trywait, _timedwait, _clockwait, sem_post, _getvalue, _init
// and _destroy, named or not. A wait may be made while the value is above zero, and takes one
// from it; a timed wait may also give up once its deadline has passed. A post adds one.
// The scheduler keeps each semaphore's value itself, read from the program's semaphore when
// it first sees one that was set up before.
//
// The scheduler's own threads never use these calls: they hand the turn over through futex
// words (runtime.cpp).
#include <semaphore.h>

#include <cerrno>

#include "happens.h"
#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

Object &semaphore_of(sem_t *semaphore) {
  Object &found = object(semaphore, kind_semaphore);
  if (found.fresh != 0) {
    found.fresh = 0;
    int value = 0;
    real::next<int(sem_t *, int *)>("sem_getvalue")(semaphore, &value);
    found.count = value;
  }
  return found;
}

Object &of(const Thread &waiting) {
  return semaphore_of(reinterpret_cast<sem_t *>(waiting.object));
}

bool can_take(const Thread &waiting) {
  return of(waiting).count > 0 || waiting.timed_out != 0 || waiting.deadline <= run().clock;
}

bool takes(Thread &waiting) {
  Object &semaphore = of(waiting);
  if (semaphore.count == 0) {
    waiting.result = waiting.pending == op_semtrywait ? EAGAIN : ETIMEDOUT;
    return true;
  }
  --semaphore.count;
  waiting.result = 0;
  acquire(waiting, semaphore.released);
  return true;
}

bool posts(Thread &posting) {
  ++of(posting).count;
  release(of(posting).released, posting);
  return true;
}

const Register wait_rules(op_semwait, {can_take, takes});
const Register trywait_rules(op_semtrywait, {nullptr, takes});
const Register post_rules(op_sempost, {nullptr, posts});

// A wait, tried, timed or neither: 0, or -1 with errno set as the call sets it.
int wait(Op op, sem_t *semaphore, int64_t deadline, const void *caller) {
  semaphore_of(semaphore);
  stop_at(op, semaphore, nullptr, caller, deadline);
  if (self().result != 0) {
    errno = self().result;
    return -1;
  }
  return 0;
}

}  // namespace
}  // namespace lab

using namespace lab;

extern "C" {

int sem_wait(sem_t *semaphore) {
  if (!scheduling()) {
    return real::next<int(sem_t *)>("sem_wait")(semaphore);
  }
  return wait(op_semwait, semaphore, never, __builtin_return_address(0));
}

int sem_trywait(sem_t *semaphore) {
  if (!scheduling()) {
    return real::next<int(sem_t *)>("sem_trywait")(semaphore);
  }
  return wait(op_semtrywait, semaphore, never, __builtin_return_address(0));
}

int sem_timedwait(sem_t *semaphore, const struct timespec *until) {
  if (!scheduling()) {
    return real::next<int(sem_t *, const timespec *)>("sem_timedwait")(semaphore, until);
  }
  return wait(op_semwait, semaphore, clock_deadline(CLOCK_REALTIME, until),
              __builtin_return_address(0));
}

int sem_clockwait(sem_t *semaphore, clockid_t clock, const struct timespec *until) {
  if (!scheduling()) {
    return real::next<int(sem_t *, clockid_t, const timespec *)>("sem_clockwait")(semaphore, clock,
                                                                                  until);
  }
  return wait(op_semwait, semaphore, clock_deadline(clock, until), __builtin_return_address(0));
}

int sem_post(sem_t *semaphore) {
  if (!scheduling()) {
    return real::next<int(sem_t *)>("sem_post")(semaphore);
  }
  semaphore_of(semaphore);
  stop_at(op_sempost, semaphore, nullptr, __builtin_return_address(0));
  return 0;
}

int sem_getvalue(sem_t *semaphore, int *value) {
  if (!scheduling()) {
    return real::next<int(sem_t *, int *)>("sem_getvalue")(semaphore, value);
  }
  *value = semaphore_of(semaphore).count;
  return 0;
}

int sem_init(sem_t *semaphore, int shared, unsigned int value) {
  const int done =
      real::next<int(sem_t *, int, unsigned int)>("sem_init")(semaphore, shared, value);
  if (scheduling()) {
    forget(semaphore);
  }
  return done;
}

int sem_destroy(sem_t *semaphore) {
  if (scheduling()) {
    forget(semaphore);
  }
  return real::next<int(sem_t *)>("sem_destroy")(semaphore);
}

}  // extern "C"
