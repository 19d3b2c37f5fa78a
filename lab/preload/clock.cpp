// SPDX-License-Identifier: MIT
// Time, as a run sees it: a clock of the run's own, which starts at the same time in every
// run, so that a schedule gives the same run every time. A sleep (sleep, usleep, nanosleep,
// clock_nanosleep) is a step that takes no real time and moves the clock on by its length; a
// time-out moves it to the deadline that passed; each reading of the clock (clock_gettime,
// gettimeofday, time) moves it on by a microsecond, as running does. So time never goes
// back, a sleep lasts at least as long as it asked for, and a deadline that a thread waits
// for comes. The clocks of CPU time are the system's.
#include <sys/time.h>
#include <time.h>

#include <cerrno>

#include "real.h"
#include "runtime.h"

namespace lab {
namespace {

constexpr int64_t second = 1000000000;
constexpr int64_t wall_start = 1700000000 * second;  // the wall clock at every run's start
constexpr int64_t uptime_start = 100000 * second;    // the monotonic clocks at every run's start

bool virtual_clock(clockid_t clock) {
  switch (clock) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_TAI:
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_BOOTTIME:
      return true;
    default:
      return false;
  }
}

int64_t start_of(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE ? wall_start
         : clock == CLOCK_TAI                                      ? wall_start + 37 * second
                                                                   : uptime_start;
}

int64_t nanoseconds(const timespec &time) {
  return time.tv_sec * second + time.tv_nsec;
}

timespec timespec_of(int64_t nanoseconds) {
  return timespec{static_cast<time_t>(nanoseconds / second),
                  static_cast<long>(nanoseconds % second)};
}

int64_t read_clock(clockid_t clock) {
  run().clock += 1000;
  return start_of(clock) + run().clock;
}

// A sleep: a step, after which the run's clock reads `until` or later.
void sleep_until(int64_t until, const void *caller) {
  stop_at(op_sleep, nullptr, nullptr, caller);
  run().clock = until > run().clock ? until : run().clock;
}

}  // namespace

int64_t clock_deadline(clockid_t clock, const struct timespec *until) {
  if (until == nullptr) {
    return never;
  }
  return nanoseconds(*until) - start_of(virtual_clock(clock) ? clock : CLOCK_MONOTONIC);
}

}  // namespace lab

using namespace lab;

extern "C" {

unsigned int sleep(unsigned int seconds) {
  if (!scheduling()) {
    return real::next<unsigned int(unsigned int)>("sleep")(seconds);
  }
  sleep_until(run().clock + seconds * second, __builtin_return_address(0));
  return 0;
}

int usleep(useconds_t microseconds) {
  if (!scheduling()) {
    return real::next<int(useconds_t)>("usleep")(microseconds);
  }
  sleep_until(run().clock + static_cast<int64_t>(microseconds) * 1000, __builtin_return_address(0));
  return 0;
}

int nanosleep(const struct timespec *length, struct timespec *left) {
  if (!scheduling()) {
    return real::next<int(const timespec *, timespec *)>("nanosleep")(length, left);
  }
  sleep_until(run().clock + nanoseconds(*length), __builtin_return_address(0));
  return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *length,
                    struct timespec *left) {
  if (!scheduling() || !virtual_clock(clock)) {
    return real::next<int(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep")(
        clock, flags, length, left);
  }
  const int64_t until = (flags & TIMER_ABSTIME) != 0 ? clock_deadline(clock, length)
                                                     : run().clock + nanoseconds(*length);
  sleep_until(until, __builtin_return_address(0));
  return 0;
}

int clock_gettime(clockid_t clock, struct timespec *time) {
  if (!scheduling() || !virtual_clock(clock)) {
    return real::next<int(clockid_t, timespec *)>("clock_gettime")(clock, time);
  }
  *time = timespec_of(read_clock(clock));
  return 0;
}

int gettimeofday(struct timeval *time, void *zone) {
  if (!scheduling()) {
    return real::next<int(timeval *, void *)>("gettimeofday")(time, zone);
  }
  const int64_t now = read_clock(CLOCK_REALTIME);
  time->tv_sec = static_cast<time_t>(now / second);
  time->tv_usec = static_cast<suseconds_t>(now % second / 1000);
  return 0;
}

time_t time(time_t *into) {
  if (!scheduling()) {
    return real::next<time_t(time_t *)>("time")(into);
  }
  const auto now = static_cast<time_t>(read_clock(CLOCK_REALTIME) / second);
  if (into != nullptr) {
    *into = now;
  }
  return now;
}

}  // extern "C"
