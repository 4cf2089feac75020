"""export_csv and Ctrl-C: the export releases the interpreter lock for its
whole run, and still looks at pending signals every few tens of milliseconds,
so SIGINT ends a long export with KeyboardInterrupt soon after it arrives,
leaving the files written so far (the last one cut short at a whole record).
A signal handler that raises another exception ends it with that exception;
one that returns lets the export finish as if nothing had happened.

Each case runs in a child interpreter with a time limit, so that an export
that cannot be interrupted fails the case instead of freezing the run.  The
exports are long: the same inputs run uninterrupted take many seconds (the
first case writes 300 files, the second decodes 1000 costly events), and a
case passes only when the export ends early, before the last file."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import vexoacq
from acqbuilder import params, write_acquisition
from conftest import SMALL_PARAMS, child_env, small_event, words

# The signal goes off 0.3 s into the export; the stop must follow within a
# bound ten times larger than anything the poll interval (50 ms) and one
# event's decoding (under 0.1 s for the costly events) can explain.
SIGNAL_AFTER_S = 0.3
STOP_WITHIN_S = 10
CHILD_TIME_LIMIT_S = 300

CHILD = textwrap.dedent(
    """
    import json, os, signal, sys, threading, time
    import vexoacq

    root, out, count, handler = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]

    class Custom(Exception):
        pass

    def raise_custom(signum, frame):
        raise Custom("from the handler")

    calls = []
    def note(signum, frame):
        calls.append(signum)

    if handler == "custom":
        signal.signal(signal.SIGINT, raise_custom)
    elif handler == "returns":
        signal.signal(signal.SIGINT, note)

    acq = vexoacq.Acquisition(root)
    indices = [k % count for k in range(int(sys.argv[5]))]

    fired = []
    def fire():
        time.sleep(float(sys.argv[6]))
        fired.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=fire, daemon=True)
    thread.start()
    start = time.monotonic()
    try:
        vexoacq.export_csv(acq, indices, out, False)
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    except Custom as e:
        outcome = "Custom: " + str(e)
    end = time.monotonic()
    thread.join()
    print(json.dumps({"outcome": outcome, "seconds": end - start, "calls": len(calls),
                      "signal_during_export": fired[0] < end}))
    """
)


def run_child(root, out_dir, distinct, total, handler="default", signal_after=SIGNAL_AFTER_S):
    env = child_env()
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, os.fspath(root), os.fspath(out_dir), str(distinct), handler, str(total),
         str(signal_after)],
        env=env,
        capture_output=True,
        text=True,
        timeout=CHILD_TIME_LIMIT_S,
    )
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout.strip().splitlines()[-1])
    assert got["signal_during_export"], "the export ended before the signal: make it longer"
    return got


# name -> (params, distinct events, indices exported).  Files hold 1000
# indices each.
LONG_EXPORTS = {
    # 300 files of small events: the stop comes between blocks or events.
    "many blocks": (SMALL_PARAMS, [small_event(k) for k in range(1000)], 300_000),
    # One file of 1000 events that each decode into a million channel slots
    # (tens of milliseconds each, in both passes): the stop comes inside
    # the block.
    "costly events": (params("quopoc_quop", 1 << 20, 256, 2, num_chips=16),
                      [words(0, 0, 0, 5, 1, 2, 0xFFFF)], 1000),
}


def csv_files(out_dir):
    """The exported files in block order ("acq (chunk 2).csv" before "acq (chunk 10).csv")."""
    files = [p for p in out_dir.iterdir() if p.suffix == ".csv"]
    return sorted(files, key=lambda p: int(p.stem.rsplit(" ", 1)[1].rstrip(")")))


@pytest.mark.parametrize("name", sorted(LONG_EXPORTS))
def test_sigint_ends_a_long_export_with_keyboard_interrupt(tmp_path, name):
    params_map, events, total = LONG_EXPORTS[name]
    root = write_acquisition(tmp_path / "acq", params=params_map, chunks=[events])
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    got = run_child(root, out_dir, len(events), total)
    assert got["outcome"] == "KeyboardInterrupt"
    assert got["seconds"] < SIGNAL_AFTER_S + STOP_WITHIN_S
    files = csv_files(out_dir)
    blocks = (total + 999) // 1000
    assert 1 <= len(files) <= blocks
    # Stopped before the end: fewer files, or the one file short of its rows
    # (each event of the costly kind is a header's worth of rows or none).
    if blocks > 1:
        assert len(files) < blocks
    # Every file but the last is whole, and the last ends at a record.
    for f in files:
        text = f.read_bytes()
        assert text == b"" or text.endswith(b"\n")


def test_stopped_files_are_prefixes_of_the_uninterrupted_ones(tmp_path):
    # Small enough to run uninterrupted here; the signal comes late enough
    # that some files are written whole first.
    events = [small_event(k) for k in range(1000)]
    root = write_acquisition(tmp_path / "acq", params=SMALL_PARAMS, chunks=[events])
    full_dir = tmp_path / "full"
    full_dir.mkdir()
    total = 300_000
    vexoacq.export_csv(vexoacq.Acquisition(root), [k % 1000 for k in range(60_000)], full_dir, False)
    stopped_dir = tmp_path / "stopped"
    stopped_dir.mkdir()
    got = run_child(root, stopped_dir, 1000, total, signal_after=1.0)
    assert got["outcome"] == "KeyboardInterrupt"
    files = csv_files(stopped_dir)
    assert 1 <= len(files) < total // 1000
    # Block n holds the same indices in both runs (the index list repeats
    # every 1000), so each stopped file is block 0's file or a prefix of it.
    reference = csv_files(full_dir)[0].read_bytes()
    for f in files[:-1]:
        assert f.read_bytes() == reference
    assert reference.startswith(files[-1].read_bytes())


@pytest.mark.parametrize(
    "handler, outcome",
    [
        ("custom", "Custom: from the handler"),  # the handler's own exception
        ("returns", "finished"),                  # a handler that returns stops nothing
    ],
)
def test_the_signal_handler_decides(tmp_path, handler, outcome):
    events = [small_event(k) for k in range(1000)]
    root = write_acquisition(tmp_path / "acq", params=SMALL_PARAMS, chunks=[events])
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    # Long enough that the signal comes mid-export, short enough to finish.
    total = 50_000 if handler == "returns" else 300_000
    got = run_child(root, out_dir, 1000, total, handler=handler, signal_after=0.05)
    assert got["outcome"] == outcome
    files = csv_files(out_dir)
    if handler == "returns":
        assert got["calls"] == 1
        assert len(files) == total // 1000
    else:
        assert len(files) < total // 1000
