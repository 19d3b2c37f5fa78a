# SPDX-License-Identifier: MIT
"""The scheduler's client: starts a program under the scheduler library (lab/preload/), asks it
for runs, one schedule each, and names what they did in the code's words.

A schedule is written as a string of letters, one for each step of a thread: `m` is main, and
each other thread has the first letter of its role or function (`p` the producer, `c` the
consumer), or the first letter free. A number after a letter repeats it (`p12` is twelve steps
of the producer). After a letter, `~` is a spurious wake-up of that thread's wait on a
condition variable, `@` a time-out of its timed wait, and `>` with another thread's letter a
signal that wakes that thread rather than the one that has waited longest (`p>c`). Spaces are
ignored. After its last letter a run goes on by default: the thread that moved last goes on
while it can, else the first that can, in the order the threads were created; where none can
move, the timed wait whose deadline comes first times out."""

import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
from collections import namedtuple
from dataclasses import dataclass, field

from . import PROJECT, day, elf, source

VERDICTS = ["running", "ended", "deadlock", "too many steps", "cannot follow", "stopped",
            "fault", "refused"]
LIBRARY = "threadlab-schedule.so"
MACHINES = {62: "x86_64", 183: "aarch64"}
STREAMS = re.compile(r"_ZSt\d+w?(cin|cout|cerr|clog)\b")
HOW = ["by itself", "spun", "blocked", "wall", "killed outside"]
KINDS = ["free", "mutex", "condition variable", "rwlock", "barrier", "spin lock", "semaphore",
         "once", "memory"]
# What the program did against the thread library's rules (lab/preload/runtime.h's Fault).
FAULTS = [None, "unlocks {object}, which it does not hold",
          "destroys {object} while a thread holds it",
          "destroys {object} while threads wait on it",
          "waits on {object} with {mutex}, which it does not hold",
          "waits on {object} with {mutex} while other threads wait on it with another mutex",
          "joins itself", "data race"]
# What the scheduler refuses to model (runtime.h's Refusal): the tool's failure, status 2.
REFUSALS = [None, "the program starts more threads at once than the scheduler models (64)",
            "the program uses more synchronisation objects than the scheduler's table holds",
            "the schedule is longer than the scheduler's table of choices",
            "the system refused a thread to the run (a limit on processes or memory): the run "
            "could not be made",
            "the program calls fork, which the scheduler does not model (its child would share "
            "the scheduler's state)",
            "the program calls pthread_cancel, which the scheduler does not model",
            "the run has more steps than the scheduler's table holds"]
# The system calls that a thread may be blocked in, by number, on the machine that runs the
# tools (under qemu-user too, the numbers are the host's).
SYSTEM_CALLS = {
    "x86_64": {0: "read", 1: "write", 7: "poll", 16: "ioctl", 23: "select", 34: "pause",
               35: "nanosleep", 43: "accept", 45: "recvfrom", 47: "recvmsg", 61: "wait4",
               72: "fcntl", 73: "flock", 202: "futex", 230: "clock_nanosleep",
               232: "epoll_wait", 270: "pselect6", 271: "ppoll", 281: "epoll_pwait",
               288: "accept4", 128: "rt_sigtimedwait", 130: "rt_sigsuspend", 17: "pread64"},
    "aarch64": {63: "read", 64: "write", 73: "ppoll", 72: "pselect6", 98: "futex",
                101: "nanosleep", 115: "clock_nanosleep", 22: "epoll_pwait", 202: "accept",
                207: "recvfrom", 212: "recvmsg", 260: "wait4", 25: "fcntl", 32: "flock",
                133: "rt_sigsuspend", 137: "rt_sigtimedwait", 242: "accept4", 67: "pread64"},
}


class ToolFailed(Exception):
    """The scheduler could not do its job: said in one line, exit status 2."""


class Choice(namedtuple("Choice", "thread mark pick", defaults=("", None))):
    """One choice of a schedule: a thread makes its next step (mark ""), or its wait ends
    with no signal (mark "~", a spurious wake-up) or times out (mark "@"); pick is the waiter
    that the step's signal wakes, where the chooser does not leave it to the default."""


class Step:
    """One step of a run, as the chooser saw it."""
    __slots__ = ("thread", "op", "flags", "picked", "first", "enabled", "waiting", "timed",
                 "picks", "object", "mutex", "caller", "printed", "watched")

    def __init__(self, thread, op, flags, picked, first, enabled, waiting, timed, picks, object_,
                 mutex, caller, printed, watched):
        self.thread = thread
        self.op = op
        self.flags = flags
        self.picked = picked    # the thread that a signal woke, or -1
        self.first = first      # the one it wakes by default, the longest waiting, or -1
        self.enabled = enabled  # the threads that could have made this step, one bit each
        self.waiting = waiting  # the threads waiting on a condition variable, unwoken
        self.timed = timed      # the threads whose wait could have timed out here
        self.picks = picks      # for a signal: the threads that it could have woken
        # Addresses as the library sends them: e1a2b lies in the program's image.
        self.object = object_
        self.mutex = mutex
        self.caller = caller
        self.printed = printed  # bytes of output before the step
        self.watched = watched

    @property
    def spurious(self):
        return bool(self.flags & 1)

    @property
    def timeout(self):
        return bool(self.flags & 2)

    @property
    def default(self):
        """What the default chooser would have chosen here."""
        return bool(self.flags & 4)

    @property
    def racing(self):
        """An access to memory in a data race."""
        return bool(self.flags & 16)

    @property
    def choice(self):
        return Choice(self.thread, "~" if self.spurious else "@" if self.timeout else "",
                      self.picked if self.flags & 8 else None)


@dataclass
class Thread:
    id: int
    ended: bool
    waiting: bool
    pending: str
    timed_out: bool
    object: str
    mutex: str
    caller: str
    start: str


@dataclass
class Run:
    status: int  # the process's wait status
    how: str     # how it ended: by itself, or ended by its server (spun, blocked, wall), or
    detail: int  # killed from outside; the CPU time or the system call, for spun and blocked
    verdict: str
    steps: list
    code: int    # the fault or refusal
    culprit: int
    culprit_object: str
    culprit_mutex: str
    culprit_caller: str
    clock: int   # the run's clock at its end, in nanoseconds
    threads: list
    owners: dict  # mutex address: owning thread or -1
    objects: dict  # address: (kind, owner, count)
    out: bytes
    err: bytes
    watched: bytes  # the watched memory as the run ended or stopped
    can: int        # then, the threads that could move, those waiting unwoken, and those
    asleep: int     # whose wait could time out
    timed: int = 0
    choices: list = field(default_factory=list)  # what the run was asked to follow
    fair: bool = False  # the run was fair to sleeps as well as to yields
    # The first data race: the step that found it, the other access's step (-1 where it is not
    # known), the memory's address and the access's size; the first is -1 for none.
    race: tuple = (-1, -1, "0", 0)

    @property
    def signal(self):
        return self.status & 0x7F if 0 < self.status & 0x7F < 0x7F else None

    @property
    def exit_status(self):
        return None if self.signal else self.status >> 8 & 0xFF

    @property
    def timed_out(self):
        return self.how != "by itself"

    def chosen(self):
        """The run's choices, one for each step."""
        return [step.choice for step in self.steps]


def blocked_call(number):
    """The name of a system call that a thread is blocked in, by its number."""
    names = SYSTEM_CALLS.get(os.uname().machine, {})
    return names.get(number, f"system call {number}" if number >= 0 else "a system call")


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
        # The standard streams, whose objects a program's inline code of the C++ library
        # touches, and which the library keeps free of races itself.
        streams = [s for s in self.program.symbols if not s.function
                   and STREAMS.match(s.name)]
        library = find_library(self.program, library)
        emulator = emulator_for(self.program)
        self.process = None
        try:
            self.input = tempfile.TemporaryFile()
            self.input.write(data)
            self.input.flush()
            self.input.seek(0)
            self.log = tempfile.TemporaryFile()
            ours, theirs = socket.socketpair()
        except OSError as why:
            raise ToolFailed(f"the scheduler cannot set up a run: {why.strerror or why}") \
                from None
        env = dict(os.environ, THREADLAB_FD=str(theirs.fileno()),
                   THREADLAB_WATCH="+".join(f"{s.address:x}:{s.size}" for s in self.watch),
                   THREADLAB_IGNORE="+".join(f"{s.address:x}:{s.size}" for s in streams),
                   THREADLAB_CPU=str(cpu if cpu is not None else -1))
        command = [os.path.abspath(program)]
        if emulator:
            command = emulator + ["-E", f"LD_PRELOAD={library}",
                                  "-E", f"THREADLAB_FD={theirs.fileno()}",
                                  "-E", f"THREADLAB_WATCH={env['THREADLAB_WATCH']}",
                                  "-E", f"THREADLAB_IGNORE={env['THREADLAB_IGNORE']}",
                                  "-E", f"THREADLAB_CPU={env['THREADLAB_CPU']}"] + command
        else:
            env["LD_PRELOAD"] = library
        try:
            self.process = subprocess.Popen(command, stdin=self.input,
                                            stdout=subprocess.DEVNULL, stderr=self.log, env=env,
                                            pass_fds=[theirs.fileno()], start_new_session=True)
        except OSError as why:
            raise ToolFailed(f"the system refused to start {program}: {why.strerror or why}") \
                from None
        finally:
            theirs.close()
        ours.settimeout(start_limit)
        self.socket = ours
        self.stream = ours.makefile("rb")
        try:
            hello = self.stream.readline().split()
        except (socket.timeout, OSError):
            hello = []
        if not hello or hello[0] != b"ready":
            self.close()
            self.log.seek(0)
            said = self.log.read().decode(errors="replace").strip()
            reason = b" ".join(hello[1:]).decode(errors="replace") if hello[:1] == [b"error"] \
                else said.splitlines()[-1] if said else ""
            raise ToolFailed(f"{program} did not start under the scheduler library"
                             + (f": {reason}" if reason else ""))
        ours.settimeout(None)
        self.ops = hello[2].decode().split(",")
        self.capacity = int(hello[3])
        self.runs = 0

    def run(self, choices=(), stop=False, seed=0, spurious=0, bound=20000, fair=False,
            cpu_limit=10.0, blocked_limit=5.0):
        """One run of main, following choices (Choice, or (thread, spurious) pairs) and then
        going on by default, or at random from seed; with stop, it stops where the choices
        end. A thread that uses cpu_limit seconds of CPU time without a step spins; one that
        sleeps blocked_limit seconds in a call that is not a step is blocked there."""
        choices = [c if isinstance(c, Choice) else Choice(c[0], "~" if c[1] else "")
                   for c in choices]
        words = [f"{'~' if c.mark == '~' else '@' if c.mark == '@' else ''}{c.thread}"
                 + (f">{c.pick}" if c.pick is not None else "") for c in choices]
        request = (f"run {int(stop)} {seed} {spurious} {min(bound, self.capacity)} {int(fair)} "
                   f"{int(cpu_limit * 1000)} {int(blocked_limit * 1000)} "
                   + " ".join(words) + "\n")
        try:
            self.socket.sendall(request.encode())
        except OSError:
            raise ToolFailed(self._gone()) from None
        self.runs += 1
        run = self._read(choices)
        run.fair = fair
        return run

    def _gone(self):
        """Why the library stopped answering."""
        if self.process.poll() is not None:
            code = self.process.returncode
            how = f"killed by {signal.Signals(-code).name}" if code < 0 else f"status {code}"
            return f"the program under the scheduler ended ({how}) and no longer answers"
        return "the scheduler library stopped answering"

    def _read(self, choices):
        stream = self.stream
        try:
            head = stream.readline().split()
        except OSError:
            head = []
        if head[:1] == [b"error"]:
            raise ToolFailed(b" ".join(head[1:]).decode(errors="replace"))
        if not head or head[0] != b"result":
            raise ToolFailed(self._gone())
        status, how, detail, verdict, _, code, culprit = map(int, head[1:8])
        culprit_object, culprit_mutex, culprit_caller = (w.decode() for w in head[8:11])
        clock = int(head[11])
        race = (int(head[12]), int(head[13]), head[14].decode(), int(head[15]))
        ops = self.ops
        steps, threads, owners, objects, out, err, now = [], [], {}, {}, b"", b"", b""
        can = asleep = timed = 0
        while (line := stream.readline()) != b"end\n":
            if not line:
                raise ToolFailed(self._gone())
            words = line.split()
            kind = words[0]
            if kind == b"step":
                steps.append(Step(int(words[1]), ops[int(words[2])], int(words[3]),
                                  int(words[4]), int(words[5]), int(words[6], 16),
                                  int(words[7], 16), int(words[8], 16), int(words[9], 16),
                                  words[10].decode(), words[11].decode(), words[12].decode(),
                                  int(words[13]),
                                  bytes.fromhex(words[14].decode()) if len(words) > 14 else b""))
            elif kind == b"thread":
                i, used, ended, waiting, pending, timed_out = map(int, words[1:7])
                if used:
                    threads.append(Thread(i, bool(ended), bool(waiting), ops[pending],
                                          bool(timed_out), *(w.decode() for w in words[7:11])))
            elif kind == b"now":
                can, asleep, timed = (int(w, 16) for w in words[1:4])
                now = bytes.fromhex(words[4].decode()) if len(words) > 4 else b""
            elif kind == b"object":
                address, which, owner, count = words[1].decode(), int(words[2]), \
                    int(words[3]), int(words[4])
                objects[address] = (KINDS[which], owner, count)
                if KINDS[which] in ("mutex", "spin lock", "rwlock"):
                    owners[address] = owner
            elif kind in (b"out", b"err"):
                data = stream.read(int(words[1]))
                stream.readline()
                out, err = (data, err) if kind == b"out" else (out, data)
        return Run(status, HOW[how], detail, VERDICTS[verdict], steps, code, culprit,
                   culprit_object, culprit_mutex, culprit_caller, clock, threads, owners,
                   objects, out, err, now, can, asleep, timed, choices, race=race)

    def close(self):
        try:
            if hasattr(self, "stream"):
                self.stream.close()
                self.socket.close()
            if self.process is not None:
                self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        finally:
            self.input.close()
            self.log.close()

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
        self.plain_roles = {}
        self.callers = {}  # (function, kind): the call sites seen, by address
        self.lines = {}
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

    def line(self, caller):
        """The source file and line of a call or an access, from the program's debug
        information (by binutils' addr2line), or None."""
        if not caller.startswith("e") or not self.from_debug_information:
            return None
        if caller not in self.lines:
            tool = shutil.which(f"{MACHINES.get(self.program.machine, '')}-linux-gnu-addr2line") \
                or shutil.which("addr2line")
            found = None
            if tool:
                done = subprocess.run([tool, "-e", self.program.path, f"{int(caller[1:], 16) - 1:x}"],
                                      capture_output=True, text=True)
                where = done.stdout.strip().split(" (")[0]
                if done.returncode == 0 and ":" in where and not where.startswith("??"):
                    path, number = where.rsplit(":", 1)
                    found = f"{os.path.basename(path)}:{number}" if number.isdigit() else None
            self.lines[caller] = found
        return self.lines[caller]

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
            role = day.role(self.thread_function(thread))
            # Threads that run one function are told apart by their letters.
            twins = [t for t, r in self.plain_roles.items() if r == role]
            self.plain_roles[thread.id] = role
            for twin in twins:
                self.roles[twin] = f"{role} [{self.letters[twin]}]"
            self.roles[thread.id] = f"{role} [{letter}]" if twins else role

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
        """A schedule string as choices. Each letter is one step of a thread; a number after
        it repeats it; ~ after it is a spurious wake-up of that thread's wait, @ a time-out of
        its timed wait; > and another thread's letter after it is a signal that wakes that
        thread. Spaces are ignored."""
        by_letter = {letter: i for i, letter in self.letters.items()}
        text = re.sub(r"\s", "", text)
        if re.sub(r"[a-z](?:~|@|>[a-z]|\d+)?", "", text):
            raise ValueError(f"not a schedule: {text!r} (letters, each with a number, ~, @ or "
                             "> and a letter)")
        choices = []
        for letter, mark, pick, count in re.findall(r"([a-z])(?:([~@])|>([a-z])|(\d+))?", text):
            for name in (letter, pick or letter):
                if name not in by_letter:
                    raise ValueError(f"no thread is called {name!r} (threads: "
                                     + ", ".join(f"{l} {self.who(i)}" for i, l in
                                                 sorted(self.letters.items())) + ")")
            choices += [Choice(by_letter[letter], mark,
                               by_letter[pick] if pick else None)] * (int(count) if count else 1)
        return choices

    def format(self, choices):
        """Choices as a schedule string, runs of one thread's plain steps counted."""
        text, runs = "", []
        for choice in choices:
            choice = choice if isinstance(choice, Choice) else Choice(choice[0],
                                                                      "~" if choice[1] else "")
            plain = not choice.mark and choice.pick is None
            if plain and runs and runs[-1][0] == choice and runs[-1][1]:
                runs[-1][2] += 1
            else:
                runs.append([choice, plain, 1])
        for choice, plain, count in runs:
            letter = self.letters.get(choice.thread, "?")
            text += letter + (choice.mark if choice.mark else
                              ">" + self.letters.get(choice.pick, "?") if choice.pick is not None
                              else str(count) if count > 1 else "")
        return text


def forced(run):
    """The shortest prefix of the run's choices that makes the same run: up to the last step
    where the choice was not the default one."""
    last = 0
    for n, step in enumerate(run.steps):
        if not step.default:
            last = n + 1
    return run.chosen()[:last]
