"""The error mapping: exception class, message, args and errno per failure."""

import pytest

import acqbuilder
import vexoacq
from conftest import SMALL_PARAMS, small_event

Acquisition = vexoacq.Acquisition


def _missing(tmp_path):
    Acquisition(str(tmp_path / "none"))


def _metadata_dir(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "metadata.yml").mkdir()
    Acquisition(str(tmp_path / "a"))


def _past_end(tmp_path):
    acq = Acquisition(str(acqbuilder.write_acquisition(tmp_path / "a", params=SMALL_PARAMS,
                                                       chunks=[[small_event(0)]])))
    acq[1]


def _untyped(tmp_path):
    Acquisition(str(acqbuilder.write_acquisition(tmp_path / "a", metadata="params: 1\nregisters: {}\n")))


def _unsupported(tmp_path):
    folder = acqbuilder.write_acquisition(tmp_path / "a", params=dict(SMALL_PARAMS, model="zelkv3 "),
                                          chunks=[[b""]])
    Acquisition(str(folder))[0]


def _bad_length(tmp_path):
    folder = acqbuilder.write_acquisition(tmp_path / "a", params=SMALL_PARAMS, chunks=[[small_event(0)[:-1]]])
    Acquisition(str(folder))[0]


def _unmappable_index(tmp_path):
    folder = acqbuilder.write_acquisition(tmp_path / "a", params=SMALL_PARAMS)
    (folder / "0.bin").write_bytes(b"")
    (folder / "0.idx").mkdir()
    Acquisition(str(folder))["x"]  # the count comes before the index check


# trigger -> (class name, class module, message)
TABLE = [
    (_missing, "FileNotFoundError", "builtins", "Invalid path"),
    (_metadata_dir, "OSError", "builtins", "Could not read acquisition: failed to read metadata"),
    (_past_end, "IndexError", "builtins", "Index out of bounds"),
    (_untyped, "MetadataError", "acquisition", "Could not process metadata: failed to serialized"),
    (_unsupported, "ParsingError", "acquisition", "Failed to parse event: data is from an unsupported board model"),
    (_bad_length, "ParsingError", "acquisition", "Failed to parse event: unexpected length of data"),
    (_unmappable_index, "FileNotFoundError", "builtins", "Invalid path"),
]


@pytest.mark.parametrize("trigger, cls_name, cls_module, message", TABLE, ids=[t[0].__name__ for t in TABLE])
def test_error_table(tmp_path, trigger, cls_name, cls_module, message):
    with pytest.raises(Exception) as info:
        trigger(tmp_path)
    exc = info.value
    assert type(exc).__name__ == cls_name
    assert type(exc).__module__ == cls_module
    assert exc.args == (message,)
    assert str(exc) == message
    if isinstance(exc, OSError):
        assert exc.errno is None and exc.strerror is None and exc.filename is None


def _catch(fn, tmp_path):
    try:
        fn(tmp_path)
    except Exception as e:  # noqa: BLE001
        return e
    raise AssertionError("no exception")


def test_own_classes_are_plain_exceptions_made_once(tmp_path):
    a = _catch(_unsupported, tmp_path / "1")
    b = _catch(_bad_length, tmp_path / "2")
    assert type(a) is type(b)
    cls = type(a)
    assert cls.__bases__ == (Exception,)
    assert cls.__doc__ is None
    assert cls.__qualname__ == "ParsingError"
    for other in (OSError, ValueError, IndexError):
        assert not isinstance(a, other)
    m = _catch(_untyped, tmp_path / "3")
    assert type(m) is not cls and type(m).__bases__ == (Exception,)
    for name in ("ParsingError", "MetadataError", "ExportError", "FullChunkError"):
        assert not hasattr(vexoacq, name)


def test_classes_are_made_only_when_raised(make_acq, run_python, tmp_path):
    bad = acqbuilder.write_acquisition(tmp_path / "root" / "bad", metadata="params: 1\nregisters: {}\n")
    odd = acqbuilder.write_acquisition(tmp_path / "odd", params=dict(SMALL_PARAMS, model="nope"),
                                       chunks=[[small_event(0)]])
    out = run_python(
        f"""
import gc, vexoacq
def own():
    return sorted(t.__name__ for t in gc.get_objects()
                  if isinstance(t, type) and t.__module__ == "acquisition")
print(vexoacq.list_acquisitions({str(bad.parent)!r}), own())
print(list(vexoacq.Acquisition({str(odd)!r})), own())
try:
    vexoacq.Acquisition({str(bad)!r})
except Exception as e:
    print(type(e).__name__, own())
"""
    )
    assert out.splitlines() == ["[] []", "[] []", "MetadataError ['MetadataError']"]


def test_panic_exception_for_a_path_without_a_name(make_acq, capfd):
    folder = make_acq("a")
    (folder / "sub").mkdir()
    acq = Acquisition(str(folder / "sub" / ".."))
    with pytest.raises(BaseException) as info:
        acq.name
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__module__ == "pyo3_runtime"
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert exc.args == ("could not get acquisition name",)
    assert "could not get acquisition name" in capfd.readouterr().err
    # The instance stays usable.
    assert acq.is_valid is False or acq.is_valid is True


@pytest.mark.parametrize("model, event", [("quopoc_quop", b"\x12\x34"), ("tolv96", bytes(102)),
                                          ("tolv96", b"\x00\x00")])
def test_panic_exception_for_no_chips_names_the_key(make_acq, model, event):
    # Both multi-chip families share their channels out over num_chips and
    # refuse a count of 0 with the same text.
    folder = make_acq(params=acqbuilder.params(model, 96, 1, 1, num_chips=0), chunks=[[event]])
    with pytest.raises(BaseException) as info:
        Acquisition(str(folder))[0]
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("num_chips must be non-zero",)


def test_panic_exception_for_a_non_utf8_path(tmp_path):
    import os

    raw = os.fsencode(str(tmp_path)) + b"/\xff"
    acqbuilder.write_acquisition(os.fsdecode(raw), params=SMALL_PARAMS)
    acq = Acquisition(os.fsdecode(raw))
    for attr in ("path", "name"):
        with pytest.raises(BaseException) as info:
            getattr(acq, attr)
        assert type(info.value).__name__ == "PanicException"
    assert len(acq) == 0  # everything else works
