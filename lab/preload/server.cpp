// SPDX-License-Identifier: MIT
// The scheduler is a fork server. Before main, the program waits for requests on the socket
// named by THREADLAB_FD; for each, it forks a process that runs main once, under the schedule
// asked for, with standard input read again from its start and standard output and error
// caught. The run's steps, threads and objects live in memory shared with the server, which
// survives the run's crash or kill, and the server sends them back as lines of text (reply).
// A run costs a fork, not a program start.
//
// The server watches each run, and ends it only for what the run itself does, never for the
// time it waits for a processor: a run whose thread uses more CPU time than its limit without
// making a step spins; one whose thread sleeps in the kernel, in a call that is not a step,
// for longer than its limit is blocked there, and the server names the call; the clock on
// the wall ends a run only after ten minutes, as the tool's own limit. The run is a process
// group of its own, killed whole.
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "chooser.h"
#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

constexpr size_t object_capacity = size_t{1} << 16U;
constexpr size_t step_capacity = size_t{1} << 21U;
constexpr size_t choice_capacity = size_t{1} << 21U;
constexpr int64_t wall_limit_ms = 600000;

const char *const op_names[] = {
#define LAB_NAME(name) #name,
    LAB_STEPS(LAB_NAME)
#undef LAB_NAME
};

real::Image image;
int (*program_main)(int, char **, char **) = nullptr;

// How a run ended, as the server saw it.
enum How : int { by_itself, spun, blocked, wall, killed_outside };

struct Watched {
  How how = by_itself;
  int64_t detail = 0;  // spun: the CPU time in ms; blocked: the system call's number
  int status = 0;
};

template <typename Type>
Type *map_shared(size_t count) {
  void *memory = mmap(nullptr, count * sizeof(Type), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return memory == MAP_FAILED ? nullptr : static_cast<Type *>(memory);
}

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
    const ssize_t got = pread(fd, text + used, static_cast<size_t>(length), 0);
    used += got > 0 ? static_cast<size_t>(got) : 0;
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

const char *address(uintptr_t value) {
  static char text[4][24];
  static int which = 0;
  which = (which + 1) % 4;
  snprintf(text[which], sizeof text[which], "%s%" PRIxPTR, image.holds(value) ? "e" : "",
           image.holds(value) ? value - image.base : value);
  return text[which];
}

void hex(Output &said, const unsigned char *bytes, size_t size) {
  for (size_t b = 0; b < size; ++b) {
    said.add("%02x", bytes[b]);
  }
}

// One line for the result, one for the state at the end, one for each step, thread and
// object, then the output; every address that lies in the program's own image relative to it
// (as its symbol table gives it), marked with 'e'.
void reply(int fd, const Watched &watched, int out, int err) {
  static Output said;
  said.used = 0;
  const Shared &shared = run();
  said.add("result %d %d %" PRId64 " %d %d %d %d %s", watched.status, watched.how, watched.detail,
           shared.verdict, shared.steps, shared.code, shared.culprit,
           address(shared.culprit_object));
  said.add(" %s", address(shared.culprit_mutex));
  said.add(" %s %" PRId64 " %d %d %s %d\n", address(shared.culprit_caller), shared.clock,
           shared.race_step, shared.race_other, address(shared.race_address), shared.race_size);
  const Options now = shared.verdict == running ? Options{} : options_now();
  said.add("now %" PRIx64 " %" PRIx64 " %" PRIx64 " ", now.enabled, now.asleep, now.timed);
  const size_t size = watched_bytes();
  hex(said, shared.watched, size);
  said.add("\n");
  for (int i = 0; i < shared.steps; ++i) {
    const Step &step = tables.steps[i];
    said.add("step %u %u %u %d %d %" PRIx64 " %" PRIx64 " %" PRIx64 " %" PRIx64 " %s", step.thread,
             step.op, step.flags, step.picked, step.first, step.enabled, step.waiting, step.timed,
             step.picks, address(step.object));
    said.add(" %s %s %" PRId64 " ", address(step.mutex), address(step.caller), step.printed);
    hex(said, step.watched, size);
    said.add("\n");
  }
  for (int i = 0; i < shared.threads; ++i) {
    const Thread &each = shared.thread[i];
    said.add("thread %d %d %d %d %u %d %s", i, each.used, each.ended, each.waiting, each.pending,
             each.timed_out, address(each.object));
    said.add(" %s %s", address(each.mutex), address(each.caller));
    said.add(" %s\n", address(each.start));
  }
  for (int i = 0; i < shared.objects; ++i) {
    const Object &each = tables.objects[tables.object_list[i]];
    said.add("object %s %u %d %d\n", address(each.address), each.kind, each.owner, each.count);
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

void say(int fd, const char *format, ...) __attribute__((format(printf, 2, 3)));
void say(int fd, const char *format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length > 0 && write(fd, line, static_cast<size_t>(length)) != length) {
    _exit(2);
  }
}

struct Limits {
  int64_t cpu_ms;
  int64_t blocked_ms;
};

// A request, one line: run STOP SEED SPURIOUS BOUND FAIR CPU_MS BLOCKED_MS CHOICE...; a choice
// is a thread's number, ~ and a waiting thread's number (a spurious wake-up), @ and a thread's
// number (its wait times out), or a number, > and a waiter's number (a signal that wakes it).
// False, with why, for a request that cannot be read or made.
bool parse(char *line, Request &request, Limits &limits, const char *&why) {
  char *rest = nullptr;
  const char *word = strtok_r(line, " \n", &rest);
  why = "a request that is not one";
  if (word == nullptr || strcmp(word, "run") != 0) {
    return false;
  }
  long long numbers[7];
  for (long long &number : numbers) {
    word = strtok_r(nullptr, " \n", &rest);
    if (word == nullptr) {
      return false;
    }
    number = strtoll(word, nullptr, 10);
  }
  request.stop = numbers[0] != 0 ? 1 : 0;
  request.seed = static_cast<uint64_t>(numbers[1]);
  request.spurious = static_cast<int32_t>(numbers[2]);
  request.bound = static_cast<int32_t>(numbers[3]);
  request.fair = numbers[4] != 0 ? 1 : 0;
  limits = Limits{numbers[5], numbers[6]};
  if (request.bound <= 0 || static_cast<size_t>(request.bound) > step_capacity) {
    why = "a bound beyond the table of steps";
    return false;
  }
  request.choices = 0;
  while ((word = strtok_r(nullptr, " \n", &rest)) != nullptr) {
    if (static_cast<size_t>(request.choices) == choice_capacity) {
      why = "a schedule longer than the table of choices";
      return false;
    }
    Choice choice{-1, mark_run, -1};
    choice.mark = word[0] == '~' ? mark_spurious : word[0] == '@' ? mark_timeout : mark_run;
    char *end = nullptr;
    choice.thread = static_cast<int8_t>(strtol(word + (choice.mark != mark_run ? 1 : 0), &end, 10));
    if (*end == '>') {
      choice.pick = static_cast<int8_t>(strtol(end + 1, nullptr, 10));
    }
    tables.choices[request.choices++] = choice;
  }
  return true;
}

int64_t milliseconds_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// A line of /proc about the run's process, read into buffer; false when it cannot be read.
bool read_proc(pid_t pid, int tid, const char *what, char *buffer, size_t size) {
  char path[96];
  if (tid > 0) {
    snprintf(path, sizeof path, "/proc/%d/task/%d/%s", pid, tid, what);
  } else {
    snprintf(path, sizeof path, "/proc/%d/%s", pid, what);
  }
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const ssize_t got = read(fd, buffer, size - 1);
  close(fd);
  if (got <= 0) {
    return false;
  }
  buffer[got] = '\0';
  return true;
}

// The run's CPU time so far, in milliseconds; and a thread's state letter (R, S, D...).
int64_t cpu_ms(pid_t pid) {
  char text[1024];
  if (!read_proc(pid, 0, "stat", text, sizeof text)) {
    return 0;
  }
  const char *fields = strrchr(text, ')');
  unsigned long long user = 0;
  unsigned long long system = 0;
  if (fields == nullptr ||
      sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) !=
          2) {
    return 0;
  }
  return static_cast<int64_t>((user + system) * 1000 /
                              static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)));
}

char state_of(pid_t pid, int tid) {
  char text[1024];
  if (tid <= 0 || !read_proc(pid, tid, "stat", text, sizeof text)) {
    return '?';
  }
  const char *fields = strrchr(text, ')');
  return fields != nullptr && fields[1] == ' ' ? fields[2] : '?';
}

int64_t system_call_of(pid_t pid, int tid) {
  char text[256];
  if (!read_proc(pid, tid, "syscall", text, sizeof text)) {
    return -1;
  }
  char *end = nullptr;
  const long long number = strtoll(text, &end, 10);
  return end == text ? -1 : number;
}

void kill_run(pid_t child) {
  kill(-child, SIGKILL);
  kill(child, SIGKILL);
}

// True once the run's process has ended; its status in status.
bool reaped(pid_t child, int &status) {
  return waitpid(child, &status, WNOHANG) == child;
}

// Waits for the run's end, and ends it where it spins, is blocked, or outlives the tool's own
// limit. The server is woken when the run's process ends (by a pidfd; where the system has
// none, by a pipe that closes with the process, unless the program closed it itself), and
// looks at the run every tenth of a second.
Watched oversee(pid_t child, int alive, const Limits &limits) {
  Watched seen;
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  pollfd ending{pidfd >= 0 ? pidfd : alive, POLLIN, 0};
  const int64_t started = milliseconds_now();
  int last_steps = -1;
  int64_t cpu_mark = 0;
  int64_t blocked_since = -1;
  bool killed = false;
  for (;;) {
    const int ready = poll(&ending, ending.fd >= 0 ? 1 : 0, 100);
    if (reaped(child, seen.status)) {
      break;
    }
    if (ready > 0 && ending.fd == alive) {
      // The pipe closed: the process is ending, or the program closed the pipe itself.
      bool ended = false;
      for (int tries = 0; tries < 100 && !(ended = reaped(child, seen.status)); ++tries) {
        usleep(1000);
      }
      if (ended) {
        break;
      }
      ending.fd = -1;
    }
    const int64_t now = milliseconds_now();
    const int steps = run().steps;
    const int64_t cpu = cpu_ms(child);
    const int tid = run().thread[run().running].tid;
    if (steps != last_steps) {
      last_steps = steps;
      cpu_mark = cpu;
      blocked_since = -1;
    } else if (cpu - cpu_mark > limits.cpu_ms) {
      seen.how = spun;
      seen.detail = cpu - cpu_mark;
    } else if (const char state = state_of(child, tid); state == 'S' || state == 'D') {
      blocked_since = blocked_since < 0 ? now : blocked_since;
      if (now - blocked_since > limits.blocked_ms) {
        seen.how = blocked;
        seen.detail = system_call_of(child, tid);
      }
    } else {
      blocked_since = -1;
    }
    if (seen.how == by_itself && now - started > wall_limit_ms) {
      seen.how = wall;
    }
    if (seen.how != by_itself) {
      kill_run(child);
      killed = true;
      waitpid(child, &seen.status, 0);
      break;
    }
  }
  if (pidfd >= 0) {
    close(pidfd);
  }
  if (!killed && WIFSIGNALED(seen.status) && WTERMSIG(seen.status) == SIGKILL) {
    seen.how = killed_outside;  // a run is killed only by its server, or from outside
  }
  kill(-child, SIGKILL);  // what the run started, and left behind
  return seen;
}

void reset() {
  Shared &shared = run();
  const uint32_t stamp = shared.stamp + 1;
  const size_t state = offsetof(Shared, verdict);
  memset(reinterpret_cast<char *>(&shared) + state, 0, sizeof(Shared) - state);
  shared.stamp = stamp;
  shared.verdict = running;
  shared.race_step = -1;
  shared.race_other = -1;
  shared.spurious_left = shared.request.spurious;
  shared.random = shared.request.seed * 0x9E3779B97F4A7C15ULL + 1;
}

[[noreturn]] void run_main(int argc, char **argv, char **envp) {
  begin_main();
  const int status = program_main(argc, argv, envp);
  stop_at(op_return, nullptr, nullptr, __builtin_return_address(0));
  end_process();
  exit(status);
}

// Memory in the program's image named by a variable: OFFSET:SIZE+OFFSET:SIZE..., hexadecimal
// offsets, decimal sizes; not commas, which qemu-user's -E takes for a list of variables.
template <typename Take>
void read_ranges(const char *variable, Take take) {
  const char *given = getenv(variable);
  while (given != nullptr && *given != '\0') {
    char *end = nullptr;
    const uintptr_t offset = strtoull(given, &end, 16);
    const size_t size = strtoull(end + 1, &end, 10);
    take(image.base + offset, size);
    given = *end == '+' ? end + 1 : end;
  }
}

void read_watches() {
  read_ranges("THREADLAB_WATCH", watch);    // read at every step, for the client's checks
  read_ranges("THREADLAB_IGNORE", ignore);  // accesses to it are no steps (memory.cpp)
}

// What a program that the run starts (by exec or system) must not inherit: the scheduler,
// and the server's socket.
void clear_environment() {
  const char *preload = getenv("LD_PRELOAD");
  if (preload != nullptr) {
    static char kept[4096];
    kept[0] = '\0';
    char copy[4096];
    snprintf(copy, sizeof copy, "%s", preload);
    char *rest = nullptr;
    for (char *word = strtok_r(copy, " :", &rest); word != nullptr;
         word = strtok_r(nullptr, " :", &rest)) {
      const char *base = strrchr(word, '/');
      if (strcmp(base != nullptr ? base + 1 : word, "threadlab-schedule.so") != 0) {
        snprintf(kept + strlen(kept), sizeof kept - strlen(kept), "%s%s", kept[0] ? ":" : "", word);
      }
    }
    if (kept[0] != '\0') {
      setenv("LD_PRELOAD", kept, 1);
    } else {
      unsetenv("LD_PRELOAD");
    }
  }
  for (const char *name :
       {"THREADLAB_FD", "THREADLAB_WATCH", "THREADLAB_IGNORE", "THREADLAB_CPU"}) {
    unsetenv(name);
  }
}

int serve(int fd, int argc, char **argv, char **envp) {
  const char *given = getenv("THREADLAB_CPU");
  const int cpu = given != nullptr ? atoi(given) : -1;
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  image = real::program_image();
  static Thread main_thread;  // main's stack, found here once for every run
  set_stack(main_thread);
  begin_memory();
  read_watches();
  clear_environment();
  tables.shared = map_shared<Shared>(1);
  tables.objects = map_shared<Object>(object_capacity);
  tables.object_list = map_shared<uint32_t>(object_capacity);
  tables.object_capacity = object_capacity;
  tables.steps = map_shared<Step>(step_capacity);
  tables.step_capacity = step_capacity;
  tables.choices = map_shared<Choice>(choice_capacity);
  tables.choice_capacity = choice_capacity;
  const int out = memfd_create("stdout", MFD_CLOEXEC);
  const int err = memfd_create("stderr", MFD_CLOEXEC);
  if (tables.shared == nullptr || tables.objects == nullptr || tables.object_list == nullptr ||
      tables.steps == nullptr || tables.choices == nullptr || out < 0 || err < 0) {
    say(fd, "error the scheduler's tables: %s\n", strerror(errno));
    return 2;
  }
  // What every run would otherwise do for itself, done once here: the C library loads its
  // unwinder (for pthread_exit) on first use.
  void *frame = nullptr;
  backtrace(&frame, 1);
  char names[1024] = "";
  for (const char *name : op_names) {
    snprintf(names + strlen(names), sizeof names - strlen(names), "%s%s", names[0] ? "," : "",
             name);
  }
  say(fd, "ready %d %s %zu\n", getpid(), names, step_capacity);
  FILE *requests = fdopen(dup(fd), "r");
  char *line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, requests) > 0) {
    Limits limits{};
    const char *why = nullptr;
    if (!parse(line, run().request, limits, why)) {
      say(fd, "error %s\n", why);
      continue;
    }
    reset();
    (void)!ftruncate(out, 0);
    (void)!ftruncate(err, 0);
    lseek(out, 0, SEEK_SET);
    lseek(err, 0, SEEK_SET);
    int alive[2];
    if (pipe2(alive, O_CLOEXEC) != 0) {
      say(fd, "error a pipe for the run: %s\n", strerror(errno));
      continue;
    }
    const pid_t child = fork();
    if (child < 0) {
      say(fd, "error the system refused the run's process (fork: %s)\n", strerror(errno));
      close(alive[0]);
      close(alive[1]);
      continue;
    }
    if (child == 0) {
      setpgid(0, 0);
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
      run_main(argc, argv, envp);
    }
    close(alive[1]);
    const Watched watched = oversee(child, alive[0], limits);
    close(alive[0]);
    reply(fd, watched, out, err);
  }
  return 0;
}

int served(int argc, char **argv, char **envp) {
  return serve(atoi(getenv("THREADLAB_FD")), argc, argv, envp);
}

}  // namespace

bool in_program(const void *address) {
  return image.holds(reinterpret_cast<uintptr_t>(address));
}

}  // namespace lab

extern "C" {

// main is reached through the C library's start-up, which the program calls with main's
// address: the server takes its place.
int __libc_start_main(int (*main)(int, char **, char **), int argc, char **argv, void (*init)(),
                      void (*fini)(), void (*rtld_fini)(), void *stack_end) {
  using Start =
      int(int (*)(int, char **, char **), int, char **, void (*)(), void (*)(), void (*)(), void *);
  lab::program_main = main;
  return real::next<Start>("__libc_start_main")(
      getenv("THREADLAB_FD") != nullptr ? lab::served : main, argc, argv, init, fini, rtld_fini,
      stack_end);
}

}  // extern "C"
