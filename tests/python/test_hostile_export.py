"""export_csv on hostile pedestals files: memory stays bounded by a small
multiple of the file (after inflating, which is capped) plus a constant, and a
file that cannot be decoded within those bounds means no correction.  Each
case runs in a child interpreter under an address-space limit and a CPU-time
limit (and a wall-clock limit far above both, for a child that waits without
using CPU), so that a fault shows as a failed child rather than a frozen or
exhausted test run."""

import os
import sys
import zlib

import pytest

from conftest import run_limited, small_event

import vexoacq

# What the export may add to the child's address space.  The decoder's caps
# come to under 100 MB for any pedestals file (64 MiB of inflated content,
# then nothing decoded); ten times that still catches a decoder that grows
# with what the file asks for (9.6 GB for the NONE run below).
EXTRA_ADDRESS_SPACE = 1 << 30
# Seconds of CPU time for a child; the costliest case takes half a second.
CPU_LIMIT = 20

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
    return run_limited([sys.executable, "-c", CHILD, os.fspath(acq_path), os.fspath(out_dir),
                        str(EXTRA_ADDRESS_SPACE)], cpu_seconds=CPU_LIMIT)


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
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    vexoacq.export_csv(vexoacq.Acquisition(plain), [0, 1], tmp_path / "out-plain", True)
    # The file means no correction: the rows are those of an acquisition
    # without a pedestals file.
    got = (tmp_path / "out-hostile" / "hostile (chunk 0).csv").read_text()
    assert got == (tmp_path / "out-plain" / "plain (chunk 0).csv").read_text()
    assert got.count("\n") == 1 + 2 * 4


# A 56-byte zelkv3 event whose window headers name channels 0-3 with
# sixteen labels in a crafted order and carry no samples; repeated, it gives
# four channels of thousands of labels each.  Merging those lists pass by pass
# took 21 s for a 2 MB event; ordered by first labels it takes a fraction of a
# second (0.2 s of CPU here).  The bound is CPU time of the child, which the
# machine's load does not stretch.
LABEL_EVENT = bytes.fromhex(
    "ffffa7fafafa92fafafa4002027d3a020002000000ffff000000002800003a7ffa85852a"
    "8585ffff07027d96003a3a3a3a3a3a3a3a000200")

LABEL_CHILD = r"""
import resource, sys
resource.setrlimit(resource.RLIMIT_CPU, (int(sys.argv[3]), int(sys.argv[3])))
import vexoacq
acq = vexoacq.Acquisition(sys.argv[1])
vexoacq.export_csv(acq, [0], sys.argv[2], False)
labels = acq.parsed_event(0)["window_labels"]
print(sum(len(l) for l in labels))
"""


def test_long_crafted_label_lists_merge_in_bounded_time(make_acq, tmp_path):
    from acqbuilder import params
    root = make_acq("labels", chunks=[[LABEL_EVENT * 36000]], params=params("zelkv3", 49, 0, 0))
    out = tmp_path / "out"
    out.mkdir()
    proc = run_limited([sys.executable, "-c", LABEL_CHILD, os.fspath(root), os.fspath(out), "5"], cpu_seconds=5)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    assert int(proc.stdout) > 1_000_000
    # No channel carries data, so the file is the header alone.
    assert (out / "labels (chunk 0).csv").read_text().count("\n") == 1
