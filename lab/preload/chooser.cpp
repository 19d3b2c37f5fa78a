// SPDX-License-Identifier: MIT
#include "chooser.h"

namespace lab {

namespace {

constexpr Mask bit(int thread) {
  return Mask{1} << static_cast<unsigned>(thread);
}

uint64_t next_random() {  // xorshift64
  uint64_t x = run().random;
  x ^= x << 13U;
  x ^= x >> 7U;
  x ^= x << 17U;
  return run().random = x;
}

int nth(Mask mask, uint64_t n) {
  for (int i = 0; i < max_threads; ++i) {
    if ((mask & bit(i)) != 0 && n-- == 0) {
      return i;
    }
  }
  return -1;
}

Choice random_choice(const Options &options) {
  Shared &shared = run();
  const Mask spurious = shared.spurious_left > 0 ? options.asleep : 0;
  const auto count = [](Mask mask) { return static_cast<uint64_t>(__builtin_popcountll(mask)); };
  const uint64_t all = count(options.enabled) + count(spurious) + count(options.timed);
  if (all == 0) {
    return Choice{-1, mark_run, -1};
  }
  uint64_t pick = next_random() % all;
  if (pick < count(options.enabled)) {
    const int chosen = nth(options.enabled, pick);
    int8_t woken = -1;
    if (thread(chosen).pending == op_signal) {
      const Mask sleepers = waiters(thread(chosen).object);
      if (__builtin_popcountll(sleepers) > 1) {
        woken = static_cast<int8_t>(nth(sleepers, next_random() % count(sleepers)));
      }
    }
    return Choice{static_cast<int8_t>(chosen), mark_run, woken};
  }
  pick -= count(options.enabled);
  if (pick < count(spurious)) {
    --shared.spurious_left;
    return Choice{static_cast<int8_t>(nth(spurious, pick)), mark_spurious, -1};
  }
  pick -= count(spurious);
  return Choice{static_cast<int8_t>(nth(options.timed, pick)), mark_timeout, -1};
}

}  // namespace

Mask waiters(uintptr_t cond) {
  Mask found = 0;
  for (int i = 0; i < run().threads; ++i) {
    const Thread &other = thread(i);
    if (other.used != 0 && other.ended == 0 && other.waiting != 0 && other.object == cond) {
      found |= bit(i);
    }
  }
  return found;
}

int longest_waiting(Mask among) {
  int first = -1;
  for (int i = 0; i < run().threads; ++i) {
    if ((among & bit(i)) != 0 && (first < 0 || thread(i).order < thread(first).order)) {
      first = i;
    }
  }
  return first;
}

Options options_now() {
  Options options{};
  for (int i = 0; i < run().threads; ++i) {
    const Thread &candidate = thread(i);
    if (candidate.used == 0 || candidate.ended != 0) {
      continue;
    }
    const bool movable = can_move(candidate);
    options.movable |= movable ? bit(i) : 0;
    options.asleep |= candidate.waiting != 0 ? bit(i) : 0;
    const bool blocked = candidate.pending == op_relock ? candidate.waiting != 0 : !movable;
    if (candidate.deadline != never && candidate.timed_out == 0 && blocked) {
      options.timed |= bit(i);
    }
  }
  options.enabled = options.movable;
  for (int i = 0; i < run().threads; ++i) {
    if ((thread(i).ahead & options.movable) != 0) {
      options.enabled &= ~bit(i);
    }
  }
  if (options.enabled == 0) {
    options.enabled = options.movable;  // fairness never leaves every thread waiting
  }
  return options;
}

Choice default_choice(const Options &options) {
  const int previous = run().previous;
  if ((options.enabled & bit(previous)) != 0) {
    return Choice{static_cast<int8_t>(previous), mark_run, -1};
  }
  if (options.enabled != 0) {
    return Choice{static_cast<int8_t>(__builtin_ctzll(options.enabled)), mark_run, -1};
  }
  // No thread can move: time passes, and the wait whose deadline comes first times out.
  int first = -1;
  for (int i = 0; i < run().threads; ++i) {
    if ((options.timed & bit(i)) != 0 &&
        (first < 0 || thread(i).deadline < thread(first).deadline)) {
      first = i;
    }
  }
  return Choice{static_cast<int8_t>(first), mark_timeout, -1};
}

bool same(Choice one, Choice other) {
  return one.thread == other.thread && one.mark == other.mark && one.pick == other.pick;
}

Choice choose(const Options &options) {
  Shared &shared = run();
  const Request &request = shared.request;
  if (shared.steps < request.choices) {
    const Choice given = tables.choices[shared.steps];
    const Mask allowed = given.mark == mark_spurious  ? options.asleep
                         : given.mark == mark_timeout ? options.timed
                                                      : options.enabled;
    if (given.thread < 0 || given.thread >= shared.threads || (allowed & bit(given.thread)) == 0) {
      finish(cannot_follow);
    }
    return given;
  }
  if (request.stop != 0 && (options.enabled | options.asleep | options.timed) != 0) {
    finish(stopped);
  }
  if (request.seed != 0) {
    return random_choice(options);
  }
  return default_choice(options);
}

void moved(Choice choice, const Options &options) {
  run().previous = choice.thread;
  if (choice.mark != mark_run) {
    return;
  }
  const Mask mover = bit(choice.thread);
  for (int i = 0; i < run().threads; ++i) {
    thread(i).ahead &= ~mover;
  }
  Thread &chosen = thread(choice.thread);
  if (chosen.pending == op_yield || (run().request.fair != 0 && chosen.pending == op_sleep)) {
    chosen.ahead = options.movable & ~mover;
  }
}

}  // namespace lab
