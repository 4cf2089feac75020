"""ecc_check and ecc_correct on a full tolv96 event: the worker pool against
a pool of one thread, and both against a numpy check.

The event is 786842 bytes: six chip blocks of 16 channels, 4096 data words
per channel.  Four versions of it: clean (every data word a code word), and
with 0.1 %, 1 % and 10 % of the data words carrying one inverted bit among
d0-d13.

The pool is sized once per process, so each side runs in a child process of
its own: the default pool and RAYON_NUM_THREADS=1 (and, with --other DIR,
the module built in DIR, for a before/after comparison in the same run).
The parent asks each child in turn to time one call, then times the numpy
check itself, round after round, so all sides see the same machine load and
the pool threads have gone idle between calls as they do in real use.  The
report is the ratio of the median times.

The numpy side is a vectorised check of the same event: a 64K table from
word to code bits (syndrome in bits 0-3, parity in bit 4), looked up for
each block of 16 channels (one chip) and searched for non-zero entries; the
findings become the same list of 6-tuples.  Its correction copies the bytes
into a bytearray and writes the corrected words back with one fancy
assignment.  All outputs are compared once before timing.

    PYTHONPATH=<build>/python /usr/bin/python3 bench/ecc_vs_numpy.py [--rounds N] [--other DIR]
"""

import argparse
import os
import pickle
import random
import statistics
import subprocess
import sys
import time

import numpy as np

CHIP = 131140
FULL = 6 * CHIP + 2
MASKS = (0x055B, 0x0A6D, 0x138E, 0x23F0)
SYNDROME_BITS = np.array([15, 10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15], dtype=np.uint8)  # by S; S=0 -> d15
EVENTS = [("clean", 0.0, 1), ("0.1% flipped", 0.001, 3), ("1% flipped", 0.01, 2), ("10% flipped", 0.1, 4)]
FUNCTIONS = ["ecc_check", "ecc_correct"]


def code_table():
    w = np.arange(1 << 16, dtype=np.uint32)

    def parity(x):
        x = x ^ (x >> 8)
        x = x ^ (x >> 4)
        x = x ^ (x >> 2)
        x = x ^ (x >> 1)
        return x & 1

    code = parity(w) << 4
    for i, m in enumerate(MASKS):
        code |= parity(w & m) << i
    return code.astype(np.uint8)


TABLE = code_table()
# Byte offset of every data word in the event, in channel and offset order.
STARTS = np.array([(ch // 16) * CHIP + (ch % 16) * 8196 + 3 for ch in range(96)], dtype=np.int64)
OFFSETS = np.arange(0, 8192, 2, dtype=np.int64)


def words_of(buf):
    """(6, 16, 4096) little-endian data words, a view of the event's bytes."""
    chips = buf[: 6 * CHIP].reshape(6, CHIP)
    blocks = chips[:, 1 : 1 + 16 * 8196].reshape(6, 16, 8196)[:, :, 2:8194]
    return blocks.view("<u2")


def numpy_findings(raw):
    buf = np.frombuffer(raw, dtype=np.uint8)
    words = words_of(buf)
    out = []
    for chip in range(6):
        w = words[chip]
        codes = TABLE[w]
        flat = np.flatnonzero(codes)
        if flat.size == 0:
            continue
        ch, idx = np.divmod(flat, 4096)
        word = w.reshape(-1)[flat].astype(np.uint32)
        code = codes.reshape(-1)[flat]
        parity = code >> 4
        bit = SYNDROME_BITS[code & 0x0F]
        corrected = np.where(parity == 1, word ^ (1 << bit.astype(np.uint32)), word)
        offset = OFFSETS[idx]
        position = STARTS[chip * 16 + ch] + offset
        out.extend(zip(offset.tolist(), position.tolist(), word.tolist(), corrected.tolist(), bit.tolist(),
                       parity.tolist()))
    return out


def numpy_check(raw):
    return numpy_findings(raw)


def numpy_correct(raw):
    out = bytearray(raw)
    found = numpy_findings(raw)
    if found:
        arr = np.array(found, dtype=np.int64)
        fix = arr[arr[:, 5] == 1]
        view = np.frombuffer(out, dtype=np.uint8)
        view[fix[:, 1]] = fix[:, 3] & 0xFF
        view[fix[:, 1] + 1] = fix[:, 3] >> 8
    return out


NUMPY = {"ecc_check": numpy_check, "ecc_correct": numpy_correct}


def make_event(fraction, seed):
    rng = np.random.default_rng(seed)
    clean = np.flatnonzero(TABLE == 0).astype(np.uint16)
    raw = np.frombuffer(random.Random(seed).randbytes(FULL), dtype=np.uint8).copy()
    words = words_of(raw)
    words[...] = rng.choice(clean, size=words.shape)
    flip = rng.random(words.shape) < fraction
    bits = rng.integers(0, 14, size=words.shape).astype(np.uint16)
    words[flip] ^= (np.uint16(1) << bits[flip]).astype(np.uint16)
    return raw.tobytes()


# ------------------------------------------------------------------ children


def serve():
    """Child: answer 'function event' lines with the time of one call."""
    import vexoacq

    events = [make_event(f, seed) for _, f, seed in EVENTS]
    out = sys.stdout.buffer
    pickle.dump({"module": vexoacq.__file__}, out)
    out.flush()
    for line in sys.stdin:
        if line.startswith("result"):
            _, fn, ev = line.split()
            pickle.dump(getattr(vexoacq, fn)(events[int(ev)]), out)
        else:
            fn, ev = line.split()
            f, raw = getattr(vexoacq, fn), events[int(ev)]
            t0 = time.perf_counter()
            f(raw)
            pickle.dump(time.perf_counter() - t0, out)
        out.flush()


class Child:
    def __init__(self, label, env_update, pythonpath=None):
        env = dict(os.environ)
        env.pop("RAYON_NUM_THREADS", None)
        env.pop("RAYON_RS_NUM_CPUS", None)
        env.update(env_update)
        if pythonpath:
            env["PYTHONPATH"] = pythonpath
        self.label = label
        self.proc = subprocess.Popen([sys.executable, __file__, "--serve"], env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
        self.info = pickle.load(self.proc.stdout)

    def ask(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        return pickle.load(self.proc.stdout)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


# ---------------------------------------------------------------- the facts


def kernel_name():
    flags = set()
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                break
    if {"avx512f", "avx512bw", "gfni"} <= flags:
        return "AVX-512 + GFNI"
    if "avx2" in flags:
        return "AVX2"
    return "scalar"


def pool_size():
    # The rule the module applies (no cgroup quota assumed).
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        v = os.environ.get(var, "")
        if v.lstrip("+").isdigit():
            if int(v) > 0:
                return int(v)
            if var == "RAYON_NUM_THREADS":
                break
    return len(os.sched_getaffinity(0))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--other", help="build directory of a second module to time beside this one")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve()
        return

    children = [Child("pool", {}), Child("1 thread", {"RAYON_NUM_THREADS": "1"})]
    if args.other:
        children.append(Child("other pool", {}, os.path.join(os.path.abspath(args.other), "python")))
    print(f"pool threads {pool_size()}, ECC kernel {kernel_name()}, processors {os.cpu_count()}, "
          f"load average {os.getloadavg()[0]:.1f}, rounds {args.rounds}")
    for c in children:
        print(f"  {c.label}: {c.info['module']}")
    events = [make_event(f, seed) for _, f, seed in EVENTS]

    rows = []
    for fn in FUNCTIONS:
        for e, (label, _, _) in enumerate(EVENTS):
            expected = NUMPY[fn](events[e])
            for c in children:
                assert c.ask(f"result {fn} {e}") == expected, (c.label, fn, label)
            times = {c.label: [] for c in children}
            times["numpy"] = []
            for _ in range(args.rounds):
                for c in children:
                    times[c.label].append(c.ask(f"{fn} {e}"))
                t0 = time.perf_counter()
                NUMPY[fn](events[e])
                times["numpy"].append(time.perf_counter() - t0)
            rows.append((fn, label, len(numpy_findings(events[e])),
                         {k: statistics.median(v) * 1e6 for k, v in times.items()}))
    for c in children:
        c.close()

    other = " other us" if args.other else ""
    print(f"{'function':12} {'event':13} {'findings':>8} {'pool us':>9} {'1-thr us':>9}{other:>10} {'numpy us':>9}"
          f" {'pool/1-thr':>10} {'numpy/pool':>10}")
    for fn, label, n, t in rows:
        o = f" {t['other pool']:9.1f}" if args.other else ""
        print(f"{fn:12} {label:13} {n:8d} {t['pool']:9.1f} {t['1 thread']:9.1f}{o} {t['numpy']:9.1f}"
              f" {t['pool'] / t['1 thread']:9.2f}x {t['numpy'] / t['pool']:9.1f}x")

    by = {(fn, label): t for fn, label, _, t in rows}
    check = by[("ecc_check", "clean")]
    print("goals (ecc_check unless named):")
    print(f"  clean: pool / 1 thread = {check['pool'] / check['1 thread']:.2f} (at most 1.3), "
          f"numpy / pool = {check['numpy'] / check['pool']:.1f} (at least 10)")
    t = by[("ecc_check", "0.1% flipped")]
    print(f"  0.1% flipped: numpy / pool = {t['numpy'] / t['pool']:.1f} (at least 5)")
    for fn in FUNCTIONS:
        t = by[(fn, "10% flipped")]
        print(f"  10% flipped, {fn}: 1 thread / pool = {t['1 thread'] / t['pool']:.2f} (at least 1.5)")
    if args.other:
        for fn, label, _, t in rows:
            print(f"  {fn} {label}: other / pool = {t['other pool'] / t['pool']:.2f}")


if __name__ == "__main__":
    main()
