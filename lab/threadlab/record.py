# SPDX-License-Identifier: MIT
"""Records a real day at the order desk: the program runs as it is, in real time, with the
recorder (lab/preload/record.cpp) loaded into it, on one of two scenarios: all ten numbers
piped at once, or typed at a terminal, one every 1.5 seconds. Writes the day as a Chrome
trace-event JSON, which Perfetto (ui.perfetto.dev) and chrome://tracing open: the three threads;
each lock, wait, signal, sleep and read with when it began and returned; every prompt and output
line at the time it arrived, as the user saw it; and the count of orders in the ring.

What is observed and what is not: the recorder writes down each call of the thread library and
each read as the program makes it, with the thread, the caller and the object. Which mutex or
condition variable a call used is its address, named from the program's symbols; the count is
read from the program's memory at each unlock of data_mutex and each wait, while the caller
still holds the mutex. The calls of the ring's own functions are not recorded (they are the
program's, not a library's): a call is said to be in ringPut when ringPut made it; for a lock
or an unlock, the functions that called that one are written down too ("called by"), from the
call stack as the C library's backtrace finds it."""

import json
import os
import pty
import re
import struct
import subprocess
import tempfile
import threading
import time

from . import day, elf, scheduler

TYPING_INTERVAL = 1.5  # seconds between typed numbers
HARD_LIMIT = 60.0  # seconds; a day still going then is killed
LIBRARY = "threadlab-record.so"
RECORDS = 100000
HEADER = struct.Struct("<QQQQ")
RECORD = struct.Struct("<iBBHQQQqq16s4Q")
MAGIC = 0x32656361727442
OPS = {1: "start", 2: "pthread_mutex_lock", 3: "pthread_mutex_unlock", 4: "pthread_cond_wait",
       5: "pthread_cond_signal", 6: "pthread_cond_broadcast", 7: "pthread_create",
       8: "pthread_join", 9: "pthread_exit", 10: "sleep", 11: "std::istream::operator>>"}
READ = OPS[11]
TITLES = {
    "piped": "orderdesk: all ten numbers piped at once",
    "typed": f"orderdesk: a number typed at a terminal every {TYPING_INTERVAL} seconds",
}


class ToolFailed(Exception):
    """The recording could not be made or read: not the program's fault. Exit status 2."""


def run(program, scenario, trace_file, spurious=None, library=None, limit=HARD_LIMIT):
    """Runs a day; returns its exit status (None if it was killed), when it started and ended
    (CLOCK_MONOTONIC, as the recorder's times), and its output as (time, text) events, one
    for each prompt and one for each line."""
    binary = elf.Program(program)
    given = {"LD_PRELOAD": library or find_library(binary), "THREADLAB_TRACE": trace_file}
    count = binary.by_name.get(day.COUNT)
    if count:
        given["THREADLAB_WATCH"] = f"{count.address:x}:{count.size}"
    if spurious:
        given["THREADLAB_SPURIOUS"] = f"{binary.by_name[spurious].address:x}"
    # A program built for another processor runs under qemu-user, which takes the program's
    # own environment with -E, apart from its own.
    emulator = scheduler.emulator_for(binary)
    command = emulator + [a for k, v in given.items() for a in ("-E", f"{k}={v}")] if emulator \
        else []
    command.append(program)
    env = dict(os.environ) if emulator else dict(os.environ, **given)
    if scenario == "typed":
        terminal, user = pty.openpty()
        proc = subprocess.Popen(command, stdin=user, stdout=user, stderr=subprocess.DEVNULL,
                                env=env, start_new_session=True)
        os.close(user)
        source, sink = terminal, terminal
    else:
        proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=env, start_new_session=True)
        source, sink = proc.stdout.fileno(), proc.stdin.fileno()
    start = time.monotonic()
    killed = threading.Event()

    def kill():
        killed.set()
        proc.kill()

    killer = threading.Timer(limit, kill)
    killer.start()

    def feed():
        try:
            for n, item in enumerate(day.ITEMS):
                if scenario == "typed":
                    time.sleep(max(0.0, start + (n + 1) * TYPING_INTERVAL - time.monotonic()))
                os.write(sink, b"%d\n" % item)
            if scenario == "piped":
                proc.stdin.close()
        except OSError:
            pass  # the day ended early

    threading.Thread(target=feed, daemon=True).start()
    events, pending = [], ""
    while True:
        try:
            chunk = os.read(source, 65536)
        except OSError:  # a terminal whose other side has closed
            chunk = b""
        if not chunk:
            break
        now = time.monotonic()
        pending += chunk.decode(errors="replace").replace("\r\n", "\n")
        texts, pending = day.pieces(pending)
        # A terminal echoes what is typed: the user's number, not the program's.
        events += [(now, text) for text in texts
                   if not (scenario == "typed" and re.fullmatch(r"-?\d+", text))]
    status = proc.wait()
    end = time.monotonic()
    killer.cancel()
    if pending:
        events.append((end, pending))
    if scenario == "typed":
        os.close(terminal)
    return (None if killed.is_set() else status), proc.pid, start, end, events


def find_library(program_file):
    return scheduler.find_library(program_file, os.environ.get("THREADLAB_RECORDER"), LIBRARY)


def read_records(path):
    """The recorder's records: dicts with thread, op, object, mutex, caller, began, returned
    (seconds, or None for a call that never returned), spurious, watched."""
    with open(path, "rb") as f:
        data = f.read()
    magic, _, count, capacity = HEADER.unpack_from(data)
    if magic != MAGIC:
        raise ToolFailed("the recorder wrote nothing: it was not loaded into the program "
                         "(a static program, or one built for another processor?)")
    found = []
    for n in range(min(count, capacity)):
        thread, op, spurious, _, obj, mutex, caller, began, returned, watched, *stack = \
            RECORD.unpack_from(data, HEADER.size + n * RECORD.size)
        found.append({"thread": thread, "op": OPS.get(op, "?"), "spurious": bool(spurious),
                      "object": obj, "mutex": mutex, "caller": caller, "began": began / 1e9,
                      "returned": returned / 1e9 if returned else None, "watched": watched,
                      "stack": [frame for frame in stack if frame]})
    return sorted(found, key=lambda r: r["began"])


def trace(records, program_file, pid, start, end, output, status, scenario, spurious):
    """The day as a trace-event JSON for a learner: the program's threads named by role, each
    call with what it used and the function it was made in, every printed line as an instant
    on the thread that printed it, and the count as a counter."""
    def name(address):
        symbol = program_file.variable_at(address) or program_file.function_at(address)
        return symbol.name if symbol else None

    def function(caller):
        symbol = program_file.function_at(caller - 1) if caller else None
        return symbol.name if symbol else None

    roles = {pid: "main"}
    for record in records:
        if record["op"] == "start":
            roles[record["thread"]] = day.role(name(record["object"]) or "?")
    us = lambda seconds: round((seconds - start) * 1e6, 3)
    events = [{"ph": "M", "pid": pid, "tid": tid, "name": "thread_name", "args": {"name": role}}
              for tid, role in roles.items()]
    events.append({"ph": "M", "pid": pid, "name": "process_name", "args": {"name": "orderdesk"}})
    watched = day.COUNT in program_file.by_name
    for record in records:
        if record["op"] == "start" or record["thread"] not in roles:
            continue
        args = {"in": function(record["caller"])}
        called_by = [function(frame) for frame in record["stack"]]
        if any(called_by):
            args["called by"] = [f for f in called_by if f]
        used = name(record["object"]) if record["op"] not in ("pthread_create",) else None
        if record["op"] == "pthread_create":
            args["starts"] = name(record["object"])
        if used:
            args["uses"] = used
        if record["spurious"]:
            args["spurious wake-up"] = "made by the recorder: the wait returned at once"
        # The count, read while the call's caller held data_mutex.
        holds = used == "data_mutex" or name(record["mutex"]) == "data_mutex"
        count = None
        if watched and holds and record["op"] in ("pthread_mutex_unlock", "pthread_cond_wait"):
            count = int.from_bytes(record["watched"][:4], "little", signed=True)
            args[day.COUNT] = count
        base = {"pid": pid, "tid": record["thread"], "name": record["op"], "cat": "call"}
        events.append({**base, "ph": "B", "ts": us(record["began"]), "args": args})
        if record["returned"] is not None:
            events.append({**base, "ph": "E", "ts": us(record["returned"])})
        if count is not None and record["op"] == "pthread_mutex_unlock":
            events.append({"ph": "C", "ts": us(record["began"]), "pid": pid,
                           "name": "orders in the ring", "args": {day.COUNT: count}})
    by_role = {role: tid for tid, role in roles.items()}
    for when, text in output:
        printer = (day.role("takeOrders") if text == day.PROMPT or day.CONFIRMATION.fullmatch(text)
                   else day.role("processOrders") if day.PROCESSING.fullmatch(text) else "main")
        events.append({"ph": "i", "s": "t", "ts": us(when), "pid": pid,
                       "tid": by_role.get(printer, pid), "name": text, "cat": "output"})
    events.sort(key=lambda e: (e["ph"] != "M", e.get("ts", 0)))
    return {"traceEvents": events, "displayTimeUnit": "ms",
            "metadata": {"scenario": scenario, "items": day.ITEMS, "status": status,
                         "end": us(end), "recorded with": "threadlab-record.so",
                         "spurious wake-up made by the recorder": spurious}}


def record(program, scenario, path, spurious=None, limit=HARD_LIMIT):
    """Records a day into the trace file at path (written whole, or not at all)."""
    try:
        program_file = elf.Program(program)
    except elf.NotReadable as why:
        raise ToolFailed(str(why)) from None
    if program_file.stripped:
        raise ToolFailed(f"{program} is stripped: the recorder names threads and objects from "
                         "its symbols")
    if spurious and spurious not in program_file.by_name:
        raise ToolFailed(f"{program} has no {spurious}")
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "records")
        with open(data, "wb") as f:
            f.truncate(HEADER.size + RECORDS * RECORD.size)
        try:
            status, pid, start, end, output = run(program, scenario, data, spurious, limit=limit)
        except scheduler.ToolFailed as why:
            raise ToolFailed(str(why)) from None
        records = read_records(data)
    made = trace(records, program_file, pid, start, end, output, status, scenario, spurious)
    if not any(e["ph"] == "B" for e in made["traceEvents"]):
        raise ToolFailed("the recorder saw no call of the thread library")
    written = path + ".part"
    with open(written, "w") as f:
        json.dump(made, f, indent=0)
        f.write("\n")
    os.replace(written, path)
