# SPDX-License-Identifier: MIT
"""Partial-order reduction for the scheduler's search: schedules that differ only in the order
of independent steps reach the same state, and the search need not go on from a state twice.

Two steps are dependent when one thread makes both, or when both touch one object (a mutex, a
condition variable, any synchronisation object; a thread, as its creation, start, end and
join do; standard output, when the code after the step printed; the run's clock, as sleeps
and time-outs move it; a location in memory, unless both only read it). Two schedules whose
steps are the same, with every pair of dependent steps in the same order, are one
happens-before class (a Mazurkiewicz trace): they reach the same state. The state after a
prefix of a run is known by its class, hashed as each thread's sequence of steps together
with each object's sequence of accesses; by the thread that moved last, which the cost of the
next choice depends on; and by what the bounds still allow. A state reached again with no
more left of either bound than when it was first reached has nothing new to offer: every
schedule from it, within those bounds, has been or will be run from the first visit (state
caching on happens-before graphs, as CHESS does it with context bounding).

A state is taken just after a step is made and before its thread runs on: so a choice that the
search has yet to make is known by the step it makes (the step at which its thread stands,
which the run shows where that thread moves later), and one that leads to a state already
reached is never run.

What a program does between two steps is not seen: the reduction is sound for programs in
which threads share memory only under synchronisation (free of data races), or whose memory
accesses are steps (lab/cxx). A run that yields is fair to its yielding thread, a state that
its class does not hold: after the first yield, a run's states are not cached.
"""

MASK = (1 << 64) - 1
THREAD_STEPS = {"create", "start", "exit", "join"}
MEMORY = {"load", "store", "update"}
CLOCK_STEPS = {"sleep", "timeout"}


def touched(op, thread, object_, mutex, created):
    """The objects that a step touches, each as (object, written), but for standard output;
    created is the number of threads created before it."""
    found = []
    if op in THREAD_STEPS:
        target = created if op == "create" else thread if op in ("start", "exit") \
            else int(object_, 16)
        found.append((("thread", target), True))
    elif op == "return":
        found.append((("process",), True))
    elif op in MEMORY:
        found.append((("memory", object_), op != "load"))
    elif op not in ("yield", "sleep", "none"):
        found.append((object_, True))
        if mutex != "0":
            found.append((mutex, True))
    if op in CLOCK_STEPS:
        found.append((("clock",), True))
    return found


def identity(step):
    """What a step is, as one thread's sequence of steps tells it: a signal's waiter counts only
    where it is not the default one, which the state decides."""
    return (step.op, step.object, step.mutex, step.flags & 3,
            step.picked if step.flags & 8 else None)


class Trace:
    """A prefix of a run, step by step, as the key of its happens-before class."""

    def __init__(self):
        self.by_thread, self.by_object, self.done = {}, {}, {}
        self.total, self.created = 0, 1

    def _thread(self, thread, what):
        old = self.by_thread.get(thread, 0)
        new = hash((old, what))
        return new, hash((thread, new)) - (hash((thread, old)) if old else 0)

    def _object(self, target, written, thread, index):
        writes, reads = self.by_object.get(target, (0, 0))
        before = hash((target, writes, reads)) if (writes or reads) else 0
        if written:
            writes, reads = hash((writes, reads, thread, index)), 0
        else:
            reads = (reads + hash((thread, index))) & MASK
        return (writes, reads), hash((target, writes, reads)) - before

    def step(self, thread, what, objects, apply=True):
        """The key after a step of thread (what it is, and the objects it touches); with apply
        false, the prefix stays as it was."""
        index = self.done.get(thread, 0)
        hashed, change = self._thread(thread, what)
        total = self.total + change
        updates = {}
        for target, written in objects:
            updates[target], change = self._object(target, written, thread, index)
            total += change
        if apply:
            self.by_thread[thread] = hashed
            self.by_object.update(updates)
            self.done[thread] = index + 1
            self.total = total
            self.created += what[0] == "create"
        return total & MASK

    def printed(self, thread):
        """The code after the thread's last step printed: an access to standard output."""
        index = self.done.get(thread, 1) - 1
        self.by_object[("stdout",)], change = self._object(("stdout",), True, thread, index)
        self.total += change


class Visited:
    """The states reached so far, each with the thread that moved last there and the most that
    the bounds still allowed."""

    def __init__(self):
        self.states = {}
        self.classes = set()

    def covered(self, key, previous, left):
        """True when the state was reached before with at least as much of each bound left;
        else it is noted as reached with this much. Reached with another thread the last to
        move, it needs one preemption more left: from one state, a schedule's first choice
        costs at most one preemption more with one thread last than with another, and its
        later choices the same."""
        seen = self.states.setdefault(key, [])
        for last, k, w in seen:
            if w >= left[1] and (k >= left[0] if last == previous else k > left[0]):
                return True
        seen[:] = [(last, k, w) for last, k, w in seen
                   if last != previous or k > left[0] or w > left[1]] + [(previous, *left)]
        return False
