"""acq[i] on a full tolv96 event against a numpy decoder + .tolist().

Both sides start from the same stored event (96 channels x 4096 samples,
six chip blocks) and end with the same dict of Python lists; the numpy side
reads the bytes the way a script would (raw_event) and is timed including
that read.  The two are run alternately in the same process, on the default
heap (no malloc tunables); the report is the ratio of the median times, and
the minor page faults per call of each side.

Printed first are the machine facts that move the figures: CPU model and
count, load, Python and numpy versions, whether malloc tunables are set, and
the sample kernel the decoder chooses on this CPU (the widest of AVX-512
(avx512f and avx512bw), AVX2 or the plain loop, by the CPU flags).

    PYTHONPATH=<build>/python /usr/bin/python3 bench/event_dict_vs_numpy.py [rounds]
"""

import os
import platform
import random
import resource
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
import acqbuilder  # noqa: E402
import vexoacq  # noqa: E402

CHIPS, CHANNELS_PER_CHIP, SAMPLES = 6, 16, 4096
BLOCK_WORDS = SAMPLES + 2                      # header word, samples, footer word
CHIP_BYTES = 1 + CHANNELS_PER_CHIP * BLOCK_WORDS * 2 + 3


def numpy_event(raw):
    """Decodes a default-key tolv96 event (windows=1) with numpy, then lists."""
    buf = np.frombuffer(raw, dtype=np.uint8)
    data = np.zeros((96, SAMPLES), dtype=np.float32)
    labels = [[] for _ in range(96)]
    for chip in range(len(raw) // CHIP_BYTES):
        base = chip * CHIP_BYTES
        chip_no = int(buf[base]) & 0x3F
        words = buf[base + 1 : base + CHIP_BYTES - 3].view("<u2").reshape(CHANNELS_PER_CHIP, BLOCK_WORDS)
        channels = chip_no * CHANNELS_PER_CHIP + ((words[:, 0] & 0xFF00) >> 8)
        data[channels] = (~words[:, 1 : 1 + SAMPLES]) & 0x03FF
        for c in channels.tolist():
            labels[c].append(0)
    time_axis = np.arange(SAMPLES, dtype=np.uint16)
    return {
        "data": data.tolist(),
        "window_labels": labels,
        "time": [time_axis.tolist() for _ in range(96)],
        "timing": None,
        "ecc_errors": [[] for _ in range(96)],
    }


def cpu_facts():
    model, flags = platform.processor() or "?", set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() == "model name":
                    model = value.strip()
                elif key.strip() == "flags":
                    flags = set(value.split())
                    break
    except OSError:
        pass
    if {"avx512f", "avx512bw"} <= flags:
        kernel = "avx512"
    elif "avx2" in flags:
        kernel = "avx2"
    else:
        kernel = "scalar"
    return model, kernel


def print_machine_facts():
    model, kernel = cpu_facts()
    tunables = {k: v for k, v in os.environ.items() if k.startswith("MALLOC_") or k == "GLIBC_TUNABLES"}
    print(f"cpu                {model}, {os.cpu_count()} logical, load {os.getloadavg()[0]:.1f}")
    print(f"python             {platform.python_version()}, numpy {np.__version__}")
    print(f"malloc tunables    {tunables or 'none (default heap)'}")
    print(f"decode kernel      {kernel} (the widest the CPU flags allow)")


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    print_machine_facts()
    rng = random.Random(1234)
    noise = [rng.randrange(1024) for _ in range(96 * SAMPLES)]
    raw = acqbuilder.tolv96_event(lambda ch, k: noise[ch * SAMPLES + k])
    with tempfile.TemporaryDirectory() as tmp:
        folder = acqbuilder.write_acquisition(
            os.path.join(tmp, "bench"), params=acqbuilder.params("tolv96", 96, 1, SAMPLES), chunks=[[raw]]
        )
        acq = vexoacq.Acquisition(str(folder))
        assert acq[0] == numpy_event(acq.raw_event(0)["rawdata"]), "the two decoders disagree"

        ours, theirs = [], []
        our_faults = their_faults = 0
        for _ in range(rounds):
            f0 = minor_faults()
            t0 = time.perf_counter()
            d = acq[0]
            t1 = time.perf_counter()
            del d
            f1 = minor_faults()
            t2 = time.perf_counter()
            d = numpy_event(acq.raw_event(0)["rawdata"])
            t3 = time.perf_counter()
            del d
            f2 = minor_faults()
            ours.append(t1 - t0)
            theirs.append(t3 - t2)
            our_faults += f1 - f0
            their_faults += f2 - f1

    a, b = statistics.median(ours), statistics.median(theirs)
    print(f"acq[i]             median {a * 1e3:8.2f} ms over {rounds} rounds, {our_faults / rounds:7.0f} faults per call")
    print(f"numpy + .tolist()  median {b * 1e3:8.2f} ms, {their_faults / rounds:7.0f} faults per call")
    print(f"ratio numpy / acq[i] = {b / a:.2f}x")


if __name__ == "__main__":
    main()
