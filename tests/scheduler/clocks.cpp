// SPDX-License-Identifier: MIT
// A program that measures its own sleeps: a second's sleep, and a thread's 200 ms sleep_for,
// each last at least as long on the clock, and the wall clock moves on with the monotonic one.
#include <pthread.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {
double seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
}  // namespace

int main() {
  const double began = seconds(CLOCK_MONOTONIC);
  const time_t wall = time(nullptr);
  sleep(1);
  int wrong = seconds(CLOCK_MONOTONIC) - began < 1.0 ? 1 : 0;
  wrong |= time(nullptr) < wall + 1 ? 2 : 0;
  std::thread sleeper([&wrong] {
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    wrong |= std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200) ? 4 : 0;
  });
  sleeper.join();
  return wrong;
}
