"""The module in processes made by fork(): the ECC check and the CSV export
in a forked child give the parent's results, keep its memory flat, and
never hang, after a parent whose pool is running (busy on another thread
at the moment of the fork, too), in grandchildren, over repeated forks and
under multiprocessing's "fork" start method.

The worker pool is made once per process, so every case runs in a fresh
interpreter whose state before the fork the case sets up.  The forked
processes run under RLIMIT_CPU and an alarm, which end a spinning or a
blocked child; they report through a pipe and their exit code.
"""

import json
import subprocess
import sys

import pytest

from conftest import child_env

PRELUDE = r'''
import hashlib, json, os, resource, signal, sys, threading, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads, 3.12+
import acqbuilder
import vexoacq

FULL = 6 * 131140 + 2


def start_of(ch):
    return (ch // 16) * 131140 + (ch % 16) * 8196 + 3


def dense_event(per_channel):
    """A full event of zero words (all clean) with `per_channel` words per
    channel holding one set bit among d0-d13: that many findings per channel,
    enough to make the check wake pool threads."""
    raw = bytearray(FULL)
    for ch in range(96):
        for k in range(per_channel):
            word = 1 << ((ch + k) % 14)
            pos = start_of(ch) + 2 * ((k * 4093 + ch * 31) % 4096)
            raw[pos:pos + 2] = word.to_bytes(2, "little")
    return bytes(raw)


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def threads():
    return len(os.listdir("/proc/self/task"))


def in_child(fn):
    """fn() in a forked child, bounded by RLIMIT_CPU and an alarm; returns
    (exit code, fn's JSON-able result or the child's error text)."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        code = 1
        try:
            signal.alarm(600)
            resource.setrlimit(resource.RLIMIT_CPU, (300, 300))
            out = json.dumps(fn()).encode()
            code = 0
        except BaseException as e:
            out = json.dumps(repr(e)).encode()
        try:
            with os.fdopen(w, "wb") as f:
                f.write(out)
        finally:
            os._exit(code)
    os.close(w)
    with os.fdopen(r, "rb") as f:
        data = f.read()
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), json.loads(data) if data else None


def tolv96_acquisition(root):
    """Four full tolv96 events, large enough to be decoded and formatted on
    the pool."""
    evs = [acqbuilder.tolv96_event(lambda ch, k, s=s: (ch * 7 + k * s) % 1024) for s in (1, 3)]
    p = acqbuilder.params("tolv96", 96, 1, 4096)
    return acqbuilder.write_acquisition(os.path.join(root, "acq"), params=p, chunks=[evs, evs[::-1]])


def export_digest(acq_path, out):
    os.mkdir(out)
    vexoacq.export_csv(vexoacq.Acquisition(str(acq_path)), list(range(4)), out, False)
    return {name: hashlib.sha256(open(os.path.join(out, name), "rb").read()).hexdigest()
            for name in sorted(os.listdir(out))}


def leak_run(event, expected, warmup, calls):
    """RSS growth over `calls` checks and corrections after `warmup` of them,
    whether every result was right, and the thread count at the end."""
    right = True
    for _ in range(warmup):
        right &= vexoacq.ecc_check(event) == expected
        vexoacq.ecc_correct(event)
    before = rss()
    for i in range(calls):
        found = vexoacq.ecc_check(event)
        fixed = vexoacq.ecc_correct(event)
        if i % 256 == 0:
            right &= found == expected and fixed == bytes(FULL)
    return {"growth": rss() - before, "right": right, "threads": threads()}
'''


def run_case(body, threads="4"):
    env = child_env()
    env.pop("RAYON_RS_NUM_CPUS", None)
    env["RAYON_NUM_THREADS"] = threads
    proc = subprocess.run([sys.executable, "-c", PRELUDE + body], env=env, capture_output=True, text=True,
                          timeout=1200)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


# Without the fork handling, every check in the child that woke a helper
# left its state behind (about 9 KB a call with 7680 findings): 3000 calls
# of each function would grow the child by some 50 MB.
LEAK_LIMIT = 12 << 20


def test_child_of_a_busy_parent_checks_in_flat_memory():
    # The parent's pool has run, and another thread is inside ecc_check
    # while the main thread forks.  The child and its own child (forked from
    # a process that never had a pool of its own) repeat the parent's
    # findings in flat memory, on the calling thread alone.
    out = run_case(r'''
event = dense_event(80)
expected = vexoacq.ecc_check(event)
assert len(expected) == 7680
stop = threading.Event()
spinning = threading.Event()
def busy():
    while not stop.is_set():
        vexoacq.ecc_check(event)
        spinning.set()
t = threading.Thread(target=busy)
t.start()
assert spinning.wait(300)
def child():
    mine = leak_run(event, expected, 300, 3000)
    mine["grandchild"] = in_child(lambda: leak_run(event, expected, 300, 3000))
    return mine
result = in_child(child)
stop.set()
t.join()
print(json.dumps(result))
''')
    code, child = out
    assert code == 0, child
    grand_code, grand = child.pop("grandchild")
    assert grand_code == 0, grand
    for who in (child, grand):
        assert who["right"], who
        assert who["threads"] == 1, who
        assert who["growth"] < LEAK_LIMIT, who


def test_child_exports_the_parents_bytes():
    # The parent exports on its running pool, then its children export the
    # same events: a child, a grandchild, and three children one after the
    # other, one of them forked while a parent thread is exporting.
    out = run_case(r'''
import tempfile
work = tempfile.mkdtemp()
acq = tolv96_acquisition(work)
parent = export_digest(acq, os.path.join(work, "parent"))
def child(n):
    mine = export_digest(acq, os.path.join(work, f"child{n}"))
    grand = in_child(lambda: export_digest(acq, os.path.join(work, f"grand{n}")))
    return [mine, grand]
results = [in_child(lambda: child(0)), in_child(lambda: child(1))]
t = threading.Thread(target=export_digest, args=(acq, os.path.join(work, "busy")))
t.start()
results.append(in_child(lambda: child(2)))
t.join()
print(json.dumps([parent, results]))
''')
    parent, results = out
    assert len(parent) == 1 and all(len(h) == 64 for h in parent.values())
    for code, result in results:
        assert code == 0, result
        mine, (grand_code, grand) = result
        assert grand_code == 0, grand
        assert mine == parent
        assert grand == parent


def test_child_of_a_parent_without_a_pool_makes_its_own():
    # The parent only imported the module before forking: the child's pool
    # is made in the child, sized by the environment, and its threads run
    # (an event of all ones wakes them).  Its own fork, a grandchild, runs
    # on the calling thread.
    out = run_case(r'''
event = dense_event(80)
ones = b"\xff" * FULL
def digest(findings):
    return hashlib.sha256(repr(findings).encode()).hexdigest()
def child():
    vexoacq.ecc_check(ones)
    after_ones = threads()
    expected = vexoacq.ecc_check(event)
    mine = leak_run(event, expected, 300, 3000)
    mine.update(after_ones=after_ones, digest=digest(expected))
    mine["grandchild"] = in_child(lambda: leak_run(event, expected, 300, 3000))
    return mine
result = in_child(child)
print(json.dumps([result, digest(vexoacq.ecc_check(event))]))
''')
    (code, child), parent_digest = out
    assert code == 0, child
    assert child["digest"] == parent_digest
    assert 1 < child["after_ones"] <= 4
    assert child["right"] and child["growth"] < LEAK_LIMIT, child
    grand_code, grand = child["grandchild"]
    assert grand_code == 0, grand
    assert grand["right"] and grand["threads"] == 1 and grand["growth"] < LEAK_LIMIT, grand


@pytest.mark.parametrize("warm_parent", [False, True])
def test_multiprocessing_fork_workers_repeat_the_parent(warm_parent):
    # Worker processes of a "fork" pool check dense and clean events and
    # correct them; their results are the parent's.
    out = run_case(r'''
import multiprocessing
events = [dense_event(k) for k in (0, 3, 80, 400)]
if WARM:
    expected = [vexoacq.ecc_check(e) for e in events]
def work(i):
    return vexoacq.ecc_check(events[i % 4]), bytes(vexoacq.ecc_correct(events[i % 4])) == bytes(FULL)
with multiprocessing.get_context("fork").Pool(3) as pool:
    got = pool.map_async(work, range(24)).get(timeout=600)
if not WARM:
    expected = [vexoacq.ecc_check(e) for e in events]
print(json.dumps([all(found == expected[i % 4] and fixed for i, (found, fixed) in enumerate(got)),
                  [len(e) for e in expected]]))
'''.replace("WARM", repr(warm_parent)))
    right, counts = out
    assert counts == [0, 96 * 3, 96 * 80, 96 * 400]
    assert right
