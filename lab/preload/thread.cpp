// SPDX-License-Identifier: MIT
// Threads: pthread_create, _join (and its try and timed forms), _exit, sched_yield, and the
// process's end by exit; pthread_cancel and fork are refused.
//
// A new thread starts through a trampoline that takes its place in the table and waits for
// its first turn. A join may be made once the joined thread has ended. A yield is a step
// after which the thread lets every other thread that could move make a step first
// (chooser.h). The process ends when main returns, when a thread calls exit, or when its last
// thread ends.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "happens.h"
#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

uint32_t registered = 0;  // a futex word: the new thread has taken its place in the table

[[noreturn]] void end_thread(void *result, const void *caller) {
  stop_at(op_exit, nullptr, nullptr, caller);
  real::functions().exit(result);
  __builtin_unreachable();
}

void *trampoline(void *slot) {
  me = static_cast<int>(reinterpret_cast<intptr_t>(slot));
  Thread &started = self();
  started.tid = static_cast<int32_t>(syscall(SYS_gettid));
  set_stack(started);
  post(registered);
  await(started.turn);
  started.pending = op_none;  // its start, chosen
  auto *function = reinterpret_cast<void *(*)(void *)>(started.start);
  end_thread(function(reinterpret_cast<void *>(started.argument)), nullptr);  // it returned
}

bool joinable(const Thread &joining) {
  return thread(joining.target).ended != 0 || joining.timed_out != 0 ||
         joining.deadline <= run().clock;
}

bool exits(Thread &leaving) {
  leaving.ended = 1;
  leaving.pending = op_none;
  return false;
}

bool joins(Thread &joining) {
  const Thread &joined = thread(joining.target);
  joining.result = joined.ended != 0 ? 0 : ETIMEDOUT;
  if (joined.ended != 0) {
    acquire(joining, joined.clock);
  }
  return true;
}

const Register join_rules(op_join, {joinable, joins});
const Register exit_rules(op_exit, {nullptr, exits});

// A join of a thread of the run, timed or not (a try is a join whose deadline has passed):
// 0 once the thread has ended, else ETIMEDOUT; -1 for a thread that is not the run's.
int join(pthread_t handle, int64_t deadline, const void *caller) {
  const int target = thread_of(handle);
  if (target < 0) {
    return -1;
  }
  if (target == me) {
    fail(join_self, nullptr, nullptr, caller);
  }
  self().target = target;
  stop_at(op_join, reinterpret_cast<const void *>(static_cast<uintptr_t>(target)), nullptr, caller,
          deadline);
  return self().result;
}

}  // namespace
}  // namespace lab

using namespace lab;

extern "C" {

int pthread_create(pthread_t *handle, const pthread_attr_t *attributes, void *(*start)(void *),
                   void *argument) {
  if (!scheduling()) {
    return real::functions().create(handle, attributes, start, argument);
  }
  const void *caller = __builtin_return_address(0);
  stop_at(op_create, reinterpret_cast<const void *>(start), nullptr, caller);
  if (run().threads == max_threads) {
    refuse(too_many_threads, caller);
  }
  const int id = run().threads;
  Thread &created = thread(id);
  created = Thread{};
  created.used = 1;
  created.pending = op_start;
  created.deadline = never;
  created.start = reinterpret_cast<uintptr_t>(start);
  created.object = reinterpret_cast<uintptr_t>(start);
  created.argument = reinterpret_cast<uintptr_t>(argument);
  created.caller = reinterpret_cast<uintptr_t>(start);
  run().threads = id + 1;
  // It has seen what its creator has, and its creator moves on (happens.h).
  memcpy(created.clock, self().clock, sizeof created.clock);
  created.clock[id] = 1;
  ++self().clock[me];
  const int error = real::functions().create(handle, attributes, trampoline,
                                             reinterpret_cast<void *>(static_cast<intptr_t>(id)));
  if (error != 0) {
    refuse(thread_refused, caller);  // the system's limit, not the program's doing
  }
  await(registered);
  created.handle = *handle;
  return 0;
}

// A joined thread has ended: the real join collects its result.
int pthread_join(pthread_t handle, void **result) {
  const int error = scheduling() ? join(handle, never, __builtin_return_address(0)) : -1;
  return error > 0 ? error : real::functions().join(handle, result);
}

int pthread_tryjoin_np(pthread_t handle, void **result) {
  const int error = scheduling() ? join(handle, run().clock, __builtin_return_address(0)) : -1;
  if (error > 0) {
    return EBUSY;
  }
  return error == 0 ? real::functions().join(handle, result)
                    : real::next<int(pthread_t, void **)>("pthread_tryjoin_np")(handle, result);
}

int pthread_clockjoin_np(pthread_t handle, void **result, clockid_t clock,
                         const struct timespec *until) {
  const int error =
      scheduling() ? join(handle, clock_deadline(clock, until), __builtin_return_address(0)) : -1;
  if (error >= 0) {
    return error > 0 ? error : real::functions().join(handle, result);
  }
  return real::next<int(pthread_t, void **, clockid_t, const timespec *)>("pthread_clockjoin_np")(
      handle, result, clock, until);
}

int pthread_timedjoin_np(pthread_t handle, void **result, const struct timespec *until) {
  return pthread_clockjoin_np(handle, result, CLOCK_REALTIME, until);
}

void pthread_exit(void *result) {
  if (scheduling()) {
    end_thread(result, __builtin_return_address(0));
  }
  real::functions().exit(result);
  __builtin_unreachable();
}

int sched_yield() {
  if (!scheduling()) {
    return real::next<int()>("sched_yield")();
  }
  stop_at(op_yield, nullptr, nullptr, __builtin_return_address(0));
  return 0;
}

// The process ends: a step, as main's return is.
void exit(int status) {
  if (scheduling()) {
    stop_at(op_return, nullptr, nullptr, __builtin_return_address(0));
    end_process();
  }
  real::next<void(int)>("exit")(status);
  __builtin_unreachable();
}

// What the scheduler does not model: the run is refused, and the tool says why.
int pthread_cancel(pthread_t handle) {
  if (scheduling()) {
    refuse(calls_cancel, __builtin_return_address(0));
  }
  return real::next<int(pthread_t)>("pthread_cancel")(handle);
}

pid_t fork() {
  if (scheduling()) {
    refuse(calls_fork, __builtin_return_address(0));
  }
  return real::next<pid_t()>("fork")();
}

}  // extern "C"
