"""The tolv96 data-word code from Python: syndrome, global_parity,
syndrome_to_index, ecc_check and ecc_correct."""

import os
import random
import sys
import threading

import pytest

import vexoacq
from conftest import child_env, run_limited

CHIP = 131140
FULL = 6 * CHIP + 2  # 786842
ROWS = [
    (0, 1, 3, 4, 6, 8, 10),
    (0, 2, 3, 5, 6, 9, 11),
    (1, 2, 3, 7, 8, 9, 12),
    (4, 5, 6, 7, 8, 9, 13),
]
SYNDROME_BITS = [10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15]


def start_of(ch):
    return (ch // 16) * CHIP + (ch % 16) * 8196 + 3


def ref_syndrome(w):
    return sum((sum((w >> b) & 1 for b in row) & 1) << i for i, row in enumerate(ROWS))


SYN = [ref_syndrome(w) for w in range(1 << 16)]


def ref_check(raw):
    """The per-word rule, word by word (a syndrome-0 odd word is corrected at d15)."""
    n = -(-(len(raw) - 2) // CHIP)
    out = []
    for ch in range(16 * n):
        start = start_of(ch)
        for off in range(0, 8192, 2):
            w = raw[start + off] | (raw[start + off + 1] << 8)
            s, p = SYN[w], bin(w).count("1") & 1
            if s == 0 and p == 0:
                continue
            bit = SYNDROME_BITS[s - 1] if s else 15
            out.append((off, start + off, w, w ^ (1 << bit) if p else w, bit, p))
    return out


CLEAN_WORDS = [w for w in range(1 << 16) if SYN[w] == 0 and bin(w).count("1") % 2 == 0]


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# ------------------------------------------------------------- word functions


@pytest.mark.parametrize(
    "data, expected",
    [(0, b"\0\0\0\0"), (1, b"\1\1\0\0"), (0x0400, b"\1\0\0\0"), (0xFFFF, b"\1\1\1\1"), (0xC000, b"\0\0\0\0"),
     (True, b"\1\1\0\0"), (Index(0x0400), b"\1\0\0\0")],
)
def test_syndrome_listed_words(data, expected):
    assert vexoacq.syndrome(data) == expected
    assert type(vexoacq.syndrome(data)) is bytes


@pytest.mark.parametrize("data, expected", [(0, 0), (0x8000, 1), (0x7FFF, 1), (0xFFFF, 0), (False, 0), (Index(3), 0)])
def test_global_parity_counts_all_sixteen_bits(data, expected):
    assert vexoacq.global_parity(data) == expected


def test_syndrome_and_parity_agree_with_the_rows_on_every_word():
    for w in range(1 << 16):
        s = vexoacq.syndrome(w)
        assert s[0] + 2 * s[1] + 4 * s[2] + 8 * s[3] == SYN[w], w
        assert vexoacq.global_parity(w) == bin(w).count("1") & 1, w


@pytest.mark.parametrize("k", range(16))
def test_syndrome_to_index_finds_every_single_inversion(k):
    assert vexoacq.syndrome_to_index(vexoacq.syndrome(1 << k)) == (k if k < 14 else None)


@pytest.mark.parametrize(
    "s, expected",
    [([1, 1, 1, 1], 15), (b"\0\0\0\0", None), ((3, 0, 0, 0), 0), ([0, 0, 0, 2], None),
     ([255, 255, 255, 255], None), (bytearray(b"\0\1\0\0"), 11), ([True, 0, 0, 0], 10)],
)
def test_syndrome_to_index_listed_cases(s, expected):
    assert vexoacq.syndrome_to_index(s) == expected


@pytest.mark.parametrize(
    "fn, arg, exc, message",
    [
        (vexoacq.syndrome, 65536, OverflowError, None),
        (vexoacq.syndrome, -1, OverflowError, None),
        (vexoacq.global_parity, 1 << 70, OverflowError, None),
        (vexoacq.syndrome, 1.5, TypeError, "argument 'data': 'float' object cannot be interpreted as an integer"),
        (vexoacq.syndrome, "1", TypeError, "argument 'data': 'str' object cannot be interpreted as an integer"),
        (vexoacq.global_parity, None, TypeError, "argument 'data': "),
        (vexoacq.syndrome_to_index, [0, 0, 0], ValueError, None),
        (vexoacq.syndrome_to_index, b"\0\0", ValueError, None),
        (vexoacq.syndrome_to_index, "abc", ValueError, None),
        (vexoacq.syndrome_to_index, [256, 0, 0, 0], OverflowError, None),
        (vexoacq.syndrome_to_index, [-1, 0, 0, 0], OverflowError, None),
        (vexoacq.syndrome_to_index, 5, TypeError, "argument 's': 'int' object cannot be converted to 'Sequence'"),
        (vexoacq.syndrome_to_index, "abcd", TypeError, "argument 's': 'str' object cannot be interpreted"),
        (vexoacq.syndrome_to_index, [0, 0, 0, 0.0], TypeError, "argument 's': "),
        (vexoacq.ecc_check, "abc", TypeError, "argument 'raw_bytes': Can't extract `str` to `Vec`"),
        (vexoacq.ecc_correct, "abc", TypeError, "argument 'raw_bytes': Can't extract `str` to `Vec`"),
        (vexoacq.ecc_check, 5, TypeError, "argument 'raw_bytes': 'int' object cannot be converted to 'Sequence'"),
        (vexoacq.ecc_check, [0, "a"], TypeError, "argument 'raw_bytes': 'str' object cannot be interpreted"),
        (vexoacq.ecc_check, [0, 256], OverflowError, None),
        (vexoacq.ecc_correct, [0, -1], OverflowError, None),
    ],
)
def test_conversion_errors(fn, arg, exc, message):
    with pytest.raises(BaseException) as info:
        fn(arg)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value).startswith(message)
    if exc is not TypeError:
        assert not str(info.value).startswith("argument ")


def test_keywords_and_arity():
    assert vexoacq.syndrome(data=1) == b"\1\1\0\0"
    assert vexoacq.syndrome_to_index(s=[1, 1, 0, 0]) == 0
    assert vexoacq.ecc_check(raw_bytes=b"\0\0") == []
    assert vexoacq.ecc_correct(raw_bytes=b"\0\0") == bytearray(2)
    with pytest.raises(TypeError, match=r"^ecc_check\(\) missing 1 required positional argument: 'raw_bytes'$"):
        vexoacq.ecc_check()
    with pytest.raises(TypeError, match=r"^syndrome\(\) takes 1 positional arguments but 2 were given$"):
        vexoacq.syndrome(1, 2)
    with pytest.raises(TypeError, match=r"^global_parity\(\) got an unexpected keyword argument 'word'$"):
        vexoacq.global_parity(word=1)


SYNDROME_DOC = (
    "Calculate the syndrome for a given 16-bit data word.\n"
    "The syndrome is a 4-byte array where each byte represents the parity of specific bits in the data word.\n\n"
    "# Arguments\n* `data` - A 16-bit unsigned integer representing the data word.\n"
    "# Returns\n* An array of 4 bytes, each representing the parity of specific bits in the data word.\n"
)
NB = " \u00a0"
PARITY_DOC = (
    "Calculate the global parity for a 16-bit data word.\n\n"
    "The global parity is the XOR of all bits in the data word, excluding the last bit.\n"
    f"gp = d(0) xor{NB}d(1) xor d(2) xor{NB}d(3) xor{NB}d(4) xor d(5) xor{NB}d(6) xor d(7) xor{NB}d(8) xor{NB}d(9)"
    " xor d(10) xor d(11) xor d(12) xor d(13) xor d(14)\n\n"
    "# Arguments\n* `data` - A 16-bit unsigned integer representing the data word.\n"
    "# Returns\n* An integer representing the global parity of the data word.\n"
)
TO_INDEX_DOC = "Convert a syndrome to an index based on the corrections.\n\n# Arguments\n* `s` - bit position or None."


@pytest.mark.parametrize(
    "name, signature, doc, full_bytes",
    [
        ("syndrome", "(data)", SYNDROME_DOC, 351),
        ("global_parity", "(data)", PARITY_DOC, 463),
        ("syndrome_to_index", "(s)", TO_INDEX_DOC, 124),
        ("ecc_check", "(raw_bytes)", None, None),
        ("ecc_correct", "(raw_bytes)", None, None),
    ],
)
def test_docstrings_and_signatures(name, signature, doc, full_bytes):
    fn = getattr(vexoacq, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "vexoacq" and fn.__self__ is vexoacq and fn.__name__ == name
    if full_bytes is not None:
        assert len(f"{name}{signature}\n--\n\n{doc}".encode()) == full_bytes


# ------------------------------------------------------------- event functions


def event(size=FULL, **bytes_at):
    raw = bytearray(size)
    for pos, value in bytes_at.items():
        raw[int(pos[1:])] = value
    return raw


@pytest.mark.parametrize(
    "setting, expected",
    [
        ({}, []),
        ({"b3": 0x01}, [(0, 3, 1, 0, 0, 1)]),
        ({"b131144": 0x04}, [(0, 131143, 1024, 0, 10, 1)]),
        ({"b3": 0x03}, [(0, 3, 3, 3, 2, 0)]),
        ({"b8199": 0x01, "b103": 0x01}, [(100, 103, 1, 0, 0, 1), (0, 8199, 1, 0, 0, 1)]),
        ({"b786834": 0x80}, [(8190, 786833, 0x8000, 0, 15, 1)]),
        ({"b4": 0x40}, [(0, 3, 0x4000, 0xC000, 15, 1)]),
        ({"b0": 0xFF}, []),
        ({"b1": 0xFF, "b2": 0xFF}, []),
        ({"b131137": 0xFF, "b131138": 0xFF, "b131139": 0xFF}, []),
        ({"b786840": 0xFF, "b786841": 0xFF}, []),
    ],
)
def test_listed_events(setting, expected):
    raw = event(**setting)
    found = vexoacq.ecc_check(raw)
    assert found == expected
    assert all(type(e) is tuple and len(e) == 6 for e in found)
    corrected = vexoacq.ecc_correct(raw)
    assert type(corrected) is bytearray and len(corrected) == len(raw)
    want = bytearray(raw)
    for _, pos, _, fixed, _, ok in expected:
        if ok:
            want[pos : pos + 2] = fixed.to_bytes(2, "little")
    assert corrected == want
    assert raw == event(**setting)  # the argument is untouched


def test_all_ones_event_reports_every_word_at_bit_15():
    raw = b"\xff" * FULL
    found = vexoacq.ecc_check(raw)
    assert len(found) == 393216
    assert found[0] == (0, 3, 0xFFFF, 0xFFFF, 15, 0)
    assert found[-1] == (8190, 786833, 0xFFFF, 0xFFFF, 15, 0)
    assert {(e[4], e[5]) for e in found} == {(15, 0)}
    assert vexoacq.ecc_correct(raw) == raw


@pytest.mark.parametrize("size", [2, 131135, 131142, 262275, 786842])
def test_event_sizes_within_the_limits(size):
    raw = bytearray(size)
    if size > 2:
        raw[3] = 1
        raw[131134] = 0x80  # channel 15, last word
    expected = [] if size == 2 else [(0, 3, 1, 0, 0, 1), (8190, 131133, 0x8000, 0, 15, 1)]
    assert vexoacq.ecc_check(raw) == expected
    assert vexoacq.ecc_correct(raw) == bytearray(size)


def test_bytes_bytearray_and_sequences_give_the_same_result():
    rng = random.Random(7)
    raw = bytes(rng.randrange(256) for _ in range(CHIP + 2))

    class Bytes(bytes):
        pass

    class ByteArray(bytearray):
        pass

    forms = [raw, bytearray(raw), list(raw), tuple(raw), Bytes(raw), ByteArray(raw), memoryview(raw)]
    expected = ref_check(raw)
    assert len(expected) > 60000
    for form in forms:
        assert vexoacq.ecc_check(form) == expected, type(form)
    corrected = [vexoacq.ecc_correct(form) for form in forms]
    assert all(type(c) is bytearray for c in corrected)
    assert all(c == corrected[0] for c in corrected)
    assert forms[0] == raw and forms[1] == raw and forms[2] == list(raw)


def test_sequence_whose_length_overstates_its_items():
    # Only iteration counts: a __len__ far beyond the items is no reason to fail.
    raw = event(b3=1)

    class Overstated:
        def __len__(self):
            return 2**60

        def __getitem__(self, i):
            return raw[i]

        def __iter__(self):
            return iter(raw)

    assert vexoacq.ecc_check(Overstated()) == vexoacq.ecc_check(raw) == [(0, 3, 1, 0, 0, 1)]
    assert vexoacq.ecc_correct(Overstated()) == vexoacq.ecc_correct(raw)


def test_correct_never_changes_the_argument():
    raw = event(b3=1)
    before = bytes(raw)
    out = vexoacq.ecc_correct(raw)
    assert out is not raw
    assert raw == before
    out[0] = 9
    assert raw[0] == 0


def test_single_flips_restored_double_flips_left():
    rng = random.Random(11)
    size = CHIP + 2
    original = bytearray(rng.randrange(256) for _ in range(size))
    for ch in range(16):
        start = start_of(ch)
        for off in range(0, 8192, 2):
            original[start + off : start + off + 2] = rng.choice(CLEAN_WORDS).to_bytes(2, "little")
    assert vexoacq.ecc_check(original) == []
    single, double = bytearray(original), bytearray(original)
    single_at, double_at = [], []
    for ch in range(16):
        for off in range(0, 8192, 2):
            pos = start_of(ch) + off
            w = int.from_bytes(original[pos : pos + 2], "little")
            if rng.random() < 0.01:
                single[pos : pos + 2] = (w ^ (1 << rng.randrange(14))).to_bytes(2, "little")
                single_at.append(pos)
            if rng.random() < 0.01:
                a, b = rng.sample(range(14), 2)
                double[pos : pos + 2] = (w ^ (1 << a) ^ (1 << b)).to_bytes(2, "little")
                double_at.append(pos)
    found = vexoacq.ecc_check(single)
    assert [e[1] for e in found] == single_at and all(e[5] == 1 for e in found)
    assert vexoacq.ecc_correct(single) == original
    found = vexoacq.ecc_check(double)
    assert [e[1] for e in found] == double_at and all(e[5] == 0 and e[3] == e[2] for e in found)
    assert vexoacq.ecc_correct(double) == double


# ------------------------------------------------------------------- limits

PANIC_CASES = [
    (0, "raw tolv96 event is shorter than its 2-byte footer"),
    (1, "raw tolv96 event is shorter than its 2-byte footer"),
    (131134, "tolv96 channel data range lies past the end of the raw event"),
    (131143, "tolv96 channel data range lies past the end of the raw event"),
    (6 * CHIP - 6, "tolv96 channel data range lies past the end of the raw event"),
    (FULL + 1, "raw tolv96 event holds more than six chip blocks"),
    (FULL + CHIP, "raw tolv96 event holds more than six chip blocks"),
]


@pytest.mark.parametrize("size, message", PANIC_CASES)
@pytest.mark.parametrize("fn", [vexoacq.ecc_check, vexoacq.ecc_correct])
def test_sizes_outside_the_limits_panic(fn, size, message, capfd):
    raw = bytearray(b"\x01" * size)
    with pytest.raises(BaseException) as info:
        fn(raw)
    exc = info.value
    assert type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"
    assert not isinstance(exc, Exception)
    assert exc.args == (message,)
    assert message in capfd.readouterr().err
    assert raw == b"\x01" * size
    # The pool and the channel table serve the next call.
    assert vexoacq.ecc_check(event(b103=1)) == [(100, 103, 1, 0, 0, 1)]


# ------------------------------------------------------- threads and the pool


FLIPPABLE = [b for b in range(16) if b != 14]


def spoilt_event(fraction, seed):
    """A full event of code words (random bytes outside the data ranges) with
    `fraction` of its data words carrying one inverted bit, and its corrected
    form: the same bytes with every flip undone.  Bit 14 is left out: its
    inversion reads as one of d15, which the correction inverts instead."""
    rng = random.Random(seed)
    raw = bytearray(rng.randbytes(FULL))
    fixed = bytearray(raw)
    for ch in range(96):
        start = start_of(ch)
        words = rng.choices(CLEAN_WORDS, k=4096)
        good = b"".join(w.to_bytes(2, "little") for w in words)
        raw[start : start + 8192] = good
        fixed[start : start + 8192] = good
        for i in rng.sample(range(4096), int(4096 * fraction)):
            raw[start + 2 * i : start + 2 * i + 2] = (words[i] ^ (1 << rng.choice(FLIPPABLE))).to_bytes(2, "little")
    return bytes(raw), bytes(fixed)


def test_concurrent_calls_from_python_threads():
    # Dense findings wake pool threads; sparse ones stay on the caller.  Each
    # thread checks and corrects events given as bytes and as bytearray (the
    # form copied first where no interpreter lock guards it).
    events = [spoilt_event(0.1, 21), spoilt_event(0.001, 22), spoilt_event(0.25, 23)]
    expected = [ref_check(raw) for raw, _ in events]
    assert [len(e) for e in expected] == [96 * 409, 96 * 4, 96 * 1024]
    failures = []
    barrier = threading.Barrier(6)

    def caller(k):
        barrier.wait()
        for rnd in range(6):
            i = (k + rnd) % len(events)
            raw, fixed = events[i]
            arg = raw if rnd % 2 == 0 else bytearray(raw)
            if vexoacq.ecc_check(arg) != expected[i]:
                failures.append(("ecc_check", k, rnd))
            if vexoacq.ecc_correct(arg) != fixed or arg != raw:
                failures.append(("ecc_correct", k, rnd))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the interpreter lock over often
    try:
        threads = [threading.Thread(target=caller, args=(k,)) for k in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert failures == []


# ------------------------------------------------- pool size from the environment


def run_in_child(code, **env_vars):
    env = child_env()
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env.update(env_vars)
    # A second of CPU is needed; the limits only end a child that runs or
    # waits without end.
    return run_limited([sys.executable, "-c", code], cpu_seconds=120, env=env)


COUNT_THREADS = """
import os, vexoacq
raw = bytes(786842)
for _ in range(30):
    vexoacq.ecc_check(raw)
    vexoacq.ecc_correct(b"\\xff" * 786842)
print(len(os.listdir("/proc/self/task")))
"""


@pytest.mark.parametrize(
    "env_vars, most",
    [
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": "6"}, 2),
        ({"RAYON_NUM_THREADS": "many", "RAYON_RS_NUM_CPUS": "1"}, 1),
        ({"RAYON_RS_NUM_CPUS": "3"}, 3),
    ],
)
def test_pool_threads_follow_the_environment(env_vars, most):
    proc = run_in_child(COUNT_THREADS, **env_vars)
    assert proc.returncode == 0, proc.stderr
    assert 1 <= int(proc.stdout) <= most


THREADS_BY_DENSITY = """
import os, vexoacq
def threads():
    return len(os.listdir("/proc/self/task"))
clean = bytes(786842)
sparse = bytearray(clean)
for p in range(3, 786842 - 8, 1000):
    sparse[p] = 1
for _ in range(200):
    vexoacq.ecc_check(clean)
    vexoacq.ecc_correct(clean)
    vexoacq.ecc_check(sparse)
print(threads())
vexoacq.ecc_correct(b"\\xff" * 786842)
print(threads())
"""


def vector_kernel_here():
    with open("/proc/cpuinfo") as f:
        flags = next((line.split(":", 1)[1].split() for line in f if line.startswith("flags")), [])
    return "avx2" in flags or {"avx512f", "avx512bw", "gfni"} <= set(flags)


@pytest.mark.skipif(not vector_kernel_here(), reason="the scalar kernel is slow enough to wake helpers")
def test_clean_events_never_start_pool_threads():
    # A clean or sparse event is checked before a wake would pay off: the
    # process stays on one thread.  Dense findings wake the pool.
    proc = run_in_child(THREADS_BY_DENSITY, RAYON_NUM_THREADS="4")
    assert proc.returncode == 0, proc.stderr
    before, after = map(int, proc.stdout.split())
    assert before == 1
    assert 1 < after <= 4


def test_this_file_passes_on_a_single_thread_pool():
    if os.environ.get("RAYON_NUM_THREADS") == "1":
        pytest.skip("already running on a single-thread pool")
    env = child_env()
    env["RAYON_NUM_THREADS"] = "1"
    # The file takes some seconds of CPU; its own children have limits of
    # their own.
    proc = run_limited([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__],
                       cpu_seconds=600, env=env)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-2000:]
    assert " passed" in proc.stdout and "1 skipped" in proc.stdout
