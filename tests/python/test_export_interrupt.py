"""export_csv and Ctrl-C: the export releases the interpreter lock for its
whole run, and still looks at pending signals every few tens of milliseconds,
so SIGINT ends a long export with KeyboardInterrupt soon after it arrives,
leaving the files written so far (the last one cut short at a whole record).
A signal handler that raises another exception ends it with that exception;
one that returns lets the export finish as if nothing had happened.

Each case runs in a child interpreter.  Nothing here depends on how fast the
machine is:
- the signal is sent on observed progress: a thread of the child waits until
  a given block's file exists on disk (block k's file is opened only once
  block k - 1's file is complete), then signals;
- the exports that are meant to be stopped are given far more work than the
  child's CPU-time limit lets them finish (minutes of work on a machine ten
  times faster than the one they were sized on), so the signal comes during
  the export by construction, and an export that cannot be stopped is ended
  by that limit and fails the case;
- "soon after the signal" is measured in CPU time of the child, which the
  machine's load does not stretch;
- the export that must finish is finite, and its handler records what it
  found on disk, so the case checks that the handler ran mid-export instead
  of assuming it.
A wall-clock timeout far above all of this only catches a child that blocks
without using CPU."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import vexoacq
from acqbuilder import params, write_acquisition
from conftest import child_env, words

# The child's CPU-time limit (RLIMIT_CPU): a stopped case needs under a
# second of it, the export that finishes about three.  An export that
# ignores the signal runs into the limit.
CHILD_CPU_LIMIT_S = 20
# After the signal the export stops within one poll interval (50 ms of wall
# time, in which the export can use at most that much CPU per thread) plus
# one event's decoding (0.1 s for the costly events): this bound in CPU
# seconds is many times that on any machine and under any load.
STOP_WITHIN_CPU_S = 10
# Only for a child that blocks without using CPU.
CHILD_WALL_LIMIT_S = 600

BLOCK = 1000  # indices per file

# Shared by the child and this module: the index list of `blocks` blocks over
# `distinct` events, block b rotated to start at event 7 b (mod distinct),
# so that blocks differ from each other.  The lists share their int objects:
# a few bytes per index.
INDICES_CODE = '''
def block_indices(distinct, blocks):
    base = list(range(distinct))
    out = []
    for b in range(blocks):
        r = (7 * b) % distinct
        block = base[r:] + base[:r]
        out += (block * (BLOCK // distinct + 1))[:BLOCK]
    return out
'''
_ns = {"BLOCK": BLOCK}
exec(INDICES_CODE, _ns)
block_indices = _ns["block_indices"]

CHILD = textwrap.dedent(
    """
    import resource
    import sys
    cpu_limit = int(sys.argv[7])
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    resource.setrlimit(resource.RLIMIT_CPU, (cpu_limit, cpu_limit + 5))
    import json, os, signal, threading, time
    import vexoacq

    root, out, handler = sys.argv[1], sys.argv[2], sys.argv[3]
    distinct, blocks, trigger = int(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
    BLOCK = {block}
    {indices_code}
    class Custom(Exception):
        pass

    def raise_custom(signum, frame):
        raise Custom("from the handler")

    # What the handler that returns saw on disk: it runs on the exporting
    # thread, so the export does not move on while it looks.
    calls = []
    def note(signum, frame):
        calls.append(sorted(os.listdir(out)))

    if handler == "custom":
        signal.signal(signal.SIGINT, raise_custom)
    elif handler == "returns":
        signal.signal(signal.SIGINT, note)
    else:
        # A shell that runs the tests as a background job starts them with
        # SIGINT ignored, and an interpreter started so installs no
        # KeyboardInterrupt handler: put Python's own in place.
        signal.signal(signal.SIGINT, signal.default_int_handler)

    acq = vexoacq.Acquisition(root)
    indices = block_indices(distinct, blocks)
    target = os.path.join(out, trigger)

    done = threading.Event()
    fired = []
    def fire():
        # Polls for the trigger file; the pause is only what keeps the
        # polling cheap, nothing waits for it to pass.
        while not os.path.exists(target):
            if done.is_set():
                return
            time.sleep(0.001)
        fired.append({{"cpu": time.process_time(), "wall": time.monotonic(),
                       "files": len(os.listdir(out))}})
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=fire, daemon=True)
    thread.start()
    try:
        vexoacq.export_csv(acq, indices, out, False)
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    except Custom as e:
        outcome = "Custom: " + str(e)
    end_cpu, end_wall = time.process_time(), time.monotonic()
    done.set()
    thread.join()
    got = {{"outcome": outcome, "calls": calls, "fired": bool(fired)}}
    if fired:
        got.update(signal_during_export=fired[0]["wall"] < end_wall,
                   cpu_after_signal=end_cpu - fired[0]["cpu"], files_when_fired=fired[0]["files"])
    print(json.dumps(got))
    """
).format(block=BLOCK, indices_code=INDICES_CODE)


def file_name(root, block):
    return f"{root.name} (chunk {block}).csv"


def run_child(root, out_dir, distinct, blocks, trigger_block, handler="default"):
    """Exports `blocks` blocks in a child and sends SIGINT once block
    `trigger_block`'s file exists; returns what the child reports."""
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, os.fspath(root), os.fspath(out_dir), handler, str(distinct), str(blocks),
         file_name(root, trigger_block), str(CHILD_CPU_LIMIT_S)],
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=CHILD_WALL_LIMIT_S,
    )
    if proc.returncode in (-24, -9):  # SIGXCPU, then SIGKILL at the hard limit
        pytest.fail(f"the child used up its {CHILD_CPU_LIMIT_S} s of CPU time: the export was not stopped")
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout.strip().splitlines()[-1])
    assert got["fired"], "the export ended before the trigger file appeared"
    assert got["signal_during_export"]
    return got


def quop_event(k):
    """A quopoc event of one block on channel 0: window label k % 256 and
    two samples that depend on k."""
    return words(0, 0, 0, k % 256, (7 * k) % 4096, (13 * k + 1) % 4096, 0xFFFF)


# name -> (params, distinct events, blocks, block whose file triggers the signal).
LONG_EXPORTS = {
    # 3000 files of 1000 events that each decode into 16384 channel slots
    # (0.15 s a block here, 8 minutes in all, 45 s on a machine ten times
    # faster): the signal comes once block 0's file is complete, and the stop
    # between or inside the next blocks.
    "many blocks": (params("quopoc_quop", 16384, 256, 2, num_chips=16), [quop_event(k) for k in range(1000)],
                    3000, 1),
    # Files of 1000 events that each decode into a million channel slots
    # (0.1 s each, in both passes; about 100 s a file here, and 10 s on a
    # machine ten times faster): the signal comes once block 0's file is
    # opened, and the stop inside that block.
    "costly events": (params("quopoc_quop", 1 << 20, 256, 2, num_chips=16),
                      [words(0, 0, 0, 5, 1, 2, 0xFFFF)], 10, 0),
}


def csv_files(out_dir):
    """The exported files in block order ("acq (chunk 2).csv" before "acq (chunk 10).csv")."""
    files = [p for p in out_dir.iterdir() if p.suffix == ".csv"]
    return sorted(files, key=lambda p: int(p.stem.rsplit(" ", 1)[1].rstrip(")")))


def long_export(tmp_path, name):
    params_map, events, blocks, trigger = LONG_EXPORTS[name]
    root = write_acquisition(tmp_path / "acq", params=params_map, chunks=[events])
    out_dir = tmp_path / "stopped"
    out_dir.mkdir()
    return root, out_dir, len(events), blocks, trigger


@pytest.mark.parametrize("name", sorted(LONG_EXPORTS))
def test_sigint_ends_a_long_export_with_keyboard_interrupt(tmp_path, name):
    root, out_dir, distinct, blocks, trigger = long_export(tmp_path, name)
    got = run_child(root, out_dir, distinct, blocks, trigger)
    assert got["outcome"] == "KeyboardInterrupt"
    assert got["cpu_after_signal"] < STOP_WITHIN_CPU_S
    assert got["files_when_fired"] >= trigger + 1
    files = csv_files(out_dir)
    # Stopped before the end, and no earlier than the block that triggered.
    assert trigger + 1 <= len(files) < blocks
    if name == "costly events":
        # Inside the block whose file triggered: no later block was started.
        assert len(files) == 1
    # Every file but the last is whole, and the last ends at a record.
    for f in files:
        text = f.read_bytes()
        assert text == b"" or text.endswith(b"\n")


def test_stopped_files_are_prefixes_of_the_uninterrupted_ones(tmp_path):
    root, out_dir, distinct, blocks, trigger = long_export(tmp_path, "many blocks")
    got = run_child(root, out_dir, distinct, blocks, trigger)
    assert got["outcome"] == "KeyboardInterrupt"
    stopped = csv_files(out_dir)
    assert trigger + 1 <= len(stopped) < blocks
    # The same inputs, uninterrupted, for just the blocks that have a file.
    full_dir = tmp_path / "full"
    full_dir.mkdir()
    vexoacq.export_csv(vexoacq.Acquisition(root), block_indices(distinct, len(stopped)), full_dir, False)
    full = csv_files(full_dir)
    assert [f.name for f in full] == [f.name for f in stopped]
    # Each block's rows differ from the others', so a file that took a wrong
    # block's events shows.
    assert len({f.read_bytes() for f in full}) == len(full)
    for s, f in zip(stopped[:-1], full[:-1]):
        assert s.read_bytes() == f.read_bytes(), s.name
    last = stopped[-1].read_bytes()
    assert full[-1].read_bytes().startswith(last)
    assert last == b"" or last.endswith(b"\n")


@pytest.mark.parametrize("name", sorted(LONG_EXPORTS))
def test_a_handler_that_raises_ends_the_export_with_its_exception(tmp_path, name):
    root, out_dir, distinct, blocks, trigger = long_export(tmp_path, name)
    got = run_child(root, out_dir, distinct, blocks, trigger, handler="custom")
    assert got["outcome"] == "Custom: from the handler"
    assert got["cpu_after_signal"] < STOP_WITHIN_CPU_S
    assert trigger + 1 <= len(csv_files(out_dir)) < blocks


def test_a_handler_that_returns_lets_the_export_finish(tmp_path):
    # A finite export of 20 blocks (3 s here).  The signal comes once block
    # 1's file exists; the handler runs at the next poll, at most 50 ms of
    # wall time later, while 18 blocks (a third of a second on a machine ten
    # times faster) are still to go.  It records the files it saw, which
    # shows that it ran mid-export.
    params_map, events, _, _ = LONG_EXPORTS["many blocks"]
    blocks = 20
    root = write_acquisition(tmp_path / "acq", params=params_map, chunks=[events])
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    got = run_child(root, out_dir, len(events), blocks, 1, handler="returns")
    assert got["outcome"] == "finished"
    assert len(got["calls"]) == 1
    seen = got["calls"][0]
    assert file_name(root, blocks - 1) not in seen, "the handler ran after the export"
    assert file_name(root, 1) in seen
    # As if nothing had happened: the files of the same export, uninterrupted.
    full_dir = tmp_path / "full"
    full_dir.mkdir()
    vexoacq.export_csv(vexoacq.Acquisition(root), block_indices(len(events), blocks), full_dir, False)
    stopped, full = csv_files(out_dir), csv_files(full_dir)
    assert [f.name for f in stopped] == [f.name for f in full] == [file_name(root, b) for b in range(blocks)]
    for s, f in zip(stopped, full):
        assert s.read_bytes() == f.read_bytes(), s.name
