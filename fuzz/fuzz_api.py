#!/usr/bin/env python3
"""Fuzz target: the whole Kestrix API driven by a byte string (atheris / libFuzzer).

    scripts/fuzz.sh api SECONDS      (builds, seeds and runs it)

Each input is decoded into a short program of calls on up to three stores,
with odd arguments: wrong types, ints past every width, NaN and infinities,
vectors of the wrong length, sequences that lie about their length, mutate
themselves or call back into the same store while they are being converted,
conversions that raise TypeError with a cause, and bytes for deserialize (and
for the file container's reader).

What is checked after every call, beyond "the process survives":
  * only the documented exception classes escape, plus the one the callbacks
    raise on purpose (a SystemError or anything else is a finding);
  * a call that raised left the store as it was (slots and has_index);
  * the access taken by a call is always released (an exclusive no-op call
    succeeds afterwards);
  * the serialized length agrees with len().
"""

import math
import sys
import warnings

import atheris

with atheris.instrument_imports():
    from kestrix import Kestrix
    from kestrix._native import pack_sections, unpack_sections

ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError)
INTS = [
    0,
    1,
    2,
    3,
    5,
    16,
    383,
    384,
    385,
    2**31 - 1,
    2**31,
    2**32 - 1,
    2**32,
    2**63,
    2**64 - 1,
    2**64,
    2**100,
    -1,
    -(2**63),
    True,
    False,
]
FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 1e-45, 1e-50, 1e39, math.inf, -math.inf, math.nan, 1e300, -1e300]
# Capacities that either fit or are refused before any allocation: under the
# sanitizer a real multi-terabyte request aborts instead of throwing.
CAPACITIES = [0, 1, 2, 3, 5, 2**62, 2**64 - 1, 2**64, -1, 2**100]


class Planned(Exception):
    """Raised by callbacks on purpose; must come out of the call unchanged."""


class Program:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.stores = [Kestrix()]

    def byte(self):
        return self.fdp.ConsumeIntInRange(0, 255)

    def pick(self, items):
        return items[self.fdp.ConsumeIntInRange(0, len(items) - 1)]

    # ------------------------------------------------------------ callbacks

    def reenter(self, db):
        """A call on the same store from inside a conversion; its own failure is expected."""
        op = self.byte() % 8
        try:
            if op == 0:
                db.insert(1, [1.0] * 384)
            elif op == 1:
                db.search_scan([1.0] * 384, 3)
            elif op == 2:
                len(db)
            elif op == 3:
                db.delete(1)
            elif op == 4:
                db.compact()
            elif op == 5:
                db.serialize()
            elif op == 6:
                db.build_index(2, 4)
            else:
                raise Planned("from a callback")
        except RuntimeError as error:
            assert error.args[0] in ("Already borrowed", "Already mutably borrowed"), error

    def number(self, db, depth=0):
        kind = self.byte() % 12
        if kind < 4:
            return self.pick(INTS)
        if kind < 7:
            return self.pick(FLOATS)
        if kind == 7:
            return self.pick([None, "1", b"1", [1], object()])
        program = self

        class Odd:
            def __index__(self):
                program.reenter(db)
                if program.byte() % 3 == 0:
                    try:
                        raise KeyError("inner")
                    except KeyError as inner:
                        raise TypeError("index refused") from inner
                return program.pick(INTS)

            def __float__(self):
                program.reenter(db)
                if program.byte() % 3 == 0:
                    raise TypeError("float refused")
                return program.pick(FLOATS)

        return Odd()

    def vector(self, db):
        kind = self.byte() % 10
        length = self.pick([384, 384, 384, 0, 1, 383, 385, 1000])
        if kind == 0:
            return [self.pick(FLOATS) for _ in range(length)]
        if kind == 1:
            return tuple(self.pick(INTS[:10]) for _ in range(length))
        if kind == 2:
            return bytes(self.fdp.ConsumeBytes(length)).ljust(length, b"\1")
        if kind == 3:
            return self.pick(["x" * 384, {0: 1.0}, (x for x in [1.0]), 5, None, bytearray(384), range(length)])
        if kind == 4:  # a list whose items empty it while it is read
            items = [1.0] * length
            program = self

            class Shrinker:
                def __float__(self):
                    del items[program.byte() % max(1, len(items)) :]
                    return 1.0

            if items:
                items[self.byte() % len(items)] = Shrinker()
            return items
        program = self

        class Sequence:
            """Claims a length it may not honour and calls back while iterated."""

            def __len__(self):
                return program.pick([length, 0, 2**62, -1 if False else 10**18])

            def __getitem__(self, i):
                if i >= length:
                    raise IndexError
                return 1.0

            def __iter__(self):
                for i in range(length):
                    if program.byte() < 8:
                        program.reenter(db)
                    if program.byte() == 255:
                        raise Planned("iteration failed")
                    yield program.number(db) if program.byte() < 4 else -1.0 if i % 3 else 2.0

        return Sequence()

    # ------------------------------------------------------------ the program

    def check_container(self, data):
        # Any bytes: sections or ValueError; what is read lays out again
        # (unless this writer does not write it) and reads back the same.
        try:
            sections = unpack_sections(data)
        except ValueError:
            return
        try:
            packed = pack_sections(sections)
        except ValueError:
            return
        assert unpack_sections(packed) == sections, "a container does not survive a rewrite"

    def call(self, db):
        op = self.byte() % 16
        if op == 0:
            return db.insert(self.number(db), self.vector(db))
        if op == 1:
            return db.delete(self.number(db))
        if op == 2:
            return db.search(self.vector(db), self.number(db), ef=self.number(db))
        if op == 3:
            return db.search_scan(query=self.vector(db), k=self.number(db))
        if op == 4:
            kwargs = {}
            if self.byte() & 1:
                kwargs["m"] = self.number(db)
            if self.byte() & 1:
                kwargs["ef_construction"] = self.number(db)
            return db.build_index(**kwargs)
        if op == 5:
            return db.run_gc(self.number(db))
        if op == 6:
            return db.compact()
        if op == 7:
            return (db.is_empty(), db.has_index(), len(db), bool(db))
        if op == 8:
            data = self.fdp.ConsumeBytes(self.byte() * 4)
            self.check_container(data)
            self.stores.append(Kestrix.deserialize(data))
            return None
        if op == 9:
            self.stores.append(Kestrix.with_capacity(self.pick(CAPACITIES)))
            return None
        if op == 10:
            self.stores.append(Kestrix.deserialize(db.serialize()))
            return None
        if op == 11:  # wrong arity and keywords
            which = self.byte() % 4
            if which == 0:
                return db.insert(1)
            if which == 1:
                return db.search([1.0] * 384, 1, 2, 3)
            if which == 2:
                return db.search([1.0] * 384, 1, k=2)
            return db.build_index(mm=1)
        if op == 12:
            return Kestrix.deserialize(self.pick([bytearray(b"KSTX"), memoryview(b"KSTX"), "KSTX", None]))
        # Fill with valid data so the searches and the index have something to chew.
        for _ in range(self.byte() % 24):
            bits = self.byte()
            try:
                db.insert(self.byte() % 8, [1.0 if (bits >> (c % 8)) & 1 else -1.0 for c in range(384)])
            except RuntimeError as error:  # a full fixed-capacity store; the earlier inserts stand
                assert error.args == ("insert error: CapacityExceeded",), error
                before_fill = db.serialize()
                assert db.delete(2**31 + 1) is False and db.serialize() == before_fill
        return None

    def run(self):
        for _ in range(self.fdp.ConsumeIntInRange(1, 24)):
            if self.fdp.remaining_bytes() == 0:
                break
            del self.stores[:-3]
            db = self.pick(self.stores)
            before = (db.serialize(), db.has_index())
            try:
                self.call(db)
            except Planned:
                after = (db.serialize(), db.has_index())
                assert after == before, "a call that raised changed the store"
            except ALLOWED as error:
                assert not isinstance(error, RuntimeError) or error.args[0] in (
                    "Already borrowed",
                    "Already mutably borrowed",
                    "insert error: DocIdTooLarge",
                    "insert error: CapacityExceeded",
                ), error
                after = (db.serialize(), db.has_index())
                assert after == before, f"a call that raised {error!r} changed the store"
            # Every access was released: an exclusive call that changes nothing goes through.
            assert db.run_gc(math.nan) == 0
            assert len(db.serialize()) == 12 + 60 * len(db)


# The harness itself is what libFuzzer can see (the extension has no native
# edge counters), so every decision it takes is instrumented.
for _name, _member in list(vars(Program).items()):
    if callable(_member):
        setattr(Program, _name, atheris.instrument_func(_member))


@atheris.instrument_func
def TestOneInput(data):
    Program(data).run()


def main():
    warnings.simplefilter("ignore", DeprecationWarning)  # __index__ returning a bool, on purpose
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
