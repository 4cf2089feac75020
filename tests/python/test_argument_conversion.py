"""Integer arguments: every entry point that takes an integer, for the same
inputs, with the exception class and message each one raises.

Two ways of reading are in use.  The tolv96 functions read the value as a C
long (the interpreter's OverflowError beyond it) and then bound it to a byte
or a 16-bit word; the event index and the export indices read it as an
unsigned 64-bit integer (the interpreter's messages for a negative or too
large value) and then bound it to 32 bits or to the machine word.  A value
that was read but does not fit the bound raises the same OverflowError
everywhere.
"""

import os

import pytest

import vexoacq


class IntSubclass(int):
    """An int subclass: its own value is taken, its __index__ is never called."""

    def __index__(self):
        return 99


class Index:
    """An object with __index__ that returns `value`, or raises it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


RANGE = (OverflowError, "out of range integral type conversion attempted")
C_LONG = (OverflowError, "Python int too large to convert to C long")
NEGATIVE = (OverflowError, "can't convert negative int to unsigned")
TOO_BIG = (OverflowError, "int too big to convert")
BOOM = (ValueError, "boom")


def not_int(message):
    """A TypeError, raised as "argument '{name}': " + message."""
    return (TypeError, message)


def same(value):
    """Read as the plain int `value` by every entry point."""
    return (value,) * 4


# Expected reading per kind of entry point: an int where the argument is
# read as that plain int, else (exception class, message).
#   input, byte (tolv96 items), word (tolv96 data), u32 (event index), usize (export indices)
CASES = [
    pytest.param(0, *same(0), id="zero"),
    pytest.param(255, *same(255), id="byte-max"),
    pytest.param(256, RANGE, 256, 256, 256, id="byte-max+1"),
    pytest.param(65535, RANGE, 65535, 65535, 65535, id="word-max"),
    pytest.param(65536, RANGE, RANGE, 65536, 65536, id="word-max+1"),
    pytest.param(2**32 - 1, RANGE, RANGE, 2**32 - 1, 2**32 - 1, id="u32-max"),
    pytest.param(2**32, RANGE, RANGE, RANGE, 2**32, id="u32-max+1"),
    pytest.param(2**63 - 1, RANGE, RANGE, RANGE, 2**63 - 1, id="long-max"),
    pytest.param(2**63, C_LONG, C_LONG, RANGE, 2**63, id="long-max+1"),
    pytest.param(2**64 - 1, C_LONG, C_LONG, RANGE, 2**64 - 1, id="u64-max"),
    pytest.param(2**64, C_LONG, C_LONG, TOO_BIG, TOO_BIG, id="u64-max+1"),
    pytest.param(2**100, C_LONG, C_LONG, TOO_BIG, TOO_BIG, id="huge"),
    pytest.param(-1, RANGE, RANGE, NEGATIVE, NEGATIVE, id="minus-one"),
    pytest.param(-(2**63), RANGE, RANGE, NEGATIVE, NEGATIVE, id="long-min"),
    pytest.param(-(2**63) - 1, C_LONG, C_LONG, NEGATIVE, NEGATIVE, id="long-min-1"),
    pytest.param(-(2**100), C_LONG, C_LONG, NEGATIVE, NEGATIVE, id="huge-negative"),
    pytest.param(True, *same(1), id="true"),
    pytest.param(False, *same(0), id="false"),
    pytest.param(IntSubclass(7), *same(7), id="int-subclass"),
    pytest.param(IntSubclass(-1), RANGE, RANGE, NEGATIVE, NEGATIVE, id="int-subclass-negative"),
    pytest.param(IntSubclass(2**64), C_LONG, C_LONG, TOO_BIG, TOO_BIG, id="int-subclass-huge"),
    pytest.param(Index(3), *same(3), id="index"),
    pytest.param(Index(-1), RANGE, RANGE, NEGATIVE, NEGATIVE, id="index-negative"),
    pytest.param(Index(2**64), C_LONG, C_LONG, TOO_BIG, TOO_BIG, id="index-huge"),
    pytest.param(Index("x"), *(not_int("__index__ returned non-int (type str)"),) * 4, id="index-returns-str"),
    pytest.param(Index(3.0), *(not_int("__index__ returned non-int (type float)"),) * 4, id="index-returns-float"),
    pytest.param(Index(ValueError("boom")), *(BOOM,) * 4, id="index-raises"),
    pytest.param(1.0, *(not_int("'float' object cannot be interpreted as an integer"),) * 4, id="float-integral"),
    pytest.param(1.5, *(not_int("'float' object cannot be interpreted as an integer"),) * 4, id="float"),
    pytest.param("1", *(not_int("'str' object cannot be interpreted as an integer"),) * 4, id="str"),
    pytest.param(None, *(not_int("'NoneType' object cannot be interpreted as an integer"),) * 4, id="none"),
    pytest.param(b"1", *(not_int("'bytes' object cannot be interpreted as an integer"),) * 4, id="bytes"),
]

KINDS = ("byte", "word", "u32", "usize")


def export_files(acq, out_dir, x):
    """export_csv of events [0, x] into a fresh folder: the files and their text."""
    out_dir.mkdir()
    vexoacq.export_csv(acq, [0, x], str(out_dir), False)
    return {name: (out_dir / name).read_text() for name in sorted(os.listdir(out_dir))}


# name, kind, parameter name, call(acq, out_dir, x)
ENTRY_POINTS = [
    pytest.param("word", "data", lambda acq, out, x: vexoacq.syndrome(x), id="syndrome"),
    pytest.param("word", "data", lambda acq, out, x: vexoacq.global_parity(x), id="global_parity"),
    pytest.param("byte", "s", lambda acq, out, x: vexoacq.syndrome_to_index([1, 0, x, 0]), id="syndrome_to_index"),
    pytest.param("byte", "raw_bytes", lambda acq, out, x: vexoacq.ecc_check([0, x]), id="ecc_check"),
    pytest.param("byte", "raw_bytes", lambda acq, out, x: vexoacq.ecc_correct([0, x]), id="ecc_correct"),
    pytest.param("u32", "index", lambda acq, out, x: acq.raw_event(x), id="raw_event"),
    pytest.param("u32", "index", lambda acq, out, x: str(acq.parsed_event(x)), id="parsed_event"),
    pytest.param("usize", "indices", export_files, id="export_csv"),
]


def outcome(call):
    try:
        return ("returned", call())
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        return (type(e), str(e))


@pytest.mark.parametrize("kind, param, call", ENTRY_POINTS)
@pytest.mark.parametrize("x, byte, word, u32, usize", CASES)
def test_integer_argument(five_events, tmp_path, kind, param, call, x, byte, word, u32, usize):
    expected = dict(zip(KINDS, (byte, word, u32, usize)))[kind]
    acq = vexoacq.Acquisition(str(five_events))
    got = outcome(lambda: call(acq, tmp_path / "out", x))
    if type(expected) is int:
        # Read as the plain int: the call behaves exactly as it does for it.
        reference = outcome(lambda: call(acq, tmp_path / "reference", expected))
        assert reference[0] not in (TypeError, OverflowError)
        assert got == reference
    else:
        exc, message = expected
        if exc is TypeError:
            message = f"argument '{param}': {message}"
        assert got == (exc, message)
        if kind == "usize":
            assert not any(os.scandir(tmp_path / "out"))
