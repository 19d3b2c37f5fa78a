# SPDX-License-Identifier: MIT
"""A program's own names, read from its ELF file: its functions and variables from the symbol
table, which any build that is not stripped keeps, debug information or not, and the source
files that its debug information names. Any processor: 64-bit little-endian ELF, as on x86-64
and arm64 Linux."""

import os
import re
import struct
from dataclasses import dataclass


class NotReadable(Exception):
    """The file is no program that this can read."""


@dataclass(frozen=True)
class Symbol:
    name: str  # demangled to the plain name: ringPut, not _Z7ringPutRii
    address: int
    size: int
    function: bool


def plain_name(mangled):
    """The name a C++ programmer wrote, for the symbols of simple programs: _Z7ringPutRii is
    ringPut, _ZN12_GLOBAL__N_15countE is count; a C name stays as it is."""
    if not mangled.startswith("_Z"):
        return mangled
    rest, names = mangled[2:], []
    nested = rest.startswith("N")
    rest = rest[1:] if nested else rest
    while (length := re.match(r"\d+", rest)) is not None:
        end = length.end() + int(length.group())
        names.append(rest[length.end():end])
        rest = rest[end:]
        if not nested:
            break
    return names[-1] if names else mangled


class Program:
    """The symbols and debug strings of one ELF program."""

    def __init__(self, path):
        self.path = path
        try:
            with open(path, "rb") as f:
                self.data = f.read()
        except OSError as why:
            raise NotReadable(f"{path}: {why.strerror}") from None
        if self.data[:4] != b"\x7fELF" or self.data[4] != 2 or self.data[5] != 1:
            raise NotReadable(f"{path}: not a 64-bit little-endian ELF program")
        self.machine = struct.unpack_from("<H", self.data, 18)[0]
        self.sections = self._sections()
        self.symbols = self._symbols()
        self.by_name = {}
        for symbol in self.symbols:
            self.by_name.setdefault(symbol.name, symbol)
        self.functions = sorted((s for s in self.symbols if s.function), key=lambda s: s.address)

    def _sections(self):
        shoff, = struct.unpack_from("<Q", self.data, 40)
        shentsize, shnum, shstrndx = struct.unpack_from("<HHH", self.data, 58)
        raw = [struct.unpack_from("<IIQQQQIIQQ", self.data, shoff + i * shentsize)
               for i in range(shnum)]
        names = raw[shstrndx][4] if raw else 0
        sections = {}
        for name, kind, _, _, offset, size, link, _, _, entsize in raw:
            end = self.data.index(b"\0", names + name)
            sections[self.data[names + name:end].decode()] = (kind, offset, size, link, entsize)
        return sections

    def _symbols(self):
        if ".symtab" not in self.sections:
            return []
        _, offset, size, link, entsize = self.sections[".symtab"]
        strings = list(self.sections.values())[link][1]
        found = []
        for at in range(offset, offset + size, entsize):
            name, info, _, shndx, value, length = struct.unpack_from("<IBBHQQ", self.data, at)
            kind = info & 0xF
            if shndx == 0 or kind not in (1, 2) or not name:  # defined objects and functions
                continue
            end = self.data.index(b"\0", strings + name)
            found.append(Symbol(plain_name(self.data[strings + name:end].decode()), value,
                                length, kind == 2))
        return found

    @property
    def stripped(self):
        return not self.symbols

    def function_at(self, address):
        """The function whose code holds address, or None."""
        for symbol in self.functions:
            if symbol.address <= address < symbol.address + max(symbol.size, 1):
                return symbol
        return None

    def variable_at(self, address):
        for symbol in self.symbols:
            if not symbol.function and symbol.address <= address < symbol.address + symbol.size:
                return symbol
        return None

    def source_files(self):
        """The C++ source files that the debug information names and that exist here: the
        program's sources as it was built, patched copies included."""
        strings = b""
        for name in (".debug_line_str", ".debug_str"):
            if name in self.sections:
                _, offset, size, _, _ = self.sections[name]
                strings += self.data[offset:offset + size] + b"\0"
        texts = [s.decode(errors="replace") for s in strings.split(b"\0") if s]
        folders = [t for t in texts if t.startswith("/") and os.path.isdir(t)]
        found = []
        for text in texts:
            if not re.search(r"\.(cpp|cc|cxx|c)$", text):
                continue
            for candidate in [text] + [os.path.join(f, text) for f in folders]:
                if os.path.isfile(candidate) and os.path.abspath(candidate) not in found:
                    found.append(os.path.abspath(candidate))
                    break
        return found
