#!/usr/bin/env python3
"""Bounded fuzz hunt over whole acquisitions (see tests/python/fuzz_support.py).

    PYTHONPATH=build/python /usr/bin/python3 scripts/fuzz_acquisitions.py \
        --seconds 1800 --jobs 4 --start 0 [--known] [--out fuzz-findings.jsonl]

Runs cases seed = start, start+1, ... in child processes (each under an
address-space limit, a CPU limit and a generous wall timeout) until the time is up,
prints a summary by category and writes one JSON line per finding, with
the seed that reproduces it:

    PYTHONPATH=build/python:tests/python /usr/bin/python3 -c \
        'import fuzz_support as f; print(f.run_case(SEED))'

--corpus build/fuzz/decode/corpus takes half the cases' events from the
corpus that scripts/fuzz_cpp left (inputs that reach deep into the
decoders), so export, window merge and pedestal subtraction get real work.
Reproduce such a case with FUZZ_EVENT_CORPUS set to the same folder.

--known also generates the inputs of the damaged-file faults already on
file (huge channel counts, deep nesting, alias blow-up, pickle mark
floods), to show that the harness finds them.
"""

import argparse
import collections
import concurrent.futures
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import fuzz_support  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=600)
    ap.add_argument("--jobs", type=int, default=4)
    ap.add_argument("--start", type=int, default=0)
    ap.add_argument("--max-cases", type=int, default=10**9)
    ap.add_argument("--known", action="store_true")
    ap.add_argument("--mem-mb", type=int, default=2048)
    ap.add_argument("--timeout", type=float, default=60, help="CPU seconds per case")
    ap.add_argument("--wall-timeout", type=float, default=600,
                    help="wall seconds per case: only for a case that waits without using CPU")
    ap.add_argument("--out", default="fuzz-findings.jsonl")
    ap.add_argument("--corpus", help="events from the C++ decode fuzz corpus (scripts/fuzz_cpp) for half the cases")
    args = ap.parse_args()
    if args.corpus:
        os.environ["FUZZ_EVENT_CORPUS"] = os.path.abspath(args.corpus)

    deadline = time.monotonic() + args.seconds
    counts = collections.Counter()
    first = {}
    cases = 0
    seed = args.start
    with open(args.out, "w") as out, concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        running = {}
        while True:
            while len(running) < args.jobs and time.monotonic() < deadline and seed < args.start + args.max_cases:
                fut = pool.submit(fuzz_support.run_case, seed, known=args.known, mem_bytes=args.mem_mb << 20,
                                  cpu_seconds=int(args.timeout), timeout=args.wall_timeout)
                running[fut] = seed
                seed += 1
            if not running:
                break
            done, _ = concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED)
            for fut in done:
                s = running.pop(fut)
                cases += 1
                for category, detail in fut.result():
                    counts[category] += 1
                    out.write(json.dumps({"seed": s, "known": args.known, "category": category,
                                          "detail": detail}) + "\n")
                    out.flush()
                    head, _, tail = detail.partition(": ")
                    key = (category, head.split("(")[0].split("[")[0], tail[:60])
                    first.setdefault(key, (s, detail))
    print(f"{cases} cases, seeds {args.start}..{seed - 1}")
    for category, n in sorted(counts.items()):
        print(f"  {category}: {n}")
    for (category, _, _), (s, detail) in sorted(first.items()):
        print(f"  first {category} seed {s}: {detail[:160]}")


if __name__ == "__main__":
    main()
