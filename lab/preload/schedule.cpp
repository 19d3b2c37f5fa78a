// SPDX-License-Identifier: MIT
// The scheduler: loaded with LD_PRELOAD into a dynamically linked program, it runs the
// program one thread at a time. Every call of pthread_mutex_lock, _trylock and _unlock, of
// pthread_cond_wait, _timedwait, _signal and _broadcast, of pthread_create, _join and
// _exit, of a sleep or sched_yield, and main's return, is a step: the thread stops at the
// call, and the chooser picks which thread makes the next step. A step does what its call
// does, and the chosen thread then runs on, alone, to its next call. No real time passes in
// a sleep. A thread that waits on a condition variable moves again when a signal wakes it,
// or when the chooser gives it a spurious wake-up, as POSIX allows a wait to have; it then
// needs its mutex back, which is a step of its own.
//
// The library keeps each mutex's owner and each condition variable's waiters itself, so
// the program's own mutexes are never contended and its condition variables never slept
// on. Threads hand the turn to each other through semaphores, which the library does not
// interpose.
//
// It is a fork server. Before main, the program waits for requests on the socket named by
// THREADLAB_FD; for each, it forks a child that runs main once, under the schedule asked
// for, with standard input read again from its start and standard output and error
// caught. The child's steps, threads and mutexes live in memory shared with the server,
// which survives the child's crash or kill, and the server sends them back as text lines
// (see reply()). A run costs a fork, not a program start.
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "real.h"

namespace {

constexpr int max_threads = 16;
constexpr int max_mutexes = 64;
constexpr int max_steps = 50000;
constexpr int max_choices = 8192;
constexpr int watch_bytes = 48;

// What a step does. The names are the protocol's: reply() sends them as numbers.
enum Op : uint8_t {
  op_none,
  op_start,  // a new thread's first step: it starts running its function
  op_lock,
  op_trylock,
  op_unlock,
  op_wait,    // gives up the mutex and waits on the condition variable
  op_wake,    // a spurious wake-up: the wait ends with no signal
  op_relock,  // after its wait has ended, the thread takes its mutex back
  op_signal,
  op_broadcast,
  op_create,
  op_join,
  op_exit,  // the thread ends
  op_sleep,
  op_yield,
  op_return,  // main returns: the process ends
};

enum Verdict : int32_t {
  running,
  ended,           // the process ended: main returned, or the last thread ended
  deadlock,        // no thread can move and the process has not ended
  too_many_steps,  // the run took more steps than its bound
  cannot_follow,   // the schedule asked for a step that no thread could make
  stopped,         // the schedule's steps were made, and the run was asked to stop there
};

struct Thread {
  pthread_t handle;
  sem_t turn;  // posted when the thread is chosen
  int32_t used;
  int32_t ended;
  int32_t waiting;  // registered on the condition variable `object`, not yet woken
  int32_t joins;    // the thread that a pending join waits for
  int32_t result;   // what a pending trylock or timed wait returns
  uint8_t pending;  // the step at which the thread stands
  uint64_t wait_order;
  uintptr_t object;  // the mutex, condition variable or thread of the pending step
  uintptr_t mutex;   // a wait's mutex
  uintptr_t caller;  // where the program made the call
  uintptr_t start;   // the thread's function
  uintptr_t argument;
};

struct Mutex {
  uintptr_t address;
  int32_t owner;  // a thread, or -1
};

struct Step {
  uint8_t thread;  // who made it
  uint8_t op;
  uint32_t enabled;  // the threads that could make a step here, one bit each
  uint32_t waiting;  // the threads waiting on a condition variable, unwoken
  uintptr_t object;
  uintptr_t mutex;
  uintptr_t caller;
  int64_t printed;  // bytes of standard output written before the step
  unsigned char watched[watch_bytes];
};

struct Choice {
  int8_t thread;
  int8_t spurious;
};

struct Request {
  int32_t stop;      // stop once the choices are made, rather than go on by default
  uint64_t seed;     // after the choices: 0, keep to the thread that moved last
                     // while it can move; otherwise choose at random from this seed
  int32_t spurious;  // spurious wake-ups that the random chooser may give
  int32_t bound;     // steps a run may take
  int32_t choices;
  Choice choice[max_choices];
};

struct Shared {
  Request request;
  int32_t verdict;
  int32_t steps;
  int32_t threads;
  int32_t mutexes;
  int32_t spurious_left;
  int32_t previous;  // the thread that made the last step
  uint64_t wait_order;
  uint64_t random;
  unsigned char watched[watch_bytes];  // the watched memory when the run ended or stopped
  Thread thread[max_threads];
  Mutex mutex[max_mutexes];
  Step step[max_steps];
};

Shared *shared = nullptr;
bool active = false;  // in a child, from main's start to the process's end
thread_local int me = -1;
sem_t registered;  // a new thread has taken its place in the table
real::Image image;
struct Watch {
  uintptr_t address;
  size_t size;
} watches[8];
int watch_count = 0;

int (*program_main)(int, char **, char **) = nullptr;

bool scheduling() {
  return active && me >= 0 && shared->thread[me].ended == 0;
}

int32_t &owner(uintptr_t address) {
  for (int i = 0; i < shared->mutexes; ++i) {
    if (shared->mutex[i].address == address) {
      return shared->mutex[i].owner;
    }
  }
  if (shared->mutexes == max_mutexes) {
    static int32_t overflow = -1;  // more mutexes than the table holds: never contended
    return overflow;
  }
  Mutex &added = shared->mutex[shared->mutexes++];
  added = Mutex{address, -1};
  return added.owner;
}

bool can_move(const Thread &thread) {
  if (thread.used == 0 || thread.ended != 0) {
    return false;
  }
  switch (thread.pending) {
    case op_lock:
      return owner(thread.object) < 0;
    case op_relock:
      return thread.waiting == 0 && owner(thread.mutex) < 0;
    case op_join:
      return shared->thread[thread.joins].ended != 0;
    default:
      return true;
  }
}

uint32_t movable() {
  uint32_t mask = 0;
  for (int i = 0; i < shared->threads; ++i) {
    mask |= can_move(shared->thread[i]) ? 1U << i : 0U;
  }
  return mask;
}

uint32_t waiting() {
  uint32_t mask = 0;
  for (int i = 0; i < shared->threads; ++i) {
    const Thread &thread = shared->thread[i];
    mask |= thread.used != 0 && thread.ended == 0 && thread.waiting != 0 ? 1U << i : 0U;
  }
  return mask;
}

bool all_ended() {
  for (int i = 0; i < shared->threads; ++i) {
    if (shared->thread[i].used != 0 && shared->thread[i].ended == 0) {
      return false;
    }
  }
  return true;
}

void snapshot(unsigned char *into) {
  size_t at = 0;
  for (int i = 0; i < watch_count; ++i) {
    memcpy(into + at, reinterpret_cast<const void *>(watches[i].address), watches[i].size);
    at += watches[i].size;
  }
}

[[noreturn]] void finish(Verdict verdict) {
  shared->verdict = verdict;
  snapshot(shared->watched);
  _exit(0);
}

uint64_t next_random() {  // xorshift64
  uint64_t x = shared->random;
  x ^= x << 13U;
  x ^= x >> 7U;
  x ^= x << 17U;
  return shared->random = x;
}

Choice choose(uint32_t can, uint32_t asleep) {
  Request &request = shared->request;
  const int made = shared->steps;
  if (made < request.choices) {
    const Choice choice = request.choice[made];
    const uint32_t bit = 1U << static_cast<unsigned>(choice.thread);
    const bool possible = choice.spurious != 0
                              ? (asleep & bit) != 0
                              : (can & bit) != 0 && choice.thread < shared->threads;
    if (!possible) {
      finish(cannot_follow);
    }
    return choice;
  }
  if (request.stop != 0 && (can | asleep) != 0) {
    finish(stopped);
  }
  if (can == 0) {
    return Choice{-1, 0};
  }
  if (request.seed != 0) {
    const uint32_t spurious = shared->spurious_left > 0 ? asleep : 0;
    const int options = __builtin_popcount(can) + __builtin_popcount(spurious);
    int pick = static_cast<int>(next_random() % static_cast<uint64_t>(options));
    for (int i = 0; i < shared->threads; ++i) {
      if ((can >> i & 1U) != 0 && pick-- == 0) {
        return Choice{static_cast<int8_t>(i), 0};
      }
    }
    for (int i = 0; i < shared->threads; ++i) {
      if ((spurious >> i & 1U) != 0 && pick-- == 0) {
        --shared->spurious_left;
        return Choice{static_cast<int8_t>(i), 1};
      }
    }
  }
  // By default the thread that moved last goes on while it can; else the first that can.
  if ((can >> shared->previous & 1U) != 0) {
    return Choice{static_cast<int8_t>(shared->previous), 0};
  }
  return Choice{static_cast<int8_t>(__builtin_ctz(can)), 0};
}

void record(Choice choice, uint32_t can, uint32_t asleep) {
  if (shared->steps >= shared->request.bound || shared->steps >= max_steps) {
    finish(too_many_steps);
  }
  const Thread &thread = shared->thread[choice.thread];
  Step &step = shared->step[shared->steps++];
  step.thread = static_cast<uint8_t>(choice.thread);
  step.op = choice.spurious != 0 ? static_cast<uint8_t>(op_wake) : thread.pending;
  step.enabled = can;
  step.waiting = asleep;
  step.object = thread.object;
  step.mutex = thread.mutex;
  step.caller = thread.caller;
  step.printed = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  snapshot(step.watched);
}

void wake(Thread &thread, int result) {
  thread.waiting = 0;
  thread.result = result;
}

// Makes the pending step of thread `id`, which has been chosen; false when the thread
// cannot run on: its wait has begun, or it has ended.
bool perform(int id) {
  Thread &thread = shared->thread[id];
  switch (thread.pending) {
    case op_lock:
    case op_relock:
      owner(thread.pending == op_lock ? thread.object : thread.mutex) = id;
      break;
    case op_trylock: {
      int32_t &holder = owner(thread.object);
      thread.result = holder < 0 ? 0 : EBUSY;
      holder = holder < 0 ? id : holder;
      break;
    }
    case op_unlock:
      owner(thread.object) = -1;
      break;
    case op_wait:
      owner(thread.mutex) = -1;
      thread.waiting = 1;
      thread.wait_order = ++shared->wait_order;
      thread.pending = op_relock;
      return false;
    case op_signal:
    case op_broadcast: {
      // A signal wakes the thread that has waited longest; a broadcast wakes them all.
      for (;;) {
        Thread *first = nullptr;
        for (int i = 0; i < shared->threads; ++i) {
          Thread &other = shared->thread[i];
          if (other.waiting != 0 && other.object == thread.object &&
              (first == nullptr || other.wait_order < first->wait_order)) {
            first = &other;
          }
        }
        if (first == nullptr) {
          break;
        }
        wake(*first, 0);
        if (thread.pending == op_signal) {
          break;
        }
      }
      break;
    }
    case op_exit:
      thread.ended = 1;
      thread.pending = op_none;
      return false;
    default:  // start, create, join, sleep, yield, return: done by the caller
      break;
  }
  thread.pending = op_none;
  return true;
}

// Thread `me` stands at a step. The chooser makes one step after another, whoever's, until
// `me` has made its own and may run on; an ended thread leaves once it has handed over.
void stop_at(Op op, const void *object, const void *mutex, const void *caller) {
  Thread &self = shared->thread[me];
  self.pending = op;
  self.object = reinterpret_cast<uintptr_t>(object);
  self.mutex = reinterpret_cast<uintptr_t>(mutex);
  self.caller = reinterpret_cast<uintptr_t>(caller);
  for (;;) {
    const uint32_t can = movable();
    const uint32_t asleep = waiting();
    const Choice choice = choose(can, asleep);
    if (choice.thread < 0) {
      if (!all_ended()) {
        finish(deadlock);
      }
      shared->verdict = ended;  // the last thread ends, and with it the process
      snapshot(shared->watched);
      active = false;
      return;
    }
    record(choice, can, asleep);
    shared->previous = choice.thread;
    if (choice.spurious != 0) {
      wake(shared->thread[choice.thread], ETIMEDOUT);
      continue;
    }
    if (choice.thread != me) {
      sem_post(&shared->thread[choice.thread].turn);
      if (self.ended != 0) {
        return;
      }
      while (sem_wait(&self.turn) != 0) {
      }
    }
    if (perform(me)) {
      return;
    }
  }
}

[[noreturn]] void end_thread(void *result, const void *caller) {
  stop_at(op_exit, nullptr, nullptr, caller);
  real::functions().exit(result);
  __builtin_unreachable();
}

void *trampoline(void *slot) {
  me = static_cast<int>(reinterpret_cast<intptr_t>(slot));
  Thread &self = shared->thread[me];
  sem_post(&registered);
  while (sem_wait(&self.turn) != 0) {
  }
  perform(me);
  auto *start = reinterpret_cast<void *(*)(void *)>(self.start);
  end_thread(start(reinterpret_cast<void *>(self.argument)), nullptr);  // returned
}

int find_thread(pthread_t handle) {
  for (int i = 0; i < shared->threads; ++i) {
    if (shared->thread[i].used != 0 && pthread_equal(shared->thread[i].handle, handle) != 0) {
      return i;
    }
  }
  return -1;
}

// The run: main as thread 0, under the scheduler, in a child of the server.
[[noreturn]] void run(int argc, char **argv, char **envp) {
  shared->verdict = running;
  me = 0;
  Thread &main_thread = shared->thread[0];
  main_thread.used = 1;
  main_thread.handle = pthread_self();
  main_thread.start = reinterpret_cast<uintptr_t>(program_main);
  sem_init(&main_thread.turn, 0, 0);
  sem_init(&registered, 0, 0);
  shared->threads = 1;
  active = true;
  const int status = program_main(argc, argv, envp);
  stop_at(op_return, nullptr, nullptr, __builtin_return_address(0));
  shared->verdict = ended;
  snapshot(shared->watched);
  active = false;
  exit(status);
}

// The server's side of the protocol.

struct Output {
  char *text = nullptr;
  size_t used = 0;
  size_t size = 0;

  void add(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    for (;;) {
      va_list args;
      va_start(args, format);
      const int wrote = vsnprintf(text + used, size - used, format, args);
      va_end(args);
      if (wrote >= 0 && used + static_cast<size_t>(wrote) < size) {
        used += static_cast<size_t>(wrote);
        return;
      }
      grow(static_cast<size_t>(wrote) + 1);
    }
  }
  void bytes(int fd) {
    const off_t length = lseek(fd, 0, SEEK_END);
    add("%jd\n", static_cast<intmax_t>(length));
    grow(static_cast<size_t>(length));
    used += static_cast<size_t>(pread(fd, text + used, static_cast<size_t>(length), 0));
    add("\n");
  }
  void grow(size_t more) {
    if (used + more < size) {
      return;
    }
    size = (used + more) * 2;
    text = static_cast<char *>(realloc(text, size));
  }
};

uintptr_t relative(uintptr_t address) {
  return image.holds(address) ? address - image.base : address;
}

// One line for each step, thread and mutex, then the output; every address that lies in
// the program's own image relative to it (as its symbol table gives it), marked with 'e'.
void reply(int fd, int status, bool timed_out, int out, int err) {
  static Output said;
  said.used = 0;
  auto address = [](uintptr_t value) {
    static char text[2][24];
    static int which = 0;
    which ^= 1;
    snprintf(text[which], sizeof text[which], "%s%" PRIxPTR, image.holds(value) ? "e" : "",
             relative(value));
    return text[which];
  };
  said.add("result %d %d %d %d\n", status, timed_out ? 1 : 0, shared->verdict, shared->steps);
  size_t size = 0;
  for (int w = 0; w < watch_count; ++w) {
    size += watches[w].size;
  }
  said.add("now %x %x ", shared->verdict == running ? 0U : movable(), waiting());
  for (size_t b = 0; b < size; ++b) {
    said.add("%02x", shared->watched[b]);
  }
  said.add("\n");
  for (int i = 0; i < shared->steps; ++i) {
    const Step &step = shared->step[i];
    said.add("step %u %u %x %x %s", step.thread, step.op, step.enabled, step.waiting,
             address(step.object));
    said.add(" %s", address(step.mutex));
    said.add(" %s %" PRId64 " ", address(step.caller), step.printed);
    for (size_t b = 0; b < size; ++b) {
      said.add("%02x", step.watched[b]);
    }
    said.add("\n");
  }
  for (int i = 0; i < shared->threads; ++i) {
    const Thread &thread = shared->thread[i];
    said.add("thread %d %d %d %d %u %s", i, thread.used, thread.ended, thread.waiting,
             thread.pending, address(thread.object));
    said.add(" %s", address(thread.mutex));
    said.add(" %s", address(thread.caller));
    said.add(" %s\n", address(thread.start));
  }
  for (int i = 0; i < shared->mutexes; ++i) {
    said.add("mutex %s %d\n", address(shared->mutex[i].address), shared->mutex[i].owner);
  }
  said.add("out ");
  said.bytes(out);
  said.add("err ");
  said.bytes(err);
  said.add("end\n");
  for (size_t sent = 0; sent < said.used;) {
    const ssize_t wrote = write(fd, said.text + sent, said.used - sent);
    if (wrote <= 0) {
      _exit(2);
    }
    sent += static_cast<size_t>(wrote);
  }
}

// A request, one line: run STOP SEED SPURIOUS BOUND TIMEOUT_MS CHOICE...; a choice is a
// thread's number, or ~ and the number of a waiting thread to give a spurious wake-up.
bool parse(char *line, Request &request, int &timeout) {
  char *rest = nullptr;
  const char *word = strtok_r(line, " \n", &rest);
  if (word == nullptr || strcmp(word, "run") != 0) {
    return false;
  }
  long numbers[5];
  for (long &number : numbers) {
    word = strtok_r(nullptr, " \n", &rest);
    if (word == nullptr) {
      return false;
    }
    number = strtol(word, nullptr, 10);
  }
  request.stop = numbers[0] != 0;
  request.seed = static_cast<uint64_t>(numbers[1]);
  request.spurious = static_cast<int32_t>(numbers[2]);
  request.bound = static_cast<int32_t>(numbers[3]);
  timeout = static_cast<int>(numbers[4]);
  request.choices = 0;
  while ((word = strtok_r(nullptr, " \n", &rest)) != nullptr && request.choices < max_choices) {
    const bool spurious = word[0] == '~';
    request.choice[request.choices++] =
        Choice{static_cast<int8_t>(strtol(word + (spurious ? 1 : 0), nullptr, 10)),
               static_cast<int8_t>(spurious ? 1 : 0)};
  }
  return true;
}

void read_watches() {
  // OFFSET:SIZE+OFFSET:SIZE... in the program's image, hexadecimal offsets, decimal sizes;
  // not commas, which qemu-user's -E takes for a list of variables.
  const char *watched = getenv("THREADLAB_WATCH");
  size_t total = 0;
  while (watched != nullptr && *watched != '\0' && watch_count < 8) {
    char *end = nullptr;
    const uintptr_t offset = strtoull(watched, &end, 16);
    const size_t size = strtoull(end + 1, &end, 10);
    if (total + size > watch_bytes) {
      break;
    }
    watches[watch_count++] = Watch{image.base + offset, size};
    total += size;
    watched = *end == '+' ? end + 1 : end;
  }
}

int serve(int fd, int argc, char **argv, char **envp) {
  const char *given = getenv("THREADLAB_CPU");
  const int cpu = given != nullptr ? atoi(given) : -1;
  image = real::program_image();
  read_watches();
  shared = static_cast<Shared *>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                                      MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  const int out = memfd_create("stdout", 0);
  const int err = memfd_create("stderr", 0);
  if (shared == MAP_FAILED || out < 0 || err < 0) {
    return 2;
  }
  // What every child would otherwise do for itself, done once here: the C library loads its
  // unwinder (for pthread_exit) on first use.
  void *frame = nullptr;
  backtrace(&frame, 1);
  char hello[64];
  const int length = snprintf(hello, sizeof hello, "ready %d\n", getpid());
  if (write(fd, hello, static_cast<size_t>(length)) != length) {
    return 2;
  }
  FILE *requests = fdopen(dup(fd), "r");
  char *line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, requests) > 0) {
    int timeout = 0;
    if (!parse(line, shared->request, timeout)) {
      break;
    }
    const size_t state = offsetof(Shared, verdict);
    memset(reinterpret_cast<char *>(shared) + state, 0, offsetof(Shared, step) - state);
    shared->verdict = running;
    shared->spurious_left = shared->request.spurious;
    shared->random = shared->request.seed * 0x9E3779B97F4A7C15ULL + 1;
    (void)!ftruncate(out, 0);
    (void)!ftruncate(err, 0);
    lseek(out, 0, SEEK_SET);
    lseek(err, 0, SEEK_SET);
    int alive[2];
    if (pipe2(alive, O_CLOEXEC) != 0) {
      return 2;
    }
    const pid_t child = fork();
    if (child == 0) {
      // One thread runs at a time: on one processor, handing the turn over is cheapest. Each
      // server of a client that runs several side by side is given a processor of its own.
      if (cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
      }
      close(alive[0]);
      close(fd);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      lseek(STDIN_FILENO, 0, SEEK_SET);
      run(argc, argv, envp);
    }
    close(alive[1]);
    // The child's end of the pipe closes when the child does, however it ends.
    pollfd watch{alive[0], POLLIN, 0};
    const bool timed_out = child > 0 && poll(&watch, 1, timeout) == 0;
    if (timed_out) {
      kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(alive[0]);
    reply(fd, status, timed_out, out, err);
  }
  return 0;
}

int served(int argc, char **argv, char **envp) {
  return serve(atoi(getenv("THREADLAB_FD")), argc, argv, envp);
}

}  // namespace

// The interposers. Outside a run (in the server, or once the process is ending) each call
// goes to the thread library as usual.

extern "C" {

int pthread_mutex_lock(pthread_mutex_t *mutex) {
  if (!scheduling()) {
    return real::functions().lock(mutex);
  }
  stop_at(op_lock, mutex, nullptr, __builtin_return_address(0));
  return 0;
}

int pthread_mutex_trylock(pthread_mutex_t *mutex) {
  if (!scheduling()) {
    return real::functions().trylock(mutex);
  }
  stop_at(op_trylock, mutex, nullptr, __builtin_return_address(0));
  return shared->thread[me].result;
}

int pthread_mutex_unlock(pthread_mutex_t *mutex) {
  if (!scheduling()) {
    return real::functions().unlock(mutex);
  }
  stop_at(op_unlock, mutex, nullptr, __builtin_return_address(0));
  return 0;
}

int pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex) {
  if (!scheduling()) {
    return real::functions().wait(cond, mutex);
  }
  stop_at(op_wait, cond, mutex, __builtin_return_address(0));
  return 0;
}

// A timed wait is a wait whose end with no signal is its time-out.
int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex,
                           const struct timespec *until) {
  if (!scheduling()) {
    return real::functions().timedwait(cond, mutex, until);
  }
  stop_at(op_wait, cond, mutex, __builtin_return_address(0));
  return shared->thread[me].result;
}

int pthread_cond_signal(pthread_cond_t *cond) {
  if (!scheduling()) {
    return real::functions().signal(cond);
  }
  stop_at(op_signal, cond, nullptr, __builtin_return_address(0));
  return 0;
}

int pthread_cond_broadcast(pthread_cond_t *cond) {
  if (!scheduling()) {
    return real::functions().broadcast(cond);
  }
  stop_at(op_broadcast, cond, nullptr, __builtin_return_address(0));
  return 0;
}

int pthread_create(pthread_t *handle, const pthread_attr_t *attributes, void *(*start)(void *),
                   void *argument) {
  if (!scheduling()) {
    return real::functions().create(handle, attributes, start, argument);
  }
  stop_at(op_create, reinterpret_cast<const void *>(start), nullptr, __builtin_return_address(0));
  if (shared->threads == max_threads) {
    return EAGAIN;
  }
  const int id = shared->threads;
  Thread &thread = shared->thread[id];
  thread = Thread{};
  thread.used = 1;
  thread.pending = op_start;
  thread.start = reinterpret_cast<uintptr_t>(start);
  thread.object = reinterpret_cast<uintptr_t>(start);
  thread.argument = reinterpret_cast<uintptr_t>(argument);
  thread.caller = reinterpret_cast<uintptr_t>(start);
  sem_init(&thread.turn, 0, 0);
  shared->threads = id + 1;
  const int error = real::functions().create(handle, attributes, trampoline,
                                             reinterpret_cast<void *>(static_cast<intptr_t>(id)));
  if (error != 0) {
    thread.used = 0;
    shared->threads = id;
    return error;
  }
  while (sem_wait(&registered) != 0) {
  }
  thread.handle = *handle;
  return 0;
}

int pthread_join(pthread_t handle, void **result) {
  const int target = scheduling() ? find_thread(handle) : -1;
  if (target >= 0) {
    shared->thread[me].joins = target;
    stop_at(op_join, reinterpret_cast<const void *>(static_cast<uintptr_t>(target)), nullptr,
            __builtin_return_address(0));
  }
  return real::functions().join(handle, result);
}

void pthread_exit(void *result) {
  if (scheduling()) {
    end_thread(result, __builtin_return_address(0));
  }
  real::functions().exit(result);
  __builtin_unreachable();
}

unsigned int sleep(unsigned int seconds) {
  if (!scheduling()) {
    return real::next<unsigned int(unsigned int)>("sleep")(seconds);
  }
  stop_at(op_sleep, nullptr, nullptr, __builtin_return_address(0));
  return 0;
}

int usleep(useconds_t microseconds) {
  if (!scheduling()) {
    return real::next<int(useconds_t)>("usleep")(microseconds);
  }
  stop_at(op_sleep, nullptr, nullptr, __builtin_return_address(0));
  return 0;
}

int nanosleep(const struct timespec *length, struct timespec *left) {
  if (!scheduling()) {
    return real::next<int(const timespec *, timespec *)>("nanosleep")(length, left);
  }
  stop_at(op_sleep, nullptr, nullptr, __builtin_return_address(0));
  return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *length,
                    struct timespec *left) {
  if (!scheduling()) {
    return real::next<int(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep")(
        clock, flags, length, left);
  }
  stop_at(op_sleep, nullptr, nullptr, __builtin_return_address(0));
  return 0;
}

int sched_yield() {
  if (!scheduling()) {
    return real::next<int()>("sched_yield")();
  }
  stop_at(op_yield, nullptr, nullptr, __builtin_return_address(0));
  return 0;
}

// main is reached through the C library's start-up, which the program calls with main's
// address: the server takes its place.
int __libc_start_main(int (*main)(int, char **, char **), int argc, char **argv, void (*init)(),
                      void (*fini)(), void (*rtld_fini)(), void *stack_end) {
  using Start =
      int(int (*)(int, char **, char **), int, char **, void (*)(), void (*)(), void (*)(), void *);
  program_main = main;
  return real::next<Start>("__libc_start_main")(getenv("THREADLAB_FD") != nullptr ? served : main,
                                                argc, argv, init, fini, rtld_fini, stack_end);
}

}  // extern "C"
