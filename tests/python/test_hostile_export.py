"""export_csv on hostile pedestals files: memory stays bounded by a small
multiple of the file (after inflating, which is capped) plus a constant, and a
file that cannot be decoded within those bounds means no correction.  Each
case runs in a child interpreter under an address-space limit and a time
limit, so that a fault shows as a failed child rather than a frozen or
exhausted test run."""

import os
import subprocess
import sys
import zlib

import pytest

from conftest import small_event

import vexoacq

# What the export may add to the child's address space.  The decoder's caps
# come to under 100 MB for any pedestals file (64 MiB of inflated content,
# then nothing decoded); ten times that still catches a decoder that grows
# with what the file asks for (9.6 GB for the NONE run below).
EXTRA_ADDRESS_SPACE = 1 << 30
TIME_LIMIT = 60

CHILD = r"""
import resource, sys
import vexoacq
acq_path, out_dir, extra = sys.argv[1], sys.argv[2], int(sys.argv[3])
def vm(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
acq = vexoacq.Acquisition(acq_path)
limit = vm("VmSize") + extra
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
vexoacq.export_csv(acq, [0, 1], out_dir, True)
print(vm("VmHWM"))
"""


def run_child(acq_path, out_dir):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(vexoacq.__file__)]
                                        + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return subprocess.run([sys.executable, "-c", CHILD, os.fspath(acq_path), os.fspath(out_dir),
                           str(EXTRA_ADDRESS_SPACE)],
                          capture_output=True, text=True, env=env, timeout=TIME_LIMIT)


def gzip_of_runs(head, run, count, tail):
    """gzip of head + run * count + tail, compressed piece by piece."""
    z = zlib.compressobj(6, zlib.DEFLATED, 31)
    parts = [z.compress(head)]
    piece = run * (1 << 20)
    for _ in range(count // (1 << 20)):
        parts.append(z.compress(piece))
    parts.append(z.compress(run * (count % (1 << 20)) + tail))
    parts.append(z.flush())
    return b"".join(parts)


HOSTILE = {
    # 300 million NONE opcodes: a 292 KB file whose value stack would take
    # gigabytes.
    "none-run": lambda: gzip_of_runs(b"\x80\x04", b"N", 300_000_000, b"."),
    # 60 million MARK opcodes: the mark stack, within the inflate cap.
    "mark-run": lambda: gzip_of_runs(b"\x80\x04", b"(", 60_000_000, b"."),
    # 60 million empty lists: containers, within the inflate cap.
    "empty-list-run": lambda: gzip_of_runs(b"\x80\x04", b"]", 60_000_000, b"."),
}


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_hostile_pedestals_file_is_no_table_within_bounds(make_acq, tmp_path, name):
    evs = [small_event(k) for k in range(2)]
    root = make_acq("hostile", chunks=[evs], misc={"pedestals_calibration": HOSTILE[name]()})
    plain = make_acq("plain", chunks=[evs])
    (tmp_path / "out-hostile").mkdir()
    (tmp_path / "out-plain").mkdir()
    proc = run_child(root, tmp_path / "out-hostile")
    assert proc.returncode == 0, proc.stderr[-2000:]
    vexoacq.export_csv(vexoacq.Acquisition(plain), [0, 1], tmp_path / "out-plain", True)
    # The file means no correction: the rows are those of an acquisition
    # without a pedestals file.
    got = (tmp_path / "out-hostile" / "hostile (chunk 0).csv").read_text()
    assert got == (tmp_path / "out-plain" / "plain (chunk 0).csv").read_text()
    assert got.count("\n") == 1 + 2 * 4
