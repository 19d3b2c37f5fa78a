// SPDX-License-Identifier: MIT
// Waits with deadlines. A timed wait that nobody signals ends with ETIMEDOUT; C++'s wait_for
// (pthread_cond_clockwait underneath) waits until a worker sets its flag or the time runs
// out, whichever comes first; a timed lock of a mutex that another thread holds gives up. The
// program checks what each call returned, and the status says whether each was right. The
// bug: it waits without a deadline for a signal that never comes.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t never_signalled = PTHREAD_COND_INITIALIZER;

int lone_timed_wait() {
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 1;
  pthread_mutex_lock(&mutex);
  int result = 0;
  bool right = true;
  while (result == 0) {  // a wake-up with no signal, which POSIX allows: wait again
#ifdef BUG
    result = pthread_cond_wait(&never_signalled, &mutex) == 0 ? 0 : ETIMEDOUT;
#else
    result = pthread_cond_timedwait(&never_signalled, &mutex, &until);
#endif
    // Nobody signals: a 0 is a wake-up before the deadline, ETIMEDOUT comes at it or after.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const bool passed =
        now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec);
    right = right && (result == ETIMEDOUT) == passed;
  }
  pthread_mutex_unlock(&mutex);
  return result == ETIMEDOUT && right ? 0 : 1;
}

int wait_for_worker() {
  std::mutex guard;
  std::condition_variable done;
  bool flag = false;
  std::thread worker([&] {
    const std::lock_guard<std::mutex> hold(guard);
    flag = true;
    done.notify_one();
  });
  std::unique_lock<std::mutex> hold(guard);
  while (!done.wait_for(hold, std::chrono::milliseconds(50), [&] { return flag; })) {
  }
  hold.unlock();
  worker.join();
  return flag ? 0 : 1;
}

int timed_lock_of_held_mutex() {
  std::timed_mutex lock;
  lock.lock();
  int result = 0;
  std::thread other([&] { result = lock.try_lock_for(std::chrono::milliseconds(10)) ? 1 : 0; });
  other.join();
  lock.unlock();
  return result;
}
}  // namespace

int main() {
  return lone_timed_wait() | wait_for_worker() << 1 | timed_lock_of_held_mutex() << 2;
}
