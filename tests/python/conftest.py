"""Shared fixtures.  The module under test is found through PYTHONPATH
(the test runner sets it to <build>/python)."""

import os
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


def words(*ws):
    """16-bit words as big-endian bytes."""
    return b"".join(w.to_bytes(2, "big") for w in ws)


@pytest.fixture
def run_python():
    """Runs a script in a fresh interpreter (same PYTHONPATH) and returns its stdout."""
    import subprocess

    def run(code):
        env = child_env()
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    return run
