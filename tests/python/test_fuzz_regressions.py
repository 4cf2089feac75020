"""A short seeded run of the whole-acquisition fuzz harness (fuzz_support)
and the harness's own classification of what a child run shows.

Every case runs in a child interpreter under an address-space limit, a CPU
limit and a wall timeout; the bounds are generous (a case takes a fraction
of a second of CPU), so only a real hang, crash or blow-up trips them.  The
"slow" bound is CPU time too, and the wall timeout only catches a child that
waits without using CPU, so a loaded machine trips none of them.
"""

import concurrent.futures
import json
import os
import threading

import pytest

import fuzz_support

# Broken invariants that random input is meant to end with: ECC input
# outside the fixed tolv96 geometry; decoder tuning keys outside a family's
# limits (a mervyv1 packet too short for its header words and samples, a
# num_chips of 0, channel blocks or chunks of zero length, a skarnv1 block
# under two words, an empty quopoc chip segment); pedestal subtraction with
# samples 0 on a channel that has labels and data.
EXPECTED_PANICS = (
    "raw tolv96 event is shorter than its 2-byte footer",
    "tolv96 channel data range lies past the end of the raw event",
    "packet too short for its header words and samples",
    "num_chips must be non-zero",
    "channel block length must be non-zero",
    "chip length must be non-zero",
    "chip segment must not be empty",
    "channel block must hold at least two words",
    "chunk size must be non-zero",
    "attempt to divide by zero",
)

LIMITS = dict(mem_bytes=2 << 30, cpu_seconds=60, timeout=600, slow_seconds=20.0, peak_mb=1500)


def unexpected(findings):
    return [(cat, detail) for cat, detail in findings
            if not (cat == "panic" and detail.endswith(EXPECTED_PANICS))]


def test_seeded_cases_find_nothing_unexpected():
    seeds = range(24)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda s: (s, fuzz_support.run_case(s, **LIMITS)), seeds))
    bad = {s: unexpected(f) for s, f in results if unexpected(f)}
    assert bad == {}


def test_cases_are_reproducible_from_their_seed():
    assert fuzz_support.make_case(7) == fuzz_support.make_case(7)
    assert fuzz_support.make_case(7) != fuzz_support.make_case(8)


def _child_output(log, peak_kb=50_000):
    return json.dumps({"log": log, "peak_kb": peak_kb, "model": "zelkv3"}) + "\n"


def _entry(kind, outcome, cpu_seconds=0.01, message="m"):
    return {"kind": kind, "op": kind, "outcome": outcome, "message": message, "cpu_seconds": cpu_seconds}


@pytest.mark.parametrize("rc, out, err, expected", [
    (None, "", "", ["hang"]),
    (-11, "", "Segmentation fault", ["signal"]),
    (-6, "", "terminate called", ["signal"]),
    (1, "", "MemoryError", ["memory"]),
    (0, _child_output([_entry("getitem", "acquisition.ParsingError")]), "", []),
    (0, _child_output([_entry("getitem", "ValueError")]), "", ["exception"]),
    (0, _child_output([_entry("export_csv", "IndexError")]), "", ["exception"]),
    (0, _child_output([_entry("iter", "TypeError")]), "", ["exception"]),
    (0, _child_output([_entry("Acquisition", "host:yaml.scanner.ScannerError")]), "", []),
    (0, _child_output([_entry("len", "MemoryError")]), "", ["memory"]),
    (0, _child_output([_entry("misc", "MemoryError")]), "", []),
    (0, _child_output([_entry("parsed_event", "pyo3_runtime.PanicException")]), "", ["panic"]),
    (0, _child_output([_entry("parsed_event", "ok", cpu_seconds=30.0)]), "", ["slow"]),
    (0, _child_output([_entry("len", "ok")], peak_kb=3_000_000), "", ["memory"]),
])
def test_classification(rc, out, err, expected):
    findings = fuzz_support.classify(rc, out, err, 1.0, 1000, slow_seconds=2.0, peak_mb=400)
    assert [cat for cat, _ in findings] == expected


def test_a_child_past_its_timeout_is_killed_and_counted_as_a_hang(tmp_path):
    # The child reads its event corpus first, and the corpus holds a FIFO
    # with no writer: it waits there for ever, without using CPU, whatever
    # the machine's speed.  If the timeout did not kill it, a writer that
    # opens the FIFO five minutes later releases it and the run takes that long.
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    fifo = corpus / "0"
    os.mkfifo(fifo)

    def release():
        try:
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        except OSError:  # no reader: the child is gone
            pass

    watchdog = threading.Timer(300, release)
    watchdog.start()
    env = dict(os.environ, FUZZ_EVENT_CORPUS=str(corpus))
    try:
        rc, _, _, wall = fuzz_support.run_in_child(["0", str(tmp_path / "acq")], mem_bytes=2 << 30,
                                                   cpu_seconds=60, timeout=1.0, env=env)
    finally:
        watchdog.cancel()
    assert rc is None and wall < 300
    assert fuzz_support.classify(rc, "", "", wall, 0, slow_seconds=2.0, peak_mb=400)[0][0] == "hang"
