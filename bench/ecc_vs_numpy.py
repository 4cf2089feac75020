"""ecc_check and ecc_correct on a full tolv96 event against a numpy check.

The event is 786842 bytes: six chip blocks of 16 channels, 4096 data words
per channel.  Three versions of it: clean (every data word a code word), and
with 1% and 0.1% of the data words carrying one inverted bit among d0-d13.

The numpy side is a vectorised check of the same event: a 64K table from
word to code bits (syndrome in bits 0-3, parity in bit 4), looked up for
each block of 16 channels (one chip) and searched for non-zero entries; the
findings become the same list of 6-tuples.  Its correction copies the bytes
into a bytearray and writes the corrected words back with one fancy
assignment.  Both sides are run alternately in the same process, their
outputs compared once, and the report is the ratio of the median times.

    PYTHONPATH=<build>/python /usr/bin/python3 bench/ecc_vs_numpy.py [rounds]
"""

import random
import statistics
import sys
import time

import numpy as np

import vexoacq

CHIP = 131140
FULL = 6 * CHIP + 2
MASKS = (0x055B, 0x0A6D, 0x138E, 0x23F0)
SYNDROME_BITS = np.array([15, 10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15], dtype=np.uint8)  # by S; S=0 -> d15


def code_table():
    w = np.arange(1 << 16, dtype=np.uint32)

    def parity(x):
        x = x ^ (x >> 8)
        x = x ^ (x >> 4)
        x = x ^ (x >> 2)
        x = x ^ (x >> 1)
        return x & 1

    code = parity(w)  << 4
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


def median_us(samples):
    return statistics.median(samples) * 1e6


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    events = [("clean", make_event(0.0, 1)), ("1% flipped", make_event(0.01, 2)),
              ("0.1% flipped", make_event(0.001, 3))]
    pairs = [("ecc_check", vexoacq.ecc_check, numpy_check), ("ecc_correct", vexoacq.ecc_correct, numpy_correct)]
    print(f"{'function':12} {'event':13} {'findings':>8} {'vexoacq us':>11} {'numpy us':>10} {'ratio':>7}")
    for name, ours, theirs in pairs:
        for label, raw in events:
            assert ours(raw) == theirs(raw), (name, label)
            t_ours, t_theirs = [], []
            for _ in range(rounds):
                t0 = time.perf_counter()
                ours(raw)
                t1 = time.perf_counter()
                theirs(raw)
                t2 = time.perf_counter()
                t_ours.append(t1 - t0)
                t_theirs.append(t2 - t1)
            a, b = median_us(t_ours), median_us(t_theirs)
            print(f"{name:12} {label:13} {len(vexoacq.ecc_check(raw)):8d} {a:11.1f} {b:10.1f} {b / a:6.1f}x")


if __name__ == "__main__":
    main()
