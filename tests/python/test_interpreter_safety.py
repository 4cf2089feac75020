"""The module inside one process: first-use slots across fork() and threads,
the refusal of a second interpreter, and caller objects that change while a
call reads them.

The fork and interpreter cases run in a fresh interpreter each: they depend
on slots that are still empty, and a failure must not hang or corrupt the
test process itself.
"""

import sys
import textwrap

import pytest

import vexoacq

# A stand-in "yaml" placed first on sys.path: it loads the real yaml, takes
# its place in sys.modules, and holds the first attribute read (the module
# reads yaml.safe_load once, when it fills its slot) in `hold()`, which the
# script sets, until what the case waits for has been observed; the script's
# holds wait with the interpreter lock released.  The import itself is quick,
# so no import lock is held during the hold.  `entered` is set when the first
# read begins; `reads` counts them.  Nothing waits for a fixed time: a hold
# ends on an observed event, and its limit (minutes) only ends a case whose
# event never comes.
SLOW_YAML = """
import sys, threading
sys.path.remove(FAKE_DIR)
_self = sys.modules[__name__]
del sys.modules["yaml"]
import yaml as _real
sys.modules["yaml"] = _self
entered = threading.Event()
reads = []

def hold():
    pass

def __getattr__(name):
    reads.append(name)
    if len(reads) == 1:
        entered.set()
        _self.hold()
    return getattr(_real, name)
"""

PRELUDE = """
import os, signal, sys, tempfile, threading, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads, 3.12+
import acqbuilder
work = tempfile.mkdtemp()
root = str(acqbuilder.write_acquisition(os.path.join(work, "a"), params=acqbuilder.params("ryk16", 1, 2, 2)))
fake_dir = os.path.join(work, "fake")
os.mkdir(fake_dir)
with open(os.path.join(fake_dir, "yaml.py"), "w") as f:
    f.write(SLOW_YAML.replace("FAKE_DIR", repr(fake_dir)))
for name in [n for n in sys.modules if n == "yaml" or n.startswith("yaml.")]:
    del sys.modules[name]
sys.path.insert(0, fake_dir)
import yaml as slow_yaml  # the stand-in, now in sys.modules; no attribute read yet
import vexoacq
HOLD_LIMIT = 300  # seconds; only for an event that never comes
"""


def _script(body):
    return f"SLOW_YAML = {SLOW_YAML!r}\n" + PRELUDE + textwrap.dedent(body)


def test_fork_during_first_use_leaves_a_working_child(run_python):
    # A thread makes the process's first Acquisition and is held inside the
    # slot's maker (reading yaml.safe_load) until the main thread has forked.
    # The child has no such thread; its own first Acquisition must fill the
    # slot itself (its read is the second one, which is not held).  The
    # alarm ends a child that waits for ever; its work takes a fraction of a
    # second.
    out = run_python(_script("""
        release = threading.Event()
        slow_yaml.hold = lambda: release.wait(HOLD_LIMIT)
        t = threading.Thread(target=lambda: vexoacq.Acquisition(root))
        t.start()
        assert slow_yaml.entered.wait(HOLD_LIMIT)
        pid = os.fork()
        if pid == 0:
            signal.alarm(120)
            acq = vexoacq.Acquisition(root)
            os._exit(0 if acq.params["model"] == "ryk16" else 3)
        held = t.is_alive() and not release.is_set()
        release.set()
        _, status = os.waitpid(pid, 0)
        t.join()
        print(held, os.waitstatus_to_exitcode(status), vexoacq.Acquisition(root).params["model"], len(slow_yaml.reads))
    """))
    assert out.split() == ["True", "0", "ryk16", "1"]


def test_threads_on_first_use_share_one_fill(run_python):
    # Eight threads need yaml.safe_load at once: one fills the slot (one read
    # of the attribute), the others wait for it and use the same object.  The
    # filling thread is held in its read until it has seen each of the other
    # seven asleep in the slot's wait (a polling sleep with the lock
    # released: /proc shows the thread in the same sleep call as a thread in
    # time.sleep), so the others always arrive while the slot is being filled.
    out = run_python(_script("""
        def task_file(tid, name):
            with open(f"/proc/self/task/{tid}/{name}") as f:
                return f.read().split()[0]

        probe_id = []
        def probe():
            probe_id.append(threading.get_native_id())
            time.sleep(HOLD_LIMIT)
        threading.Thread(target=probe, daemon=True).start()
        while not probe_id or task_file(probe_id[0], "syscall") == "running":
            time.sleep(0.001)
        sleep_call = task_file(probe_id[0], "syscall")

        ids, seen_waiting = [], []
        def hold():
            me = threading.get_native_id()
            deadline = time.monotonic() + HOLD_LIMIT
            while time.monotonic() < deadline:
                others = [t for t in ids if t != me]
                if len(others) == 7 and all(task_file(t, "syscall") == sleep_call for t in others):
                    seen_waiting.append(len(others))
                    return
                time.sleep(0.001)
        slow_yaml.hold = hold

        results, errors = [], []
        def make():
            ids.append(threading.get_native_id())
            try:
                results.append(vexoacq.Acquisition(root).params["model"])
            except BaseException as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=make) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(HOLD_LIMIT + 60)
        print(len(results), results.count("ryk16"), errors, slow_yaml.reads, seen_waiting)
    """))
    assert out.strip() == "8 8 [] ['safe_load'] [7]"


def test_maker_that_needs_its_own_slot_does_not_wait_for_itself(run_python):
    # While the slot's maker reads yaml.safe_load, the stand-in yaml makes an
    # Acquisition itself: the same thread asks for the slot it is filling.
    # The alarm ends a child that waits for itself; its work takes a
    # fraction of a second.
    out = run_python(_script("""
        real_getattr = slow_yaml.__getattr__
        nested = []
        def reentrant(name):
            if not nested:
                nested.append(None)
                nested[0] = vexoacq.Acquisition(root).params["model"]
            return real_getattr(name)
        slow_yaml.__getattr__ = reentrant
        signal.alarm(120)
        outer = vexoacq.Acquisition(root)
        print(nested, outer.params["model"], vexoacq.Acquisition(root).params["model"])
    """))
    assert out.strip() == "['ryk16'] ryk16 ryk16"


# ------------------------------------------------------- second interpreters

# One event that does not decode: using it fills the ParsingError class slot
# as well as the yaml one.
INTERPRETER_SCRIPT = '''
import os, sys, tempfile
import acqbuilder
work = tempfile.mkdtemp()
root = str(acqbuilder.write_acquisition(os.path.join(work, "a"), params=acqbuilder.params("ryk16", 1, 2, 2),
                                        chunks=[[b"\\x00"]]))
result_file = os.path.join(work, "sub.txt")

def run_in_new_interpreter(config, code):
    try:
        import _interpreters as api  # 3.13
        cid = api.create(config)
    except ImportError:
        import _xxsubinterpreters as api  # 3.11, 3.12
        cid = api.create(isolated=(config == "isolated"))
    try:
        api.run_string(cid, code)
    finally:
        api.destroy(cid)

def main_uses_it():
    try:
        import vexoacq
        acq = vexoacq.Acquisition(root)
        try:
            acq.parsed_event(0)
        except Exception as e:
            kind = type(e).__name__
        return "works " + acq.params["model"] + " " + kind
    except ImportError as e:
        return "ImportError " + str(e)

if MAIN_FIRST == "uses":
    main_uses_it()
elif MAIN_FIRST == "imports":
    import vexoacq

run_in_new_interpreter(CONFIG, f"""
try:
    import vexoacq
    acq = vexoacq.Acquisition({root!r})
    try:
        acq.parsed_event(0)
    except Exception:
        pass
    result = 'works ' + acq.params['model']
except ImportError as e:
    result = 'ImportError ' + str(e)
with open({result_file!r}, 'w') as f:
    f.write(result)
""")
with open(result_file) as f:
    print(f.read())
print(main_uses_it())
'''

REFUSED = "ImportError vexoacq cannot be loaded in more than one interpreter per process"


def _interpreter_api():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return __import__(name)
        except ImportError:
            pass
    return None


@pytest.mark.skipif(_interpreter_api() is None, reason="no sub-interpreter module")
@pytest.mark.parametrize("config", ["isolated", "legacy"])
@pytest.mark.parametrize("main_first", ["uses", "imports", "nothing"])
def test_second_interpreter_is_refused_and_the_first_keeps_working(run_python, config, main_first):
    # On 3.12+ an isolated interpreter refuses the module by its declaration,
    # before the module runs; everywhere else the module refuses itself.
    out = run_python(f"CONFIG = {config!r}\nMAIN_FIRST = {main_first!r}\n" + INTERPRETER_SCRIPT)
    sub, main = out.strip().split("\n")
    declared = sys.version_info >= (3, 12) and config == "isolated"
    if main_first == "nothing" and not declared:
        # The sub-interpreter was first, so the module is its own; the main
        # interpreter is refused instead of handed the dead interpreter's objects.
        assert sub == "works ryk16"
        assert main.startswith(REFUSED)
    else:
        assert sub.startswith(REFUSED if not declared else "ImportError")
        assert main == "works ryk16 ParsingError"


# ------------------------------------------- caller objects changing mid-call

class Shrinking:
    """A list item whose conversion cuts its list down to two items."""

    def __init__(self, owner):
        self.owner = owner

    def __index__(self):
        del self.owner[2:]
        return 0


@pytest.mark.parametrize("position", [0, 1])
@pytest.mark.parametrize("fn", [vexoacq.ecc_correct, vexoacq.ecc_check])
def test_list_that_shrinks_while_it_is_read(fn, position):
    # The list is read to its length at each step, each item held while it
    # is converted: the items the shrinking one drops are never read, and a
    # two-byte event (footer only) is what remains.
    items = [0] * 8200
    items[position] = Shrinking(items)
    assert fn(items) == fn(bytes(2))
    assert len(items) == 2


@pytest.mark.parametrize("s, message", [
    (bytearray(3), "expected a sequence of length 4 (got 3)"),
    (bytearray(5), "expected a sequence of length 4 (got 5)"),
    (b"", "expected a sequence of length 4 (got 0)"),
])
def test_syndrome_of_the_wrong_size(s, message):
    with pytest.raises(ValueError) as info:
        vexoacq.syndrome_to_index(s)
    assert str(info.value) == message
