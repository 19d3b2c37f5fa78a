// SPDX-License-Identifier: MIT
// What the scheduler's parts share: the steps a thread can stand at, the threads and the
// synchronisation objects as the scheduler keeps them, and the calls by which a primitive's
// interposer hands its step to the scheduler.
//
// One thread runs at a time. A thread that reaches a call of the thread library stops there
// (stop_at), and the chooser (chooser.cpp) picks which thread makes the next step; each
// primitive's file says when a step may be made (enabled) and what making it does
// (perform). The run's machinery is runtime.cpp; the fork server that starts one run for each
// schedule asked for is server.cpp.
#ifndef LAB_PRELOAD_RUNTIME_H
#define LAB_PRELOAD_RUNTIME_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace lab {

using Mask = uint64_t;  // a set of threads, one bit each
constexpr int max_threads = 64;
constexpr int watch_bytes = 48;
constexpr int64_t never = INT64_MAX;  // no deadline

// The steps, by the name that the client is told (server.cpp sends the list). An event
// (wake, timeout) is not a call: it ends another thread's wait.
// clang-format off
#define LAB_STEPS(X)                                                                         \
  X(none) X(start) X(create) X(join) X(exit) X(return) X(yield) X(sleep)                     \
  X(lock) X(trylock) X(unlock) X(wait) X(wake) X(timeout) X(relock) X(signal) X(broadcast)   \
  X(rdlock) X(wrlock) X(tryrdlock) X(trywrlock) X(rwunlock) X(barrier) X(leave)              \
  X(spinlock) X(spintrylock) X(spinunlock) X(semwait) X(semtrywait) X(sempost)               \
  X(once) X(onced) X(load) X(store) X(update)
// clang-format on

enum Op : uint8_t {
#define LAB_ENUM(name) op_##name,
  LAB_STEPS(LAB_ENUM)
#undef LAB_ENUM
      op_count
};

enum Verdict : int32_t {
  running,
  ended,           // the process ended
  deadlock,        // no thread can move, none can time out, and the process has not ended
  too_many_steps,  // the run took more steps than its bound
  cannot_follow,   // the schedule asked for a step that no thread could make
  stopped,         // the schedule's steps were made, and the run was asked to stop there
  fault,           // the program used the thread library against its rules (code: Fault)
  refused,         // the program did what the scheduler does not model (code: Refusal)
};

// What the program did against the thread library's rules: each is undefined behaviour or an
// error that POSIX names, and a failure of the program.
enum Fault : int32_t {
  no_fault,
  unlock_not_held,   // unlocks a mutex (or rwlock, spinlock) that it does not hold
  destroy_held,      // destroys a mutex, rwlock or spinlock that a thread holds
  destroy_waited,    // destroys a condition variable or barrier that threads wait on
  wait_not_held,     // waits on a condition variable with a mutex it does not hold
  wait_two_mutexes,  // waits with one mutex while others wait on it with another
  join_self,         // joins itself
  data_race,         // two accesses to memory, one a write, not ordered (memory.cpp)
};

// What the program did that the scheduler cannot follow: the run is the tool's failure.
enum Refusal : int32_t {
  no_refusal,
  too_many_threads,  // more than max_threads at once
  too_many_objects,  // the table of objects is full
  too_many_choices,  // the schedule is longer than the table of choices
  thread_refused,    // the system refused a thread
  calls_fork,
  calls_cancel,
  table_full,  // the table of steps is full
};

// A vector clock: for each thread, how far along it the holder of the clock has seen.
using Clock = uint32_t[max_threads];

struct Thread {
  Clock clock;                      // what this thread has seen of every thread's steps (happens.h)
  uintptr_t stack_low, stack_high;  // its own stack, whose memory no other thread shares
  int32_t used;
  int32_t ended;
  int32_t tid;        // the kernel's id, for the watchdog
  uint8_t pending;    // the step at which it stands
  uint8_t waiting;    // registered on a condition variable, not yet woken
  uint8_t timed_out;  // its deadline passed while it waited: the call returns ETIMEDOUT
  int8_t pick;        // for a signal: the waiter it is to wake, or -1 for the longest waiting
  int32_t result;     // what the pending call returns
  int32_t target;     // the thread that a join waits for
  int64_t deadline;   // when a timed call gives up, on the run's clock; never if untimed
  uint64_t order;     // when it began to wait, for a signal's default pick
  uint64_t ticket;    // a barrier's round that it waits out
  Mask ahead;         // fairness: threads that move before it moves again, after a yield
  uintptr_t object;   // the object of its pending step
  uintptr_t mutex;    // a wait's mutex
  uintptr_t caller;   // where the program made the call
  uintptr_t start;    // the thread's function
  uintptr_t argument;
  pthread_t handle;
  uint32_t turn;  // a futex word: set when the thread is chosen
};

enum Kind : uint8_t {
  kind_free,
  kind_mutex,
  kind_cond,
  kind_rwlock,
  kind_barrier,
  kind_spin,
  kind_semaphore,
  kind_once,
  kind_memory
};

// A synchronisation object as the scheduler keeps it; each primitive reads the fields it
// names. Found by address; read from the program's object where it was set up before the
// scheduler saw it.
struct Object {
  Clock released;  // what the threads that released it had seen (happens.h)
  Clock readers;   // an rwlock's: what its readers had seen when they unlocked
  uintptr_t address;
  uint32_t stamp;  // the run that uses it: an entry of an earlier run counts as free
  uint8_t kind;
  uint8_t fresh;    // its state is to be read again from the program's object
  uint8_t type;     // a mutex's type: PTHREAD_MUTEX_NORMAL, _RECURSIVE or _ERRORCHECK
  int32_t owner;    // the thread that holds it (a writer, a once's runner), or -1
  int32_t count;    // a recursive mutex's depth, an rwlock's readers, a semaphore's value,
                    // the threads at a barrier
  int32_t limit;    // a barrier's count
  int32_t clock;    // a condition variable's clock
  uint64_t round;   // a barrier's rounds; a once: 2 when done
  uintptr_t mutex;  // a condition variable's waiters' mutex
  uint8_t reads[max_threads];  // an rwlock's read locks, by thread
};

struct Step {
  uint8_t thread;  // who made it
  uint8_t op;
  uint8_t flags;  // step_*
  int8_t picked;  // the thread that a signal woke, or -1
  int8_t first;   // the thread that it would have woken by default: the longest waiting
  Mask enabled;   // the threads that could have made this step (fairness applied)
  Mask waiting;   // the threads waiting on a condition variable, unwoken: a spurious wake-up
  Mask timed;     // the threads whose wait could time out here
  Mask picks;     // for a signal: the threads it could have woken
  uintptr_t object;
  uintptr_t mutex;
  uintptr_t caller;
  int64_t printed;  // bytes of standard output written before the step
  unsigned char watched[watch_bytes];
};
constexpr uint8_t step_spurious = 1;  // a spurious wake-up (op wake)
constexpr uint8_t step_timeout = 2;   // a time-out (op timeout)
constexpr uint8_t step_default = 4;   // what the default chooser would have chosen here
constexpr uint8_t step_picked = 8;    // a signal woke a thread other than the longest waiting
constexpr uint8_t step_racing = 16;   // an access to memory in a data race (memory.cpp)

enum Mark : uint8_t { mark_run, mark_spurious, mark_timeout };

struct Choice {
  int8_t thread;  // -1: none can move
  uint8_t mark;
  int8_t pick;  // a signal's waiter, or -1 for the default
};

struct Request {
  int32_t stop;      // stop once the choices are made, rather than go on by default
  int32_t fair;      // sleeps count as yields for fairness, as well as sched_yield
  uint64_t seed;     // after the choices: 0, the default chooser; else at random from this seed
  int32_t spurious;  // spurious wake-ups that the random chooser may give
  int32_t bound;     // steps a run may take
  int32_t choices;
};

// The run's state, in memory shared between the server and the run's process, which survives
// the run's crash or kill; server.cpp resets it before each run.
struct Shared {
  Request request;
  int32_t verdict;
  int32_t code;     // the Fault or Refusal
  int32_t culprit;  // the thread that made it
  uintptr_t culprit_object, culprit_mutex, culprit_caller;
  uint32_t stamp;   // this run's, for the table of objects
  int32_t objects;  // entries of that table used in this run
  int32_t steps;
  int32_t threads;
  int32_t spurious_left;
  int32_t previous;    // the thread that made the last step
  int32_t running;     // the thread that runs now, for the watchdog
  int64_t clock;       // the run's clock: nanoseconds since its start
  int32_t race_step;   // the first data race: the step that found it, the other access's
  int32_t race_other;  // step, and the memory (memory.cpp); -1 for none
  uintptr_t race_address;
  int32_t race_size;
  uint64_t order;
  uint64_t random;
  unsigned char watched[watch_bytes];  // the watched memory when the run ended or stopped
  Thread thread[max_threads];
};

struct Tables {
  Shared *shared;
  Object *objects;
  uint32_t *object_list;   // the entries used in this run, in the order they were added
  size_t object_capacity;  // a power of two
  Step *steps;
  size_t step_capacity;
  Choice *choices;
  size_t choice_capacity;
};
extern Tables tables;

// The running thread's number in the table, or -1 outside a run.
extern thread_local int me;

inline Shared &run() {
  return *tables.shared;
}
inline Thread &thread(int id) {
  return tables.shared->thread[id];
}
inline Thread &self() {
  return tables.shared->thread[me];
}

// True while the calling thread is a thread of the run, under the scheduler.
bool scheduling();

// The calling thread stops at a step of kind op on object (and mutex), and returns once the
// chooser has chosen it and the step is made; deadline is when a timed call gives up.
void stop_at(Op op, const void *object, const void *mutex, const void *caller,
             int64_t deadline = never);

// The run ends at once with a verdict.
[[noreturn]] void finish(Verdict verdict);
// The run ends at once, as the program's fault or as a call that the scheduler refuses.
[[noreturn]] void fail(Fault code, const void *object, const void *mutex, const void *caller);
[[noreturn]] void refuse(Refusal code, const void *caller);

// The object at an address, added as fresh on first sight.
Object &object(const void *address, Kind kind);
// The program set the object up again (an init): its state is read again on next use.
void forget(const void *address);

// What each kind of step needs of the scheduler, set by the primitive's file.
struct Rules {
  bool (*enabled)(const Thread &);  // may it be made now
  bool (*perform)(Thread &);        // make it; false when the thread does not run on
};
extern Rules rules[op_count];
struct Register {
  Register(Op op, Rules given);
};

// The run's clock (clock.cpp): a call's absolute time on a POSIX clock, as a time on it.
int64_t clock_deadline(clockid_t clock, const struct timespec *until);

// The threads that stand at a step that may be made now, and the ones a wake-up could move.
bool can_move(const Thread &thread);
int thread_of(pthread_t handle);

// The hand-over of the turn between threads: a futex word, set and awaited.
void post(uint32_t &word);
void await(uint32_t &word);

// The run's start and end, and the program's memory that is read at every step.
void begin_main();
void begin_memory();
void ignore(uintptr_t address, size_t size);
void set_stack(Thread &thread);
void end_process();
void watch(uintptr_t address, size_t size);
size_t watched_bytes();
extern bool active;
// True for an address in the program's own code, rather than in a library's.
bool in_program(const void *address);

}  // namespace lab

#endif
