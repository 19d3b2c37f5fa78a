// SPDX-License-Identifier: MIT
// A program that does, in one thread, something the scheduler cannot judge by its steps,
// chosen when it is built (-DCALL=...): it runs a shell (system), closes every descriptor
// from 3 up, computes for about three seconds of CPU time between two steps, or, where the
// scheduler must give up and say so, forks, cancels a thread, reads a pipe that nobody writes,
// or spins on a flag that nobody sets, without a step.
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>

#define SYSTEM 1
#define CLOSE 2
#define COMPUTE 3
#define FORK 4
#define CANCEL 5
#define READ 6
#define SPIN 7

namespace {
std::atomic<bool> never_set{false};
int result = 0;

void compute(double seconds) {
  const clock_t until = clock() + static_cast<clock_t>(seconds * CLOCKS_PER_SEC);
  volatile unsigned long sum = 0;
  while (clock() < until) {
    sum = sum + 1;
  }
}

void *worker(void *) {
#if CALL == SYSTEM
  result = system("exit 3") == 3 << 8 ? 0 : 1;
#elif CALL == CLOSE
  for (int fd = 3; fd < 1024; ++fd) {
    close(fd);
  }
#elif CALL == COMPUTE
  compute(3.0);
#elif CALL == FORK
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  waitpid(child, nullptr, 0);
#elif CALL == CANCEL
  pthread_cancel(pthread_self());
#elif CALL == READ
  int ends[2];
  char byte = 0;
  if (pipe(ends) == 0 && read(ends[0], &byte, 1) != 1) {
    result = 1;
  }
#elif CALL == SPIN
  while (!never_set) {
  }
#endif
  return nullptr;
}
}  // namespace

int main() {
  pthread_t thread;
  pthread_create(&thread, nullptr, worker, nullptr);
  pthread_join(thread, nullptr);
  return result;
}
