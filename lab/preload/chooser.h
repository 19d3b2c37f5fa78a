// SPDX-License-Identifier: MIT
// The chooser: which thread makes the next step. It follows the schedule it was given, step
// by step; after its end, it goes on by default (the thread that moved last goes on while it
// can, else the first that can, in the order the threads were created), or at random. Every
// chooser is fair to a thread that yields: after a sched_yield (and after a sleep, when the
// run is asked to be fair to sleeps too), the thread moves again only once each other thread
// that could move then has made a step, or can no longer move.
#ifndef LAB_PRELOAD_CHOOSER_H
#define LAB_PRELOAD_CHOOSER_H

#include "runtime.h"

namespace lab {

struct Options {
  Mask enabled;  // the threads that may be chosen: they can move, and fairness lets them
  Mask movable;  // the threads that can move, fairness aside
  Mask asleep;   // the threads waiting on a condition variable, unwoken
  Mask timed;    // the threads whose wait has a deadline that has not yet passed
};

Options options_now();
// The choice for the next step; it ends the run where the schedule cannot be followed, or
// where the run was asked to stop.
Choice choose(const Options &options);
Choice default_choice(const Options &options);
bool same(Choice one, Choice other);
// After a step is recorded: who moved last, and what fairness owes to whom.
void moved(Choice choice, const Options &options);
// The threads waiting on a condition variable, and the one that has waited longest.
Mask waiters(uintptr_t cond);
int longest_waiting(Mask among);

}  // namespace lab

#endif
