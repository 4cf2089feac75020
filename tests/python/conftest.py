"""Shared fixtures.  The module under test is found through PYTHONPATH
(the test runner sets it to <build>/python)."""

import os
import resource
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import acqbuilder  # noqa: E402
import vexoacq  # noqa: E402

# ryk16, 1 channel, 2 windows of 2 samples: the smallest event that decodes.
SMALL_PARAMS = acqbuilder.params("ryk16", 1, 2, 2)


def small_event(k):
    """Event k of the small acquisition: samples k, k+1, k+2, k+3, ring start k % 2."""
    return acqbuilder.ryk16_event([[k, k + 1, k + 2, k + 3]], windows=2, start=k % 2)


@pytest.fixture
def make_acq(tmp_path):
    """Builds an acquisition under tmp_path: make_acq(name, **write_acquisition kwargs)."""

    def build(name="acq", **kwargs):
        kwargs.setdefault("params", SMALL_PARAMS)
        return acqbuilder.write_acquisition(tmp_path / name, **kwargs)

    return build


@pytest.fixture
def five_events(make_acq):
    """An acquisition of 5 small ryk16 events over chunks of 2, 2 and 1."""
    evs = [small_event(k) for k in range(5)]
    return make_acq("five", chunks=[evs[0:2], evs[2:4], evs[4:5]])


@pytest.fixture
def module():
    return vexoacq


def child_env():
    """The environment for a child interpreter: this one's, with the module's
    folder and this folder first on PYTHONPATH."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(vexoacq.__file__), os.path.dirname(__file__)]
                                        + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


# The wall-clock bound of a child interpreter.  It only ends a child that
# blocks without using CPU (a read that waits for ever, a deadlock), so it is
# far above what any child needs, on a slow machine under heavy load too.  A
# child that computes without end is ended by its CPU-time limit
# (RLIMIT_CPU), which the machine's load does not stretch.
CHILD_WALL_LIMIT_S = 600


def run_limited(args, *, cpu_seconds, wall_seconds=CHILD_WALL_LIMIT_S, env=None, preexec_fn=None):
    """Runs a child (text output captured; env defaults to child_env()) under
    `cpu_seconds` of CPU time and `wall_seconds` of wall time and returns a
    CompletedProcess.  The CPU limit is set on the child as soon as it
    exists; it counts the child's CPU time from its start.  A child ended by
    it has returncode -SIGXCPU (or -SIGKILL at the hard limit, 5 s later); one
    past the wall limit is killed and TimeoutExpired raised."""
    with subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=child_env() if env is None else env, preexec_fn=preexec_fn) as proc:
        try:
            resource.prlimit(proc.pid, resource.RLIMIT_CPU, (cpu_seconds, cpu_seconds + 5))
        except ProcessLookupError:  # already gone
            pass
        try:
            out, err = proc.communicate(timeout=wall_seconds)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            raise
    return subprocess.CompletedProcess(args, proc.returncode, out, err)


def words(*ws):
    """16-bit words as big-endian bytes."""
    return b"".join(w.to_bytes(2, "big") for w in ws)


@pytest.fixture
def run_python():
    """Runs a script in a fresh interpreter (same PYTHONPATH) under a minute of
    CPU time (the scripts need a fraction of a second) and returns its stdout."""

    def run(code):
        proc = run_limited([sys.executable, "-c", code], cpu_seconds=60)
        assert proc.returncode == 0, (proc.returncode, proc.stderr)
        return proc.stdout

    return run
