"""export_csv: argument conversions, files and rows, pedestal files in every
accepted and refused form, errors, the bad-channel notice, and the
interpreter lock being free while an export runs."""

import functools
import gzip
import math
import os
import pathlib
import pickle
import signal
import struct
import sys
import threading
import time

import pytest

try:  # numpy inputs are tested where numpy can be imported
    import numpy as np
except ImportError:
    np = None

import acqbuilder
from conftest import SMALL_PARAMS, child_env, run_limited, small_event

import vexoacq

HEADER = "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n"


def f32(x):
    """x rounded to the nearest float32 (as a Python float)."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def shortest_f32_text(x):
    """Fewest significant digits that read back as the float32 x, laid out positionally."""
    if x == 0:
        return "-0" if math.copysign(1.0, x) < 0 else "0"
    for digits in range(1, 10):
        text = f"{x:.{digits}e}" if digits > 1 else f"{x:.0e}"
        if f32(float(text)) == x:
            break
    mantissa, exponent = text.split("e")
    sign = "-" if mantissa.startswith("-") else ""
    mantissa = mantissa.lstrip("-").replace(".", "")
    point = int(exponent) + 1  # digits before the decimal point
    if point <= 0:
        body = "0." + "0" * -point + mantissa
    elif point >= len(mantissa):
        body = mantissa + "0" * (point - len(mantissa))
    else:
        body = mantissa[:point] + "." + mantissa[point:]
    if "." in body:
        body = body.rstrip("0").rstrip(".")
    return sign + body


def cell(value):
    """A data cell: float32 value*10 rounded half away from zero, /10, shortest positional text."""
    # The product and the quotient of two float32 values, computed in double
    # and rounded once to float32, are the correctly rounded float32 results.
    scaled = f32(f32(value) * f32(10))
    if math.isnan(scaled):
        return ""
    if math.isinf(scaled):
        return "-inf" if scaled < 0 else "inf"
    whole = math.copysign(math.floor(abs(scaled) + 0.5), scaled)
    return shortest_f32_text(f32(f32(whole) / f32(10)))


def expected_file(events, samples, pedestals=None):
    """The file of single-channel events (dicts as acq[i] gives them)."""
    out = [HEADER]
    for ordinal, ev in enumerate(events):
        labels = ev["window_labels"][0]
        data = ev["data"][0]
        times = ev["time"][0]
        for i, value in enumerate(data):
            label = labels[i // samples]
            if pedestals is not None:
                value = f32(f32(value) - f32(pedestals[0][label][i % samples]))
            out.append(f"0,{ordinal},{label},{cell(value)},{times[i]}\n")
    return "".join(out)


def csv_files(folder):
    return sorted(p.name for p in pathlib.Path(folder).iterdir())


@pytest.fixture
def out_dir(tmp_path):
    d = tmp_path / "out"
    d.mkdir()
    return d


# Pedestals of the small ryk16 acquisition: 1 channel, 2 windows, 2 samples.
TABLE = [[[0.25, 1.35], [2.05, -0.45]]]


@pytest.fixture
def corrected_acq(make_acq):
    def build(pedestals_file=None):
        evs = [small_event(k) for k in range(5)]
        misc = {} if pedestals_file is None else {"pedestals_calibration": pedestals_file}
        return vexoacq.Acquisition(make_acq("five", chunks=[evs[0:2], evs[2:5]], misc=misc))

    return build


# ------------------------------------------------------------------ rows

def test_rows_match_the_decoded_events(five_events, out_dir):
    acq = vexoacq.Acquisition(five_events)
    assert vexoacq.export_csv(acq, [4, 0, 2, 0], out_dir, False) is None
    assert csv_files(out_dir) == ["five (chunk 0).csv"]
    text = (out_dir / "five (chunk 0).csv").read_text()
    assert text == expected_file([acq[4], acq[0], acq[2], acq[0]], 2)


@pytest.mark.parametrize("indices", [(1, 3), range(1, 4, 2), "numpy", [True, 3]],
                         ids=["tuple", "range", "numpy", "bool-item"])
def test_any_sequence_of_indices(five_events, out_dir, indices):
    if indices == "numpy":
        indices = pytest.importorskip("numpy").array([1, 3], dtype="int64")
    acq = vexoacq.Acquisition(five_events)
    vexoacq.export_csv(acq, indices, out_dir, False)
    assert (out_dir / "five (chunk 0).csv").read_text() == expected_file([acq[int(i)] for i in indices], 2)


def test_blocks_and_events_left_out(five_events, out_dir):
    acq = vexoacq.Acquisition(five_events)
    # 2500 entries; index 5 lies past the last event and is left out.
    indices = [i % 6 for i in range(2500)]
    vexoacq.export_csv(acq, indices, os.fspath(out_dir), False)
    assert csv_files(out_dir) == [f"five (chunk {n}).csv" for n in range(3)]
    for n, block in enumerate([indices[0:1000], indices[1000:2000], indices[2000:]]):
        kept = [acq[i] for i in block if i < 5]
        assert (out_dir / f"five (chunk {n}).csv").read_text() == expected_file(kept, 2)


def test_every_event_left_out_gives_header_only(five_events, out_dir):
    vexoacq.export_csv(vexoacq.Acquisition(five_events), [5, 10**12], out_dir, False)
    assert (out_dir / "five (chunk 0).csv").read_text() == "acq_num,evt_num\n"


def test_empty_indices_write_nothing(five_events, tmp_path):
    vexoacq.export_csv(vexoacq.Acquisition(five_events), [], tmp_path / "not-there", True)
    assert not (tmp_path / "not-there").exists()


# ------------------------------------------------------------- pedestals

gz = acqbuilder.gzip_pickle


ACCEPTED = {
    "dict": gz({"data": TABLE, "note": "text"}),
    "bytes-key": gz({b"data": TABLE}),
    "tuple": gz((TABLE, "ignored")),
    "list": gz([TABLE]),
    "protocol-0": gz({"data": TABLE}, protocol=0),
    "protocol-2": gz({"data": TABLE}, protocol=2),
    "protocol-5": gz({"data": TABLE}, protocol=5),
}

REFUSED = {
    "not-gzip": pickle.dumps({"data": TABLE}),
    "none": gz(None),
    "no-data-key": gz({"table": TABLE}),
    "empty-list": gz([]),
    "bool-in-table": gz({"data": [[[True, 1.0], [2.0, 3.0]]]}),
    "text-in-table": gz({"data": [[["a", 1.0], [2.0, 3.0]]]}),
    "huge-int": gz({"data": [[[2**63, 1.0], [2.0, 3.0]]]}),
}


@pytest.mark.parametrize("name", sorted(ACCEPTED))
def test_accepted_pedestal_files_are_subtracted(corrected_acq, out_dir, name):
    acq = corrected_acq(ACCEPTED[name])
    vexoacq.export_csv(acq, [0, 1, 3], out_dir, True)
    got = (out_dir / "five (chunk 0).csv").read_text()
    assert got == expected_file([acq[0], acq[1], acq[3]], 2, TABLE)
    assert got != expected_file([acq[0], acq[1], acq[3]], 2)


@functools.lru_cache(maxsize=None)
def full_tolv96_table():
    """96 channels x 8 windows x 512 samples of float32 values (the size of a
    full tolv96 table, 1.5 MB of floats), with TABLE in the corner that the
    small acquisition uses."""
    import random
    rng = random.Random(96)
    table = [[[f32(rng.uniform(-50.0, 900.0)) for _ in range(512)] for _ in range(8)] for _ in range(96)]
    for w in range(2):
        table[0][w][0:2] = TABLE[0][w]
    return table


@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_full_size_table_loads(corrected_acq, out_dir, protocol):
    table = full_tolv96_table()
    acq = corrected_acq(gzip.compress(pickle.dumps({"data": table}, protocol=protocol), compresslevel=1))
    vexoacq.export_csv(acq, [0, 1, 3], out_dir, True)
    assert (out_dir / "five (chunk 0).csv").read_text() == expected_file([acq[0], acq[1], acq[3]], 2, table)


def test_integer_pedestals(corrected_acq, out_dir):
    table = [[[1, 2], [3, 4]]]
    acq = corrected_acq(gz({"data": table}))
    vexoacq.export_csv(acq, [2], out_dir, True)
    assert (out_dir / "five (chunk 0).csv").read_text() == expected_file([acq[2]], 2, table)


@pytest.mark.parametrize("name", sorted(REFUSED) + ["absent"])
def test_refused_pedestal_files_mean_no_correction(corrected_acq, out_dir, capfd, name):
    acq = corrected_acq(REFUSED.get(name))
    vexoacq.export_csv(acq, [0, 1, 3], out_dir, True)
    assert (out_dir / "five (chunk 0).csv").read_text() == expected_file([acq[0], acq[1], acq[3]], 2)
    assert capfd.readouterr() == ("", "")


def test_correction_failure_leaves_the_event_out(corrected_acq, out_dir):
    # Only window label 0 has pedestals: events whose ring holds label 1 fail.
    acq = corrected_acq(gz({"data": [[[0.5, 0.5]]]}))
    vexoacq.export_csv(acq, [0, 1], out_dir, True)
    assert (out_dir / "five (chunk 0).csv").read_text() == "acq_num,evt_num\n"


def test_flag_false_ignores_the_pedestals(corrected_acq, out_dir):
    np = pytest.importorskip("numpy")
    acq = corrected_acq(ACCEPTED["dict"])
    vexoacq.export_csv(acq, [0], out_dir, np.False_)
    assert (out_dir / "five (chunk 0).csv").read_text() == expected_file([acq[0]], 2)
    vexoacq.export_csv(acq, [0], out_dir, np.True_)
    assert (out_dir / "five (chunk 0).csv").read_text() == expected_file([acq[0]], 2, TABLE)


# ------------------------------------------------------------ conversions

@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("acq", [0], "out", False), TypeError, "argument 'acq': 'str' object is not an instance of 'Acquisition'"),
        (("ACQ", "01", "out", False), TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
        (("ACQ", {0: 1}, "out", False), TypeError, "argument 'indices': 'dict' object cannot be converted to 'Sequence'"),
        (("ACQ", [0, 1.5], "out", False), TypeError, "argument 'indices': 'float' object cannot be interpreted as an integer"),
        (("ACQ", [0, -1], "out", False), OverflowError, None),
        (("ACQ", [0], b"out", False), TypeError, "argument 'out_dir': 'bytes' object is not an instance of 'str'"),
        (("ACQ", [0], "OUT", 1), TypeError, "argument 'pedestals_correction': 'int' object cannot be converted to 'PyBool'"),
        (("ACQ", [0], "OUT", None), TypeError, "argument 'pedestals_correction': 'NoneType' object cannot be converted to 'PyBool'"),
    ],
    ids=["acq", "indices-str", "indices-dict", "indices-float", "indices-negative", "out-bytes", "flag-int", "flag-none"],
)
def test_refused_arguments_write_nothing(five_events, out_dir, args, exc, message):
    acq = vexoacq.Acquisition(five_events)
    args = tuple(acq if a == "ACQ" else out_dir if a == "OUT" else a for a in args)
    with pytest.raises(exc) as info:
        vexoacq.export_csv(*args)
    if message is not None:
        assert str(info.value) == message
    assert csv_files(out_dir) == []


def test_keywords_and_path_like(five_events, out_dir):
    acq = vexoacq.Acquisition(five_events)
    vexoacq.export_csv(pedestals_correction=False, out_dir=out_dir, indices=[1], acq=acq)
    assert csv_files(out_dir) == ["five (chunk 0).csv"]


def test_arity_messages():
    with pytest.raises(TypeError) as info:
        vexoacq.export_csv()
    assert str(info.value) == ("export_csv() missing 4 required positional arguments: "
                               "'acq', 'indices', 'out_dir', and 'pedestals_correction'")
    assert vexoacq.export_csv.__doc__ is None
    assert vexoacq.export_csv.__text_signature__ == "(acq, indices, out_dir, pedestals_correction)"


# ------------------------------------------------------------------ errors

def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


def test_missing_out_dir(five_events, tmp_path):
    e = raised(lambda: vexoacq.export_csv(vexoacq.Acquisition(five_events), [0], tmp_path / "nope", False))
    assert (type(e).__module__, type(e).__name__, e.args) == ("acquisition", "ExportError",
                                                             ("Could not export: invalid path",))
    assert not (tmp_path / "nope").exists()


FS_IOC_GETFLAGS, FS_IOC_SETFLAGS, FS_IMMUTABLE_FL = 0x80086601, 0x40086602, 0x10


def set_immutable(path, on):
    """The immutable attribute (stops root too); False where it cannot be set."""
    import fcntl
    try:
        with open(path, "rb") as f:
            flags = bytearray(struct.pack("i", 0))
            fcntl.ioctl(f.fileno(), FS_IOC_GETFLAGS, flags)
            value = struct.unpack("i", flags)[0]
            value = value | FS_IMMUTABLE_FL if on else value & ~FS_IMMUTABLE_FL
            fcntl.ioctl(f.fileno(), FS_IOC_SETFLAGS, struct.pack("i", value))
        return True
    except OSError:
        return False


def test_unwritable_output(five_events, out_dir):
    acq = vexoacq.Acquisition(five_events)
    target = out_dir / "five (chunk 0).csv"
    if os.geteuid() != 0:
        out_dir.chmod(0o500)
        try:
            e = raised(lambda: vexoacq.export_csv(acq, [0], out_dir, False))
        finally:
            out_dir.chmod(0o700)
    else:
        target.write_bytes(b"")
        if not set_immutable(target, True):
            pytest.skip("no immutable files here")
        try:
            e = raised(lambda: vexoacq.export_csv(acq, [0], out_dir, False))
        finally:
            set_immutable(target, False)
    assert str(e) == "Could not export: file access was denied"


def test_unsupported_model(make_acq, out_dir):
    root = make_acq("odd", chunks=[[small_event(0)]])
    acq = vexoacq.Acquisition(root)
    # The export reads "metadata.yml" afresh.
    (root / "metadata.yml").write_text(acqbuilder.metadata_text(acqbuilder.params("RYK16", 1, 2, 2)))
    e = raised(lambda: vexoacq.export_csv(acq, [0], out_dir, False))
    assert type(e).__name__ == "ExportError"
    assert str(e) == "Could not export: error occurred while parsing"
    assert csv_files(out_dir) == []


@pytest.mark.parametrize("indices", [[], [0]])
def test_metadata_gone_since_the_object_was_made(five_events, out_dir, indices):
    acq = vexoacq.Acquisition(five_events)
    (five_events / "metadata.yml").unlink()
    e = raised(lambda: vexoacq.export_csv(acq, indices, out_dir, False))
    assert (type(e).__module__, type(e).__name__) == ("acquisition", "MetadataError")
    assert str(e) == "Could not process metadata: invalid metadata format"
    assert csv_files(out_dir) == []


# ------------------------------------------------------- misplaced channels

def test_tolv96_slots_above_channels_print_bad_channels_and_go_on(make_acq, out_dir, capfd):
    # 32 channels on 2 chips of 16; the second chip block names itself chip 4,
    # so its samples land in slots 64 .. 79, above `channels`, where the
    # decoder gives no time positions.
    ev = bytearray(acqbuilder.tolv96_event(lambda ch, k: (3 * ch + k) % 1024, chips=2, windows=1, samples=4))
    chip_len = 1 + 16 * 2 * (4 + 2) + 3
    ev[chip_len] = 4
    root = make_acq("tolv", params=acqbuilder.params("tolv96", 32, 1, 4, num_chips=2), chunks=[[bytes(ev)] * 2])
    acq = vexoacq.Acquisition(root)
    d = acq[0]
    assert d["data"][64] and not d["time"][64]
    vexoacq.export_csv(acq, [0, 1], out_dir, False)
    printed = capfd.readouterr().out
    assert printed == "".join(f"Bad channel {c} at Event {e}\n" for e in (0, 1) for c in range(64, 80))
    lines = (out_dir / "tolv (chunk 0).csv").read_text().splitlines()
    listed = list(range(16)) + list(range(64, 80))
    assert lines[0].split(",")[2::3] == [f"windnum_ch{c}" for c in listed]
    assert len(lines) == 1 + 2 * 4
    for n, line in enumerate(lines[1:]):
        fields = line.split(",")
        k = n % 4
        assert fields[:2] == ["0", str(n // 4)]
        for g, c in enumerate(range(16)):
            assert fields[2 + 3 * g: 5 + 3 * g] == [str(d["window_labels"][c][0]), cell(d["data"][c][k]),
                                                   str(d["time"][c][k])]
        assert set(fields[2 + 3 * 16:]) == {""}


# ------------------------------------------------------------- concurrency

class _SeenMidExport(Exception):
    pass


def test_other_threads_run_during_an_export(five_events, out_dir):
    # Another thread watches the output folder while the export runs.  Once
    # it sees block 1's file (block 0's file is then complete) it signals the
    # process, and the handler, which the export runs at its next poll, ends
    # the export.  With the lock held for the whole call the thread could
    # not look at all: the export would write all its files (some seconds
    # of work) and the thread would find it finished.  Nothing waits for a
    # fixed time; the export is long only so that it cannot end first.
    acq = vexoacq.Acquisition(five_events)
    blocks = 1000
    indices = [i % 5 for i in range(blocks * 1000)]
    trigger = out_dir / "five (chunk 1).csv"
    done = threading.Event()
    seen = []

    def handler(signum, frame):
        if not done.is_set():
            raise _SeenMidExport

    def watch():
        while not trigger.exists():
            if done.is_set():
                return
            time.sleep(0.001)
        if not done.is_set():
            seen.append(len(csv_files(out_dir)))
            os.kill(os.getpid(), signal.SIGUSR1)

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        t = threading.Thread(target=watch)
        t.start()
        try:
            with pytest.raises(_SeenMidExport):
                vexoacq.export_csv(acq, indices, out_dir, False)
        finally:
            done.set()
            t.join()
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert seen and 2 <= seen[0] < blocks
    assert 2 <= len(csv_files(out_dir)) < blocks


# ------------------------------------------------------------ thread count
#
# The pool is sized once per process from RAYON_NUM_THREADS, so each export
# runs in a child interpreter of its own.

def export_in_child(root, indices, out, correct, threads, file_limit=None):
    """Runs export_csv in a fresh interpreter with RAYON_NUM_THREADS=threads
    (and, with file_limit, a file-size limit whose signal is ignored); returns
    its standard output and the text of the exception it raised, if any."""
    code = f"""
import resource, signal, sys, vexoacq
limit = {file_limit!r}
if limit is not None:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
try:
    vexoacq.export_csv(vexoacq.Acquisition({str(root)!r}), {indices!r}, {str(out)!r}, {correct!r})
except Exception as e:  # the export error class is not a module attribute
    sys.stdout.flush()
    sys.stderr.write(str(e))
"""
    env = child_env()
    env["RAYON_NUM_THREADS"] = str(threads)
    env.pop("RAYON_RS_NUM_CPUS", None)
    # A fraction of a second of CPU is needed; the limits only end a child
    # that runs or waits without end.
    proc = run_limited([sys.executable, "-c", code], cpu_seconds=60, env=env)
    assert proc.returncode == 0, (proc.returncode, proc.stderr)
    return proc.stdout, proc.stderr


@pytest.fixture
def mixed_acq(make_acq):
    """tolv96, 2 chips of 16 channels, 4 windows of 8 samples, ring starts 0 to 3.
    Two events in three name their second chip 4, which puts its channels in
    slots 64 to 79 (no time positions: "Bad channel" for each); one in seven is
    cut short and does not decode.  The pedestal table gives channel 16 only
    two windows, so the events whose second chip is chip 1 fail their
    correction and are left out when correcting."""
    samples, windows = 8, 4
    chip_len = 1 + 16 * 2 * (windows * samples + 2) + 3
    events = []
    for k in range(60):
        ev = bytearray(acqbuilder.tolv96_event(lambda ch, i, k=k: (37 * ch + 11 * i + 5 * k) % 1024, chips=2,
                                               windows=windows, samples=samples, start=k % 4))
        if k % 3 != 0:
            ev[chip_len] = 4
        if k % 7 == 3:
            ev = ev[:-6]
        events.append(bytes(ev))
    table = [[[0.05 * (c + w) + 0.01 * i for i in range(samples)] for w in range(windows)] for c in range(32)]
    table[16] = table[16][:2]
    root = make_acq("mixed", params=acqbuilder.params("tolv96", 32, windows, samples, num_chips=2),
                    chunks=[events[:25], events[25:]], misc={"pedestals_calibration": {"data": table}})
    return root


def files_of(folder):
    return {p.name: p.read_bytes() for p in sorted(pathlib.Path(folder).iterdir())}


@pytest.mark.parametrize("correct", [False, True], ids=["as_decoded", "corrected"])
def test_same_files_and_notices_for_any_thread_count(mixed_acq, tmp_path, correct):
    # Two blocks; repeats, and indices past the last event.
    indices = [(7 * i) % 63 for i in range(1500)]
    runs = {}
    for threads in (1, 4):
        out = tmp_path / f"out{threads}"
        out.mkdir()
        printed, error = export_in_child(mixed_acq, indices, out, correct, threads)
        assert error == ""
        runs[threads] = (printed, files_of(out))
    printed, files = runs[1]
    assert list(files) == ["mixed (chunk 0).csv", "mixed (chunk 1).csv"]
    assert printed.count("Bad channel") > 1000
    assert all(text.count(b"\n") > 1000 for text in files.values())
    assert runs[4] == runs[1]


def test_write_failure_stops_at_the_same_point(mixed_acq, tmp_path):
    indices = [(7 * i) % 63 for i in range(1500)]
    full_out = tmp_path / "full"
    full_out.mkdir()
    full_printed, _ = export_in_child(mixed_acq, indices, full_out, False, 1)
    full = files_of(full_out)["mixed (chunk 0).csv"]
    limit = 5 << 19  # 2.5 MiB: the third write-out of the 1 MiB buffer fails part-way
    assert len(full) > 2 * limit
    runs = {}
    for threads in (1, 4):
        out = tmp_path / f"out{threads}"
        out.mkdir()
        printed, error = export_in_child(mixed_acq, indices, out, False, threads, file_limit=limit)
        assert error == "Could not export: error occurred while exporting as csv"
        runs[threads] = (printed, files_of(out))
    printed, files = runs[1]
    assert list(files) == ["mixed (chunk 0).csv"]
    assert files["mixed (chunk 0).csv"] == full[:limit]
    assert 0 < printed.count("Bad channel") < full_printed.count("Bad channel")
    assert full_printed.startswith(printed)
    assert runs[4] == runs[1]
