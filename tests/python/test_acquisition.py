"""Class Acquisition: construction, getters, raw_event and parsed_event."""

import gc
import os
import weakref

import pytest
import yaml

import acqbuilder
import vexoacq
from conftest import SMALL_PARAMS, small_event

Acquisition = vexoacq.Acquisition


# ------------------------------------------------------------ constructor

def _write(folder, text):
    return acqbuilder.write_acquisition(folder, metadata=text)


GOOD = acqbuilder.metadata_text(SMALL_PARAMS)

# metadata.yml content -> (exception class name or None, exact message or None)
METADATA_CASES = [
    ("valid", GOOD, None, None),
    ("extra top-level keys", GOOD + "other: 1\n", None, None),
    ("tuning keys", acqbuilder.metadata_text(dict(SMALL_PARAMS, data_mask=255, note="x")), None, None),
    ("no registers", "params: {model: ryk16, channels: 1, windows: 2, samples: 2}\n",
     "MetadataError", "Could not process metadata: failed to serialized"),
    ("no params", "registers: {}\n", "MetadataError", "Could not process metadata: failed to serialized"),
    ("negative count", acqbuilder.metadata_text(dict(SMALL_PARAMS, channels=-1)),
     "MetadataError", "Could not process metadata: failed to serialized"),
    ("top level a list", "- 1\n- 2\n", "MetadataError", "Could not process metadata: failed to serialized"),
    ("empty file", "", "MetadataError", "Could not process metadata: failed to serialized"),
]


@pytest.mark.parametrize("label, text, exc_name, message", METADATA_CASES, ids=[c[0] for c in METADATA_CASES])
def test_metadata_accepted_or_refused(tmp_path, label, text, exc_name, message):
    folder = _write(tmp_path / "a", text)
    if exc_name is None:
        acq = Acquisition(str(folder))
        assert acq.metadata == yaml.safe_load(text)
        return
    with pytest.raises(Exception) as info:
        Acquisition(str(folder))
    exc = info.value
    assert type(exc).__name__ == exc_name
    assert type(exc).__module__ == "acquisition"
    assert exc.args == (message,)


def test_yaml_syntax_error_passes_through_as_yamls_own(tmp_path):
    folder = _write(tmp_path / "a", "params: [unclosed\n")
    with pytest.raises(yaml.YAMLError):
        Acquisition(str(folder))


@pytest.mark.parametrize("setup", ["missing", "file", "no metadata"])
def test_not_an_acquisition_folder(tmp_path, setup):
    target = tmp_path / "t"
    if setup == "file":
        target.write_text("x")
    elif setup == "no metadata":
        target.mkdir()
    with pytest.raises(FileNotFoundError) as info:
        Acquisition(str(target))
    assert info.value.args == ("Invalid path",)
    assert info.value.errno is None


@pytest.mark.parametrize("setup", ["directory", "not utf-8"])
def test_unreadable_metadata_text(tmp_path, setup):
    folder = tmp_path / "a"
    folder.mkdir()
    if setup == "directory":
        (folder / "metadata.yml").mkdir()
    else:
        (folder / "metadata.yml").write_bytes(b"params: \xff\xfe\n")
    with pytest.raises(OSError) as info:
        Acquisition(str(folder))
    assert type(info.value) is OSError
    assert info.value.args == ("Could not read acquisition: failed to read metadata",)
    assert info.value.errno is None


# ---------------------------------------------------------------- getters

def test_path_name_and_validity(make_acq, tmp_path):
    folder = make_acq("a", chunks=[[small_event(0)]])
    acq = Acquisition(str(folder) + "/")
    assert acq.path == str(folder) + "/"
    assert acq.name == "a"
    assert acq.is_valid is True
    os.remove(folder / "metadata.yml")
    assert acq.is_valid is False
    # The stored payload keeps working.
    assert len(acq) == 1
    assert acq.parsed_event(0)["data"] == [[0.0, 1.0, 2.0, 3.0]]


def test_path_is_kept_relative(make_acq, tmp_path, monkeypatch):
    make_acq("rel")
    monkeypatch.chdir(tmp_path)
    acq = Acquisition("rel")
    assert acq.path == "rel"
    assert acq.name == "rel"


def test_metadata_and_params_identity(make_acq):
    acq = Acquisition(str(make_acq("a", chunks=[[small_event(0)]])))
    assert acq.metadata is acq.metadata
    assert acq.params is acq.metadata["params"]
    acq.metadata["params"]["model"] = "x"
    assert acq.params["model"] == "x"
    # The typed Params were copied at construction.
    assert acq.parsed_event(0)["data"] == [[0.0, 1.0, 2.0, 3.0]]


def test_params_missing_item_raises_key_error(make_acq):
    acq = Acquisition(str(make_acq("a")))
    del acq.metadata["params"]
    with pytest.raises(KeyError) as info:
        acq.params
    assert info.value.args == ("params",)


def test_params_of_a_non_dict_and_safe_load_replaced_before_first_use(make_acq, run_python):
    folder = make_acq("a")
    out = run_python(
        f"""
import yaml, vexoacq
yaml.safe_load = lambda text: ["loaded", len(text)]
acq = vexoacq.Acquisition({str(folder)!r})
print(acq.metadata[0])
try:
    acq.params
except TypeError as e:
    print(e)
yaml.safe_load = lambda text: 1 / 0   # the slot keeps the first object
print(vexoacq.Acquisition({str(folder)!r}).metadata[0])
"""
    )
    assert out.splitlines() == ["loaded", "'list' object cannot be converted to 'PyDict'", "loaded"]


@pytest.mark.parametrize("present", [(0, 1, 3), (0,), ()])
def test_chunk_count(make_acq, present):
    folder = make_acq("a")
    for n in present:
        acqbuilder.write_chunk(folder, n, [small_event(n)])
    expected = 0
    while expected in present:
        expected += 1
    assert Acquisition(str(folder)).chunk_count == expected


def test_chunk_count_needs_both_files(make_acq):
    folder = make_acq("a")
    (folder / "0.bin").write_bytes(b"")
    acq = Acquisition(str(folder))
    assert acq.chunk_count == 0
    (folder / "0.idx").write_bytes(b"")  # an empty index still counts
    assert acq.chunk_count == 1


MISC_GETTERS = [
    ("readout_metadata", "readout_metadata"),
    ("pedestals_calibration", "pedestals_calibration"),
    ("adc_to_mv_calibration", "adc2mv_calibration"),
    ("timing_calibration", "timing_calibration"),
]


@pytest.mark.parametrize("attr, filename", MISC_GETTERS)
def test_misc_data_getters(make_acq, attr, filename):
    content = {"attr": attr, "values": [1.5, 2.5]}
    acq = Acquisition(str(make_acq("a", misc={filename: content})))
    first = getattr(acq, attr)
    assert first == content
    second = getattr(acq, attr)
    assert second == content and second is not first
    # Only the named file is read.
    others = [a for a, _ in MISC_GETTERS if a != attr]
    assert all(getattr(acq, o) is None for o in others)


def test_misc_data_not_gzip_raises_gzips_error(make_acq):
    import pickle

    acq = Acquisition(str(make_acq("a", misc={"pedestals_calibration": pickle.dumps({"x": 1})})))
    with pytest.raises(OSError) as info:  # gzip.BadGzipFile
        acq.pedestals_calibration
    assert "Could not read acquisition" not in str(info.value)


def test_misc_data_unreadable_file(make_acq):
    folder = make_acq("a")
    (folder / "timing_calibration").mkdir()
    acq = Acquisition(str(folder))
    with pytest.raises(OSError) as info:
        acq.timing_calibration
    assert type(info.value) is OSError
    assert str(info.value).startswith("Could not read acquisition: ")
    assert len(info.value.args) == 1


@pytest.mark.parametrize("attr", ["path", "name", "is_valid", "metadata", "params", "chunk_count", "extra"])
def test_attributes_are_read_only(make_acq, attr):
    acq = Acquisition(str(make_acq("a")))
    with pytest.raises(AttributeError):
        setattr(acq, attr, 1)


def test_type_properties(make_acq):
    acq = Acquisition(str(make_acq("a")))
    with pytest.raises(TypeError):
        class Sub(Acquisition):  # noqa: F841
            pass
    assert not hasattr(acq, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(acq)
    assert type(acq).__module__ == "builtins"


# ------------------------------------------------------ garbage collection

class _Probe:
    """Stored in the metadata object: it dies exactly when that object does."""


# What the metadata object is made to hold, closing a cycle back to it.
CYCLES = [
    ("the acquisition itself", lambda acq: acq),
    ("an iterator over a copy", lambda acq: iter(acq)),
    ("an iterator over the acquisition", lambda acq: type(iter(acq))(acq)),
    ("a started iterator", lambda acq: _started(iter(acq))),
]


def _started(it):
    next(it)
    return it


@pytest.mark.parametrize("label, close", CYCLES, ids=[c[0] for c in CYCLES])
def test_cycles_through_the_metadata_are_collected(five_events, label, close):
    acq = Acquisition(str(five_events))
    probe = _Probe()
    acq.metadata["probe"] = probe
    acq.metadata["cycle"] = close(acq)
    gone = weakref.ref(probe)
    del acq, probe
    gc.collect()
    assert gone() is None, label


def test_both_classes_show_the_collector_what_they_hold(five_events):
    acq = Acquisition(str(five_events))
    it = type(iter(acq))(acq)
    assert gc.is_tracked(acq) and gc.is_tracked(it)
    assert acq.metadata in gc.get_referents(acq)
    assert acq in gc.get_referents(it)


# ----------------------------------------------------- raw and parsed events

def test_raw_event(five_events):
    acq = Acquisition(str(five_events))
    for i in range(5):
        d = acq.raw_event(i)
        assert list(d) == ["rawdata", "pkg_num", "event_num"]
        assert d["rawdata"] == small_event(i)
        assert type(d["rawdata"]) is bytes
        assert d["pkg_num"] == i and d["event_num"] == i
    assert acq.raw_event(index=3)["rawdata"] == small_event(3)


@pytest.mark.parametrize("method", ["raw_event", "parsed_event"])
@pytest.mark.parametrize(
    "arg, exc, message",
    [
        (5, IndexError, "Index out of bounds"),
        (-1, OverflowError, None),
        (2**32, OverflowError, None),
        ("1", TypeError, "argument 'index': "),
        (1.0, TypeError, "argument 'index': "),
    ],
)
def test_event_method_index_errors(five_events, method, arg, exc, message):
    acq = Acquisition(str(five_events))
    with pytest.raises(exc) as info:
        getattr(acq, method)(arg)
    if message is not None:
        assert str(info.value).startswith(message)
    if exc is IndexError:
        assert info.value.args == (message,)


@pytest.mark.parametrize("method", ["raw_event", "parsed_event"])
def test_event_method_arity(five_events, method):
    acq = Acquisition(str(five_events))
    with pytest.raises(TypeError) as info:
        getattr(acq, method)()
    assert str(info.value) == f"Acquisition.{method}() missing 1 required positional argument: 'index'"
    with pytest.raises(TypeError) as info:
        getattr(acq, method)(1, 2)
    assert str(info.value) == f"Acquisition.{method}() takes 1 positional arguments but 2 were given"


def test_event_method_docstrings():
    assert Acquisition.raw_event.__doc__ == "Fetch a raw event as `bytes`."
    assert Acquisition.raw_event.__text_signature__ == "($self, index)"
    assert Acquisition.parsed_event.__doc__ == "Fetch a parsed event. Requires `vexodaq` to be installed."
    assert Acquisition.chunk_count.__doc__ == "Get the number of chunks in the acquisition"


def test_index_via_dunder_index(five_events):
    class Idx:
        def __index__(self):
            return 2

    acq = Acquisition(str(five_events))
    assert acq.raw_event(Idx())["pkg_num"] == 2
    assert acq.raw_event(True)["pkg_num"] == 1


def test_unknown_model_raw_ok_parsed_fails(make_acq):
    folder = make_acq("a", params=dict(SMALL_PARAMS, model="Ryk16"), chunks=[[small_event(0)]])
    acq = Acquisition(str(folder))
    assert acq.raw_event(0)["rawdata"] == small_event(0)
    with pytest.raises(Exception) as info:
        acq.parsed_event(0)
    assert type(info.value).__name__ == "ParsingError"
    assert info.value.args == ("Failed to parse event: data is from an unsupported board model",)


def test_index_record_past_the_data_file(make_acq):
    folder = make_acq("a")
    (folder / "0.bin").write_bytes(b"\x00" * 4)
    (folder / "0.idx").write_bytes(acqbuilder.index_bytes([8]))
    acq = Acquisition(str(folder))
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq.raw_event(0)
