// SPDX-License-Identifier: MIT
// Barriers: pthread_barrier_wait, _init and _destroy. A thread's wait is two steps: it
// arrives, and it leaves once as many threads as the barrier's count have arrived in its
// round. The last to arrive goes on at once, with PTHREAD_BARRIER_SERIAL_THREAD; the others
// leave with 0. Destroying a barrier that threads wait at is undefined: a fault.
#include <cerrno>

#include "happens.h"
#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

Object &barrier_of(pthread_barrier_t *barrier) {
  Object &found = object(barrier, kind_barrier);
  if (found.fresh != 0) {
    found.fresh = 0;
    found.count = 0;
    found.round = 0;
    // The count it was set up with, where glibc keeps it: the third word of the barrier.
    found.limit = static_cast<int32_t>(reinterpret_cast<const unsigned int *>(barrier)[2]);
  }
  return found;
}

Object &of(const Thread &waiting) {
  return barrier_of(reinterpret_cast<pthread_barrier_t *>(waiting.object));
}

bool arrives(Thread &arriving) {
  Object &barrier = of(arriving);
  release(barrier.released, arriving);
  if (++barrier.count < barrier.limit) {
    arriving.ticket = barrier.round;
    arriving.pending = op_leave;
    arriving.result = 0;
    return false;
  }
  barrier.count = 0;
  ++barrier.round;
  arriving.result = PTHREAD_BARRIER_SERIAL_THREAD;
  acquire(arriving, barrier.released);
  return true;
}

bool can_leave(const Thread &waiting) {
  return of(waiting).round != waiting.ticket;
}

const Register arrive_rules(op_barrier, {nullptr, arrives});
bool leaves(Thread &leaving) {
  acquire(leaving, of(leaving).released);
  return true;
}

const Register leave_rules(op_leave, {can_leave, leaves});

}  // namespace
}  // namespace lab

using namespace lab;

extern "C" {

int pthread_barrier_wait(pthread_barrier_t *barrier) {
  if (!scheduling()) {
    return real::next<int(pthread_barrier_t *)>("pthread_barrier_wait")(barrier);
  }
  barrier_of(barrier);
  stop_at(op_barrier, barrier, nullptr, __builtin_return_address(0));
  return self().result;
}

int pthread_barrier_init(pthread_barrier_t *barrier, const pthread_barrierattr_t *attributes,
                         unsigned int count) {
  const int error =
      real::next<int(pthread_barrier_t *, const pthread_barrierattr_t *, unsigned int)>(
          "pthread_barrier_init")(barrier, attributes, count);
  if (scheduling() && error == 0) {
    forget(barrier);
    barrier_of(barrier).limit = static_cast<int32_t>(count);
  }
  return error;
}

int pthread_barrier_destroy(pthread_barrier_t *barrier) {
  if (scheduling()) {
    if (barrier_of(barrier).count > 0) {
      fail(destroy_waited, barrier, nullptr, __builtin_return_address(0));
    }
    forget(barrier);
  }
  return real::next<int(pthread_barrier_t *)>("pthread_barrier_destroy")(barrier);
}

}  // extern "C"
