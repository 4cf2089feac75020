"""Damaged and hostile "metadata.yml" and auxiliary files.

Every case runs in a fresh interpreter under an address-space limit, a
CPU-time limit and a wall-clock limit, so that a call that computes or
allocates without bound, or waits for ever, fails its case instead of
stalling or exhausting the test run.  The memory and CPU bounds are some
tens of times what the cases need (the costliest takes under a second of
CPU); the wall-clock bound only catches a child that waits without using
CPU (a FIFO read), and is far above anything the machine's load explains.
"""

import os
import resource
import sys
import textwrap

import pytest

import acqbuilder
import vexoacq
from conftest import SMALL_PARAMS, run_limited, small_event

MEMORY_LIMIT = 1 << 30  # bytes of address space for the child
CPU_LIMIT = 20  # seconds of CPU time for the child

COUNTS = "  channels: 1\n  windows: 2\n  samples: 2\n"


def run_bounded(code, *args):
    """Runs `code` in a child interpreter under the limits; returns its stdout."""

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))

    proc = run_limited([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], cpu_seconds=CPU_LIMIT,
                       preexec_fn=limit)
    assert proc.returncode == 0, (proc.returncode, proc.stderr)
    return proc.stdout


def make_special(path, kind):
    if kind == "fifo":
        os.mkfifo(path)
    else:
        os.symlink("/dev/zero", path)


def one_event_acq(folder, **kwargs):
    kwargs.setdefault("params", SMALL_PARAMS)
    return acqbuilder.write_acquisition(folder, chunks=[[small_event(0)]], **kwargs)


# ------------------------------------------------------ special files

@pytest.mark.parametrize("kind", ["fifo", "dev_zero"])
def test_special_metadata_file_is_unreadable(tmp_path, kind):
    # The object is made while metadata.yml is a regular file; then the file
    # becomes a FIFO (reading it would wait for a writer for ever) or a link to
    # /dev/zero (reading it would never end).
    root = one_event_acq(tmp_path / "listed" / "acq")
    out = tmp_path / "out"
    out.mkdir()
    got = run_bounded("""
        import os, sys, vexoacq
        root, out, kind = sys.argv[1:]
        acq = vexoacq.Acquisition(root)
        path = os.path.join(root, "metadata.yml")
        os.remove(path)
        os.mkfifo(path) if kind == "fifo" else os.symlink("/dev/zero", path)
        assert vexoacq.is_acquisition(root)  # recognising a folder opens nothing
        assert vexoacq.list_acquisitions(os.path.dirname(root)) == []
        try:
            vexoacq.Acquisition(root)
        except OSError as e:
            print(type(e).__name__, e)
        try:
            vexoacq.export_csv(acq, [0], out, False)
        except Exception as e:
            print(type(e).__name__, e)
        print(os.listdir(out))
    """, root, out, kind)
    assert got.splitlines() == [
        "OSError Could not read acquisition: failed to read metadata",
        "MetadataError Could not process metadata: invalid metadata format",
        "[]",
    ]


@pytest.mark.parametrize("kind", ["fifo", "dev_zero"])
def test_special_auxiliary_files_are_unreadable(tmp_path, kind):
    root = one_event_acq(tmp_path / "acq")
    for name in acqbuilder.MISC_FILES:
        make_special(root / name, kind)
    plain, corrected = tmp_path / "plain", tmp_path / "corrected"
    plain.mkdir()
    corrected.mkdir()
    got = run_bounded("""
        import sys, vexoacq
        root, plain, corrected = sys.argv[1:]
        acq = vexoacq.Acquisition(root)
        for getter in ("readout_metadata", "pedestals_calibration", "timing_calibration", "adc_to_mv_calibration"):
            try:
                getattr(acq, getter)
            except OSError as e:
                print(getter, type(e).__name__, e)
        # An unreadable pedestals file means no subtraction, as a missing one does.
        vexoacq.export_csv(acq, [0], plain, False)
        vexoacq.export_csv(acq, [0], corrected, True)
        print("exported")
    """, root, plain, corrected)
    message = "OSError Could not read acquisition: Invalid argument (os error 22)"
    assert got.splitlines() == [
        "readout_metadata " + message,
        "pedestals_calibration " + message,
        "timing_calibration " + message,
        "adc_to_mv_calibration " + message,
        "exported",
    ]
    names = sorted(p.name for p in plain.iterdir())
    assert names and names == sorted(p.name for p in corrected.iterdir())
    assert all((plain / n).read_bytes() == (corrected / n).read_bytes() for n in names)


# ------------------------------------------------------ hostile texts

def params_text(extra_lines="", before=""):
    return before + "params:\n  model: ryk16\n" + COUNTS + extra_lines + "registers: {}\n"


def alias_bomb(items):
    # One anchored list of `items` scalars under an ignored key, and a list of
    # `items` aliases of it inside params: about 4*items bytes of aliases that
    # would copy items**2 nodes.
    return params_text("  x: [" + ", ".join(["*a"] * items) + "]\n",
                       before="other: &a [" + ", ".join(["1"] * items) + "]\n")


HOSTILE_TEXTS = [
    # 35 KB: before its copies were counted, 3 GB and several seconds.
    ("alias_copies", alias_bomb(5000)),
    # 500 KB of flow mappings nested inside params.
    ("deep_model", "params:\n  model: " + "{a: " * 125_000 + "1" + "}" * 125_000 + "\n"),
    # Deep sequences inside registers, and under an ignored key (200 KB).
    ("deep_registers", params_text().replace("registers: {}", "registers: {r: " + "[" * 100_000
                                             + "]" * 100_000 + "}")),
    ("deep_ignored", "other: " + "[" * 100_000 + "]" * 100_000 + "\n" + params_text()),
]


@pytest.mark.parametrize("text", [t for _, t in HOSTILE_TEXTS], ids=[n for n, _ in HOSTILE_TEXTS])
def test_hostile_metadata_is_rejected_within_bounds(tmp_path, text):
    # export_csv types metadata.yml in C++ alone, so it shows the typing's own
    # cost; the constructor hands the text to yaml.safe_load first.
    root = one_event_acq(tmp_path / "acq")
    out = tmp_path / "out"
    out.mkdir()
    (tmp_path / "hostile.yml").write_text(text)
    got = run_bounded("""
        import os, shutil, sys, vexoacq
        root, out, hostile = sys.argv[1:]
        acq = vexoacq.Acquisition(root)
        shutil.copyfile(hostile, os.path.join(root, "metadata.yml"))
        try:
            vexoacq.export_csv(acq, [0], out, False)
        except Exception as e:
            print(type(e).__name__, e)
        try:
            vexoacq.Acquisition(root)
        except Exception as e:
            print(type(e).__name__)
    """, root, out, tmp_path / "hostile.yml")
    lines = got.splitlines()
    assert lines[0] == "MetadataError Could not process metadata: failed to serialized"
    # Deep nesting makes yaml.safe_load itself give up (RecursionError) before
    # the typing runs; the alias copies are refused by the typing.
    assert lines[1:] in (["MetadataError"], ["RecursionError"])


def test_ordinary_aliases_and_nesting_are_kept(tmp_path):
    text = params_text("  gains: &g [1, 2, 3]\n  again: *g\n  table: [*g, *g, {k: *g}]\n"
                       "  deep: " + "[" * 40 + "7" + "]" * 40 + "\n",
                       before="common: &c {x: 1}\nnested: " + "{a: " * 300 + "1" + "}" * 300 + "\n")
    root = one_event_acq(tmp_path / "acq", metadata=text)
    acq = vexoacq.Acquisition(str(root))
    assert acq.params["again"] == [1, 2, 3]
    assert acq.params["table"] == [[1, 2, 3], [1, 2, 3], {"k": [1, 2, 3]}]
    out = tmp_path / "out"
    out.mkdir()
    assert vexoacq.export_csv(acq, [0], str(out), False) is None
    assert len(list(out.iterdir())) == 1
