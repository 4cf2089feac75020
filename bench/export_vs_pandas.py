"""export_csv against pandas' DataFrame.to_csv of the same table.

Two workloads: 20 full tolv96 events (96 channels, one window of 4096
samples: 4096 rows of 290 fields each) and 10000 small zelkv3 events
(4 channels, 2 windows of 16 samples).  export_csv is timed end to end
(fetch, decode, rows, files); pandas is given the finished table, read back
from our file, and timed on to_csv alone.  Runs alternate, and the best of
each side is reported as MB/s of CSV and as a ratio.

The export formats rows on the worker pool, sized once per process from
RAYON_NUM_THREADS; --threads N runs each measurement in a child process with
that pool size (several values: one child each, side by side).

    PYTHONPATH=build/python:tests/python /usr/bin/python3 bench/export_vs_pandas.py [--reps N] [--threads 1 8]
"""

import argparse
import os
import pathlib
import platform
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
import acqbuilder  # noqa: E402
import vexoacq  # noqa: E402


def tolv96_full_event(seed):
    """Six chip blocks of 16 channels, 4096 bit-inverted 10-bit samples each."""
    rng = np.random.default_rng(seed)
    out = bytearray()
    for chip in range(6):
        out.append(chip)
        for c in range(16):
            samples = rng.integers(0, 1024, 4096, dtype=np.uint16)
            out += struct.pack("<H", (c << 8) & 0xFF00)
            out += (~samples).astype("<u2").tobytes()
            out += b"\x00\x00"
        out += b"\x00\x00\x00"
    out += b"\x00\x00"
    return bytes(out)


def zelkv3_event(rng, channels=4, windows=2, samples=16):
    """Default keys: 3 header words, windows of (header, samples), 1 trailer word."""
    words = [0x0102, 0x0300, 0]
    start = int(rng.integers(0, 256))
    for w in range(windows):
        for c in range(channels):
            words.append((c << 9) | (((start + w) % 256) << 1))
            words += [int(v) << 1 for v in rng.integers(0, 4096, samples)]
    words.append(0xFFFF)
    return struct.pack(f">{len(words)}H", *words)


def time_export(acq, indices, out):
    t = time.perf_counter()
    vexoacq.export_csv(acq, indices, out, False)
    return time.perf_counter() - t


def time_pandas(frames, out):
    t = time.perf_counter()
    for n, df in enumerate(frames):
        df.to_csv(out / f"pandas {n}.csv", index=False)
    return time.perf_counter() - t


def run(name, acq, indices, work, reps):
    ours_dir = work / f"{name}-ours"
    pandas_dir = work / f"{name}-pandas"
    ours_dir.mkdir()
    pandas_dir.mkdir()
    time_export(acq, indices, ours_dir)  # warm-up, and the table pandas gets
    files = sorted(ours_dir.iterdir())
    size = sum(f.stat().st_size for f in files)
    frames = [pd.read_csv(f) for f in files]
    ours, theirs = [], []
    for _ in range(reps):
        ours.append(time_export(acq, indices, ours_dir))
        theirs.append(time_pandas(frames, pandas_dir))
    psize = sum(f.stat().st_size for f in pandas_dir.iterdir())
    best_ours, best_theirs = min(ours), min(theirs)
    print(f"{name}: {size / 1e6:.1f} MB of CSV ({psize / 1e6:.1f} MB from pandas)")
    print(f"  export_csv       {best_ours * 1e3:9.1f} ms  {size / best_ours / 1e6:8.1f} MB/s")
    print(f"  pandas.to_csv    {best_theirs * 1e3:9.1f} ms  {psize / best_theirs / 1e6:8.1f} MB/s")
    print(f"  ratio (pandas time / export_csv time): {best_theirs / best_ours:.1f}x")


def pool_size():
    """The pool size the module takes from the environment (same rule)."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        text = os.environ.get(name, "").lstrip("+")
        if text.isdigit():
            if int(text) > 0:
                return int(text)
            if name == "RAYON_NUM_THREADS":
                break
    return len(os.sched_getaffinity(0))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--threads", type=int, nargs="*", help="pool sizes, one child process each")
    args = ap.parse_args()
    if args.threads:
        for n in args.threads:
            env = dict(os.environ, RAYON_NUM_THREADS=str(n))
            env.pop("RAYON_RS_NUM_CPUS", None)
            subprocess.run([sys.executable, __file__, "--reps", str(args.reps)], env=env, check=True)
        return
    print(f"pool threads: {pool_size()}, processors available: {len(os.sched_getaffinity(0))}, "
          f"pandas {pd.__version__}, numpy {np.__version__}, {platform.python_implementation()} "
          f"{platform.python_version()}")
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        evs = [tolv96_full_event(s) for s in range(4)]
        root = acqbuilder.write_acquisition(work / "tolv", params=acqbuilder.params("tolv96", 96, 1, 4096),
                                            chunks=[[evs[k % 4] for k in range(20)]])
        run("tolv96 x20", vexoacq.Acquisition(root), list(range(20)), work, args.reps)

        rng = np.random.default_rng(7)
        small = [zelkv3_event(rng) for _ in range(10000)]
        root = acqbuilder.write_acquisition(work / "zelk", params=acqbuilder.params("zelkv3", 4, 256, 16),
                                            chunks=[small[:5000], small[5000:]])
        run("zelkv3 x10000", vexoacq.Acquisition(root), list(range(10000)), work, args.reps)


if __name__ == "__main__":
    main()
