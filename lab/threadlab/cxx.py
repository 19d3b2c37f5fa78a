# SPDX-License-Identifier: MIT
"""lab/cxx and lab/cc: the C++ and C compilers, building a program whose memory accesses the
scheduler sees. Every source is compiled with the compiler's ThreadSanitizer instrumentation
(-fsanitize=thread), which makes each load, store and atomic operation call a function first;
the program is linked, without ThreadSanitizer's runtime, against the lab's own
(lab/memory/hooks.c), whose functions tell the scheduler of each access when it is loaded and
do nothing otherwise. The program runs as it would without them, a little slower.

Use them as the compilers they stand for, with the same arguments:

    lab/cxx -std=c++17 -O2 -g -pthread counter.cpp -o counter
    lab/cc -O2 -c race.c && lab/cc race.o -o race -pthread

The compiler is $CXX (or $CC), else c++ (or cc). Exit status: the compiler's."""

import os
import shlex
import shutil
import subprocess
import sys
import tempfile

from . import LAB

HOOKS = os.path.join(LAB, "memory", "hooks.c")
SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".c++", ".C", ".cp")
INSTRUMENT = ["-fsanitize=thread"]
# Options that take the next argument as their value.
WITH_VALUE = {"-o", "-I", "-D", "-U", "-include", "-isystem", "-iquote", "-x", "-MF", "-MT",
              "-MQ", "-L", "-l", "-Xlinker", "-T", "-u", "-idirafter"}


def compiler(language):
    found = os.environ.get("CXX" if language == "c++" else "CC")
    if found:
        return shlex.split(found)
    default = "c++" if language == "c++" else "cc"
    return [shutil.which(default) or default]


def split(arguments):
    """(the sources, the output's name or None, the other arguments) of a compiler's command
    line."""
    sources, output, others, at = [], None, [], 0
    while at < len(arguments):
        word = arguments[at]
        if word in WITH_VALUE and at + 1 < len(arguments):
            if word == "-o":
                output = arguments[at + 1]
            else:
                others += arguments[at:at + 2]
            at += 2
            continue
        if not word.startswith("-") and word.endswith(SOURCE_SUFFIXES):
            sources.append(word)
        else:
            others.append(word)
        at += 1
    return sources, output, others


def build(language, arguments, command=None, run=subprocess.call):
    """Compiles and links as the compiler would, instrumented; returns its exit status. The
    compiler is command (a list), else $CXX or $CC; run is how each of its commands runs."""
    command = command or compiler(language)
    if any(word in ("-c", "-S", "-E", "-M", "-MM") for word in arguments) or not arguments:
        return run(command + INSTRUMENT + arguments)
    if any(word in ("--version", "-v", "--help", "-dumpversion", "-dumpmachine")
           for word in arguments):
        return run(command + arguments)
    sources, output, others = split(arguments)
    link_only = [w for w in others if w.startswith(("-l", "-L", "-Wl,", "-shared", "-static",
                                                    "-rdynamic", "-pie", "-no-pie"))]
    compile_flags = [w for w in others if w not in link_only and not w.endswith(
        (".o", ".a", ".so"))]
    with tempfile.TemporaryDirectory(prefix="threadlab-cxx-") as work:
        objects = []
        for n, source in enumerate(sources):
            obj = os.path.join(work, f"{n}.o")
            status = run(command + INSTRUMENT + compile_flags + ["-c", source, "-o",
                                                                            obj])
            if status != 0:
                return status
            objects.append(obj)
        hooks = os.path.join(work, "hooks.o")
        # Built by the same compiler: a C++ compiler takes the file for C++ (its names stay C's).
        as_cpp = ["-x", "c++"] if language == "c++" else []
        status = run(command + ["-O2", "-fPIC", "-c"] + as_cpp + [HOOKS, "-o", hooks])
        if status != 0:
            return status
        # The objects in the order the sources came, then the others as given: the libraries
        # that the sources use follow them, as a linker needs.
        ordered = []
        for word in arguments:
            if word in sources:
                ordered.append(objects[sources.index(word)])
        linked = ordered + [hooks] + [w for w in others] + ["-ldl"]
        return run(command + linked + (["-o", output] if output else []))


def main(language):
    try:
        return build(language, sys.argv[1:])
    except OSError as why:
        print(f"{os.path.basename(sys.argv[0])}: {why}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main("c++"))
