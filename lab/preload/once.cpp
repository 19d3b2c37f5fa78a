// SPDX-License-Identifier: MIT
// Running something once: pthread_once (std::call_once calls it), and the guards that C++ puts
// around a function's static variable as it is initialised (__cxa_guard_acquire, _release and
// _abort). The first thread to come runs the initialisation, a step; a thread that comes while
// it runs waits for it to end, another step; once it has ended, the call returns at once.
// Each is kept where the C library and C++'s runtime keep it too, so that it stays done after
// the run: glibc's pthread_once_t has bit 1 set, a guard's first byte is not zero. Only the
// program's own calls are steps: the libraries' (the unwinder's, the C++ library's) set up
// their own state, and go to the real functions.
#include <cerrno>
#include <cstdint>

#include "happens.h"
#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

constexpr uint64_t done = 2;

Object &once_of(const void *control, bool finished) {
  Object &found = object(control, kind_once);
  if (found.fresh != 0) {
    found.fresh = 0;
    found.owner = -1;
    found.round = finished ? done : 0;
  }
  return found;
}

Object &of(const Thread &caller) {
  return object(reinterpret_cast<const void *>(caller.object), kind_once);
}

bool can_begin(const Thread &caller) {
  return of(caller).owner < 0;
}

// The first to come runs it (result 1); a later one finds it done (result 0).
bool begins(Thread &caller) {
  Object &once = of(caller);
  caller.result = once.round == done ? 0 : 1;
  if (once.round != done) {
    once.owner = me;
  } else {
    acquire(caller, once.released);
  }
  return true;
}

bool ends(Thread &caller) {
  of(caller).owner = -1;
  release(of(caller).released, caller);
  return true;
}

const Register begin_rules(op_once, {can_begin, begins});
const Register end_rules(op_onced, {nullptr, ends});

// True when the caller is to run the initialisation.
bool begin(const void *control, bool finished, const void *caller) {
  if (Object &once = once_of(control, finished); once.round == done) {
    acquire(self(), once.released);
    return false;
  }
  stop_at(op_once, control, nullptr, caller);
  return self().result == 1;
}

// The initialisation has ended, or was given up (an abort: the next to come runs it).
void end(const void *control, bool given_up, const void *caller) {
  stop_at(op_onced, control, nullptr, caller);
  of(self()).round = given_up ? 0 : done;
}

}  // namespace
}  // namespace lab

using namespace lab;

extern "C" {

int pthread_once(pthread_once_t *control, void (*routine)()) {
  if (!scheduling() || !in_program(__builtin_return_address(0))) {
    return real::next<int(pthread_once_t *, void (*)())>("pthread_once")(control, routine);
  }
  const void *caller = __builtin_return_address(0);
  if (begin(control, (*control & 2) != 0, caller)) {
    routine();
    *control = 2;  // glibc's mark of a once that is done
    end(control, false, caller);
  }
  return 0;
}

int __cxa_guard_acquire(long long *guard) {
  if (!scheduling() || !in_program(__builtin_return_address(0))) {
    return real::next<int(long long *)>("__cxa_guard_acquire")(guard);
  }
  const auto *first = reinterpret_cast<const unsigned char *>(guard);
  return begin(guard, *first != 0, __builtin_return_address(0)) ? 1 : 0;
}

void __cxa_guard_release(long long *guard) {
  if (!scheduling() || !in_program(__builtin_return_address(0))) {
    real::next<void(long long *)>("__cxa_guard_release")(guard);
    return;
  }
  *reinterpret_cast<unsigned char *>(guard) = 1;
  end(guard, false, __builtin_return_address(0));
}

void __cxa_guard_abort(long long *guard) {
  if (!scheduling() || !in_program(__builtin_return_address(0))) {
    real::next<void(long long *)>("__cxa_guard_abort")(guard);
    return;
  }
  end(guard, true, __builtin_return_address(0));
}

}  // extern "C"
