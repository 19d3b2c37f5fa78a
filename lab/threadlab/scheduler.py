# SPDX-License-Identifier: MIT
"""The scheduler's client: starts a program under the scheduler library (lab/preload/
schedule.cpp), asks it for runs, one schedule each, and names what they did in the code's words.

A schedule is written as a string of letters, one for each step of a thread: `m` is main, and
each other thread has the first letter of its role or function (`p` the producer, `c` the
consumer), or the first letter free. A number after a letter repeats it (`p12` is twelve steps
of the producer), and `~` after a letter is a spurious wake-up of that thread's wait. Spaces
are ignored. After its last letter a run goes on by default: the thread that moved last goes on
while it can, else the first that can, in the order the threads were created."""

import glob
import os
import re
import shutil
import socket
import subprocess
import tempfile
from dataclasses import dataclass, field

from . import PROJECT, day, elf, source

OPS = ["none", "start", "lock", "trylock", "unlock", "wait", "wake", "relock", "signal",
       "broadcast", "create", "join", "exit", "sleep", "yield", "return"]
VERDICTS = ["running", "ended", "deadlock", "too many steps", "cannot follow", "stopped"]
LIBRARY = "threadlab-schedule.so"
MACHINES = {62: "x86_64", 183: "aarch64"}


class ToolFailed(Exception):
    """The scheduler could not do its job: said in one line, exit status 2."""


class Step:
    """One step of a run, as the chooser saw it."""
    __slots__ = ("thread", "op", "enabled", "waiting", "object", "mutex", "caller", "printed",
                 "watched", "spurious")

    def __init__(self, thread, op, enabled, waiting, object_, mutex, caller, printed, watched):
        self.thread = thread
        self.op = op
        self.enabled = enabled  # the threads that could have made this step, one bit each
        self.waiting = waiting  # the threads waiting on a condition variable, unwoken
        # Addresses as the library sends them: e1a2b lies in the program's image.
        self.object = object_
        self.mutex = mutex
        self.caller = caller
        self.printed = printed  # bytes of output before the step
        self.watched = watched
        self.spurious = op == "wake"


@dataclass
class Thread:
    id: int
    ended: bool
    waiting: bool
    pending: str
    object: str
    mutex: str
    caller: str
    start: str


@dataclass
class Run:
    status: int  # the child's wait status
    timed_out: bool
    verdict: str
    steps: list
    threads: list
    owners: dict  # mutex address: owning thread or -1
    out: bytes
    err: bytes
    watched: bytes  # the watched memory as the run ended or stopped
    can: int        # then, the threads that could move, and those waiting unwoken
    asleep: int
    choices: list = field(default_factory=list)  # what the run was asked to follow

    @property
    def signal(self):
        return self.status & 0x7F if 0 < self.status & 0x7F < 0x7F else None

    @property
    def exit_status(self):
        return None if self.signal or self.timed_out else self.status >> 8 & 0xFF

    def chosen(self):
        """The run's choices, as (thread, spurious) for each step."""
        return [(step.thread, step.spurious) for step in self.steps]


def find_library(program_file, given=None, name=LIBRARY):
    """The preload library built for the program's processor: the one given, or in the
    program's own build folder, or in one of the project's builds (build/NAME, or build)."""
    machine = program_file.machine
    candidates = [given] if given else [
        os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(program_file.path))),
                     "lib", name),
        os.path.join(PROJECT, "build", "default", "lib", name),
        *sorted(glob.glob(os.path.join(PROJECT, "build", "*", "lib", name))),
        os.path.join(PROJECT, "build", "lib", name),
    ]
    for path in filter(None, candidates):
        try:
            if elf.Program(path).machine == machine:
                return path
        except elf.NotReadable:
            continue
    raise ToolFailed(f"no {name} for {MACHINES.get(machine, 'this processor')} was found: "
                     "build it with cmake --workflow --preset default (or name it with --library)")


def emulator_for(program_file):
    """What runs a program built for another processor here: qemu-user, with the libraries
    that Debian's cross toolchain brings."""
    machine = MACHINES.get(program_file.machine)
    if machine is None or machine == os.uname().machine:
        return []
    qemu = shutil.which(f"qemu-{machine}")
    if qemu is None:
        raise ToolFailed(f"the program is built for {machine}: running it here needs "
                         f"qemu-{machine} (Debian: qemu-user)")
    return [qemu, "-L", f"/usr/{machine}-linux-gnu"]


class Server:
    """The program, started once under the scheduler library, waiting for runs."""

    def __init__(self, program, data, library=None, watch=(), cpu=None, start_limit=30.0):
        try:
            self.program = elf.Program(program)
        except elf.NotReadable as why:
            raise ToolFailed(str(why)) from None
        if self.program.stripped:
            raise ToolFailed(f"{program} is stripped: the scheduler names threads, mutexes and "
                             "steps from its symbols (build it without stripping it)")
        if ".interp" not in self.program.sections:
            raise ToolFailed(f"{program} is statically linked: the scheduler is loaded into "
                             "dynamically linked programs only (the default build)")
        self.watch = [self.program.by_name[n] for n in watch if n in self.program.by_name]
        self.input = tempfile.TemporaryFile()
        self.input.write(data)
        self.input.flush()
        self.input.seek(0)
        ours, theirs = socket.socketpair()
        library = find_library(self.program, library)
        emulator = emulator_for(self.program)
        env = dict(os.environ, THREADLAB_FD=str(theirs.fileno()),
                   THREADLAB_WATCH="+".join(f"{s.address:x}:{s.size}" for s in self.watch),
                   THREADLAB_CPU=str(cpu if cpu is not None else -1))
        command = [os.path.abspath(program)]
        if emulator:
            command = emulator + ["-E", f"LD_PRELOAD={library}",
                                  "-E", f"THREADLAB_FD={theirs.fileno()}",
                                  "-E", f"THREADLAB_WATCH={env['THREADLAB_WATCH']}",
                                  "-E", f"THREADLAB_CPU={env['THREADLAB_CPU']}"] + command
        else:
            env["LD_PRELOAD"] = library
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(command, stdin=self.input, stdout=subprocess.DEVNULL,
                                        stderr=self.log, env=env, pass_fds=[theirs.fileno()])
        theirs.close()
        ours.settimeout(start_limit)
        self.socket = ours
        self.stream = ours.makefile("rb")
        try:
            hello = self.stream.readline()
        except socket.timeout:
            hello = b""
        if not hello.startswith(b"ready"):
            self.close()
            self.log.seek(0)
            said = self.log.read().decode(errors="replace").strip()
            raise ToolFailed(f"{program} did not start under the scheduler library"
                             + (f": {said.splitlines()[-1]}" if said else ""))
        ours.settimeout(None)
        self.runs = 0

    def run(self, choices=(), stop=False, seed=0, spurious=0, bound=20000, timeout=2.0):
        """One run of main, following choices ((thread, spurious) pairs) and then going on by
        default, or at random from seed; with stop, it stops where the choices end."""
        words = [f"~{t}" if s else str(t) for t, s in choices]
        request = (f"run {int(stop)} {seed} {spurious} {bound} {int(timeout * 1000)} "
                   + " ".join(words) + "\n")
        try:
            self.socket.sendall(request.encode())
        except OSError:
            raise ToolFailed("the scheduler library stopped answering") from None
        self.runs += 1
        return self._read(list(choices))

    def _read(self, choices):
        stream = self.stream
        head = stream.readline().split()
        if not head or head[0] != b"result":
            raise ToolFailed("the scheduler library stopped answering")
        status, timed_out, verdict, _ = map(int, head[1:])
        steps, threads, owners, out, err, now = [], [], {}, b"", b"", b""
        while (line := stream.readline()) != b"end\n":
            words = line.split()
            kind = words[0]
            if kind == b"step":
                steps.append(Step(int(words[1]), OPS[int(words[2])], int(words[3], 16),
                                  int(words[4], 16), words[5].decode(), words[6].decode(),
                                  words[7].decode(), int(words[8]),
                                  bytes.fromhex(words[9].decode()) if len(words) > 9 else b""))
            elif kind == b"thread":
                i, used, ended, waiting, pending = map(int, words[1:6])
                if used:
                    threads.append(Thread(i, bool(ended), bool(waiting), OPS[pending],
                                          *(w.decode() for w in words[6:10])))
            elif kind == b"now":
                can, asleep = int(words[1], 16), int(words[2], 16)
                now = bytes.fromhex(words[3].decode()) if len(words) > 3 else b""
            elif kind == b"mutex":
                owners[words[1].decode()] = int(words[2])
            elif kind in (b"out", b"err"):
                data = stream.read(int(words[1]))
                stream.readline()
                out, err = (data, err) if kind == b"out" else (out, data)
        return Run(status, bool(timed_out), VERDICTS[verdict], steps, threads, owners, out, err,
                   now, can, asleep, choices)

    def close(self):
        try:
            self.stream.close()
            self.socket.close()
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class Names:
    """What the program's addresses, threads and steps are called, from its symbols and, where
    it can be found, its source."""

    def __init__(self, program_file, sources=None):
        self.program = program_file
        files = sources or program_file.source_files()
        self.from_debug_information = bool(files) and not sources
        self.sources = source.Sources(files)
        self.letters = {}
        self.roles = {}
        self.callers = {}  # (function, kind): the call sites seen, by address
        self.seen = set()  # (call site, kind) pairs already in callers
        self.functions = {}

    def symbol(self, address):
        """The name of a variable or function at an address in the program's image."""
        if not address.startswith("e"):
            return None
        found = self.program.variable_at(int(address[1:], 16)) or \
            self.program.function_at(int(address[1:], 16))
        return found.name if found else None

    def function(self, caller):
        """The program's function that made a call, from the call's return address."""
        if caller not in self.functions:
            found = self.program.function_at(int(caller[1:], 16) - 1) \
                if caller.startswith("e") else None
            self.functions[caller] = found.name if found else None
        return self.functions[caller]

    def thread_function(self, thread):
        return "main" if thread.id == 0 else (self.symbol(thread.start) or f"thread {thread.id}")

    def learn(self, run):
        """Gives each thread of the run its letter, once."""
        for site in {(step.caller, step.op) for step in run.steps} - self.seen:
            self.seen.add(site)
            self.callers.setdefault((self.function(site[0]), site[1]), set()).add(site[0])
        for thread in run.threads:
            if thread.id in self.letters:
                continue
            function = self.thread_function(thread)
            word = day.ROLES.get(function, function)
            taken = set(self.letters.values())
            letter = "m" if thread.id == 0 else next(
                (c for c in word.lower() + "abcdefghijklnopqrstuvwxyz"
                 if c.isalpha() and c != "m" and c not in taken), "?")
            self.letters[thread.id] = letter
            self.roles[thread.id] = day.role(self.thread_function(thread))

    def who(self, thread_id):
        return self.roles.get(thread_id, f"thread {thread_id}")

    def the(self, thread_id):
        """A thread named in a sentence: main, or the producer (takeOrders)."""
        who = self.who(thread_id)
        return who if who == "main" else f"the {who}"

    def where(self, op, object_, caller, thread_function=None):
        """Where a step stands in the code: (its step's name, like 'put 1', or the function;
        the file and line where the source is known, else '')."""
        # A thread's start, and its end by returning from its function, have no call site.
        ends = op == "exit" and caller == "0"
        function = thread_function if op == "start" or ends else self.function(caller)
        if ends:
            return function, "returns"
        if function is None:
            return "(a library)", ""
        name = self.symbol(object_) if op not in ("join",) else None
        line = self.sources.locate(function, op, name)
        # Calls that the source tells apart by no name: the first call site in the code is
        # taken for the first such line, as a compiler lays out straight code.
        lines = self.sources.candidates(function, op)
        sites = sorted(self.callers.get((function, op), ()), key=lambda a: int(a[1:], 16))
        if name is None and len(lines) > 1 and len(sites) == len(lines) and caller in sites:
            line = lines[sites.index(caller)]
        if line is None:
            return function, ""
        at = f"{os.path.basename(line.path)}:{line.number}"
        return (source.step_name(function, line.step) if line.step else function), at

    def parse(self, text):
        """A schedule string as choices: [(thread, spurious), ...]."""
        by_letter = {letter: i for i, letter in self.letters.items()}
        choices = []
        for letter, mark, count in re.findall(r"([a-z])(~?)(\d*)", re.sub(r"\s", "", text)):
            if letter not in by_letter:
                raise ValueError(f"no thread is called {letter!r} (threads: "
                                 + ", ".join(f"{l} {self.who(i)}" for i, l in
                                             sorted(self.letters.items())) + ")")
            choices += [(by_letter[letter], bool(mark))] * (int(count) if count else 1)
        if re.sub(r"[a-z]~?\d*", "", re.sub(r"\s", "", text)):
            raise ValueError(f"not a schedule: {text!r} (letters, each with a number or ~)")
        return choices

    def format(self, choices):
        """Choices as a schedule string, runs of one thread's steps counted."""
        text, runs = "", []
        for thread, spurious in choices:
            if not spurious and runs and runs[-1][0] == thread and not runs[-1][1]:
                runs[-1][2] += 1
            else:
                runs.append([thread, spurious, 1])
        for thread, spurious, count in runs:
            text += self.letters.get(thread, "?") + ("~" if spurious else
                                                     str(count) if count > 1 else "")
        return text


def default_choice(step, previous):
    """What the run would choose at this step by default."""
    if step.enabled >> previous & 1:
        return previous
    return (step.enabled & -step.enabled).bit_length() - 1


def forced(run):
    """The shortest prefix of the run's choices that makes the same run: up to the last step
    where the choice was not the default one."""
    previous, last = 0, 0
    for n, step in enumerate(run.steps):
        if step.spurious or step.thread != default_choice(step, previous):
            last = n + 1
        previous = step.thread
    return run.chosen()[:last]

