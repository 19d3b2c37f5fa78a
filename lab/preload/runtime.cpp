// SPDX-License-Identifier: MIT
// The run's machinery: threads stop at their steps, the chooser picks one, the step is made,
// and the chosen thread runs on alone to its next step. Threads hand the turn to each other
// through futex words of their own, never through a call that the scheduler interposes.
#include "runtime.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "chooser.h"

namespace lab {

Tables tables{};
thread_local int me = -1;
Rules rules[op_count]{};
bool active = false;  // in a run's process, from main's start to the process's end

Register::Register(Op op, Rules given) {
  rules[op] = given;
}

namespace {

struct Watch {
  uintptr_t address;
  size_t size;
};
Watch watches[8];
int watch_count = 0;

void snapshot(unsigned char *into) {
  size_t at = 0;
  for (int i = 0; i < watch_count; ++i) {
    memcpy(into + at, reinterpret_cast<const void *>(watches[i].address), watches[i].size);
    at += watches[i].size;
  }
}

bool all_ended() {
  for (int i = 0; i < run().threads; ++i) {
    if (thread(i).used != 0 && thread(i).ended == 0) {
      return false;
    }
  }
  return true;
}

// The chosen step goes into the table, with what could have been chosen instead.
void record(Choice choice, const Options &options) {
  Shared &shared = run();
  if (shared.steps >= shared.request.bound) {
    finish(too_many_steps);
  }
  if (static_cast<size_t>(shared.steps) >= tables.step_capacity) {
    refuse(table_full, nullptr);
  }
  const Thread &chosen = thread(choice.thread);
  Step &step = tables.steps[shared.steps++];
  step.thread = static_cast<uint8_t>(choice.thread);
  step.op = choice.mark == mark_spurious  ? static_cast<uint8_t>(op_wake)
            : choice.mark == mark_timeout ? static_cast<uint8_t>(op_timeout)
                                          : chosen.pending;
  step.flags = static_cast<uint8_t>((choice.mark == mark_spurious ? step_spurious : 0) |
                                    (choice.mark == mark_timeout ? step_timeout : 0) |
                                    (same(choice, default_choice(options)) ? step_default : 0));
  step.picked = -1;
  step.first = -1;
  step.enabled = options.enabled;
  step.waiting = options.asleep;
  step.timed = options.timed;
  step.picks = 0;
  step.object = chosen.object;
  step.mutex = chosen.mutex;
  step.caller = chosen.caller;
  step.printed = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  snapshot(step.watched);
}

// Makes the pending step of thread id, which has been chosen; false when the thread cannot
// run on: it waits, or it has ended.
bool perform(int id) {
  Thread &chosen = thread(id);
  const Rules &rule = rules[chosen.pending];
  if (rule.perform != nullptr && !rule.perform(chosen)) {
    return false;
  }
  chosen.pending = op_none;
  return true;
}

}  // namespace

void finish(Verdict verdict) {
  run().verdict = verdict;
  snapshot(run().watched);
  _exit(0);
}

void post(uint32_t &word) {
  __atomic_store_n(&word, 1U, __ATOMIC_RELEASE);
  syscall(SYS_futex, &word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

void await(uint32_t &word) {
  while (__atomic_exchange_n(&word, 0U, __ATOMIC_ACQUIRE) == 0) {
    syscall(SYS_futex, &word, FUTEX_WAIT, 0, nullptr, nullptr, 0);
  }
}

bool scheduling() {
  return active && me >= 0 && self().ended == 0;
}

bool can_move(const Thread &candidate) {
  if (candidate.used == 0 || candidate.ended != 0) {
    return false;
  }
  const Rules &rule = rules[candidate.pending];
  return rule.enabled == nullptr || rule.enabled(candidate);
}

// The newest thread with that handle: the C library gives a joined thread's handle to a new
// one.
int thread_of(pthread_t handle) {
  for (int i = run().threads - 1; i >= 0; --i) {
    if (thread(i).used != 0 && pthread_equal(thread(i).handle, handle) != 0) {
      return i;
    }
  }
  return -1;
}

void watch(uintptr_t address, size_t size) {
  size_t total = 0;
  for (int i = 0; i < watch_count; ++i) {
    total += watches[i].size;
  }
  if (watch_count < 8 && total + size <= watch_bytes) {
    watches[watch_count++] = Watch{address, size};
  }
}

size_t watched_bytes() {
  size_t total = 0;
  for (int i = 0; i < watch_count; ++i) {
    total += watches[i].size;
  }
  return total;
}

namespace {

// The entry for an address, or the free one where it would go.
Object &slot(uintptr_t key, size_t &at) {
  const size_t mask = tables.object_capacity - 1;
  const uint32_t stamp = run().stamp;
  at = (key >> 3U) * 0x9E3779B97F4A7C15ULL & mask;
  for (;; at = (at + 1) & mask) {
    Object &found = tables.objects[at];
    if (found.stamp != stamp || found.address == key) {
      return found;
    }
  }
}

}  // namespace

Object &object(const void *address, Kind kind) {
  const auto key = reinterpret_cast<uintptr_t>(address);
  size_t at = 0;
  Object &found = slot(key, at);
  if (found.stamp == run().stamp && found.kind == kind) {
    return found;
  }
  if (found.stamp != run().stamp) {
    // Kept under three quarters full, so that every search ends soon.
    if (static_cast<size_t>(run().objects) >= tables.object_capacity / 4 * 3) {
      refuse(too_many_objects, nullptr);
    }
    tables.object_list[run().objects++] = static_cast<uint32_t>(at);
  }
  found = Object{};  // new, or the memory is another kind of object now
  found.address = key;
  found.stamp = run().stamp;
  found.kind = kind;
  found.fresh = 1;
  found.owner = -1;
  return found;
}

void forget(const void *address) {
  size_t at = 0;
  Object &found = slot(reinterpret_cast<uintptr_t>(address), at);
  if (found.stamp == run().stamp) {
    found.fresh = 1;
  }
}

void fail(Fault code, const void *object, const void *mutex, const void *caller) {
  Shared &shared = run();
  shared.code = code;
  shared.culprit = me;
  shared.culprit_object = reinterpret_cast<uintptr_t>(object);
  shared.culprit_mutex = reinterpret_cast<uintptr_t>(mutex);
  shared.culprit_caller = reinterpret_cast<uintptr_t>(caller);
  finish(fault);
}

void refuse(Refusal code, const void *caller) {
  Shared &shared = run();
  shared.code = code;
  shared.culprit = me;
  shared.culprit_caller = reinterpret_cast<uintptr_t>(caller);
  finish(refused);
}

void stop_at(Op op, const void *object, const void *mutex, const void *caller, int64_t deadline) {
  Thread &stopped_here = self();
  stopped_here.pending = op;
  stopped_here.object = reinterpret_cast<uintptr_t>(object);
  stopped_here.mutex = reinterpret_cast<uintptr_t>(mutex);
  stopped_here.caller = reinterpret_cast<uintptr_t>(caller);
  stopped_here.deadline = deadline;
  stopped_here.timed_out = 0;
  stopped_here.pick = -1;
  stopped_here.result = 0;
  for (;;) {
    const Options options = options_now();
    const Choice choice = choose(options);
    if (choice.thread < 0) {
      if (!all_ended()) {
        finish(deadlock);
      }
      run().verdict = ended;  // the last thread ends, and with it the process
      snapshot(run().watched);
      active = false;
      return;
    }
    record(choice, options);
    moved(choice, options);
    Thread &chosen = thread(choice.thread);
    if (choice.mark == mark_spurious) {
      chosen.waiting = 0;
      chosen.result = 0;
      continue;
    }
    if (choice.mark == mark_timeout) {
      chosen.waiting = 0;
      chosen.timed_out = 1;
      run().clock = chosen.deadline > run().clock ? chosen.deadline : run().clock;
      continue;
    }
    chosen.pick = choice.pick;
    if (choice.thread != me) {
      run().running = choice.thread;
      post(chosen.turn);
      if (stopped_here.ended != 0) {
        return;
      }
      await(stopped_here.turn);
    }
    if (perform(me)) {
      return;
    }
  }
}

void begin_main() {
  Shared &shared = run();
  me = 0;
  Thread &main_thread = shared.thread[0];
  main_thread.used = 1;
  main_thread.clock[0] = 1;
  set_stack(main_thread);
  main_thread.handle = pthread_self();
  main_thread.tid = static_cast<int32_t>(syscall(SYS_gettid));
  main_thread.deadline = never;
  shared.threads = 1;
  shared.running = 0;
  active = true;
}

// Where the calling thread's stack lies: the memory that no other thread shares. Main's is
// found once, in the server, where the C library reads it from /proc.
void set_stack(Thread &thread) {
  static uintptr_t main_low = 0;
  static uintptr_t main_high = 0;
  if (me == 0 && main_high != 0) {
    thread.stack_low = main_low;
    thread.stack_high = main_high;
    return;
  }
  pthread_attr_t attributes;
  void *low = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
  }
  thread.stack_low = reinterpret_cast<uintptr_t>(low);
  thread.stack_high = thread.stack_low + size;
  if (me <= 0) {
    main_low = thread.stack_low;
    main_high = thread.stack_high;
  }
}

void end_process() {
  run().verdict = ended;
  snapshot(run().watched);
  active = false;
}

}  // namespace lab
