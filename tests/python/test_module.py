"""The module as a whole: registration, __all__, docstrings, argument rules."""

import os
import pathlib

import pytest

import vexoacq

ALL_NAMES = [
    "Acquisition",
    "list_acquisitions",
    "is_acquisition",
    "export_csv",
    "syndrome",
    "global_parity",
    "syndrome_to_index",
    "ecc_check",
    "ecc_correct",
]


def test_all_lists_the_nine_names_in_registration_order():
    assert vexoacq.__all__ == ALL_NAMES
    for name in ALL_NAMES:
        assert getattr(vexoacq, name) is not None


def test_module_docstring():
    assert vexoacq.__doc__ == "Register PyO3 bindings to vexoacquisition."


@pytest.mark.parametrize(
    "name", ["IterEvents", "ParsingError", "MetadataError", "ExportError", "FullChunkError", "PanicException"]
)
def test_unregistered_names_are_not_attributes(name):
    with pytest.raises(AttributeError):
        getattr(vexoacq, name)


@pytest.mark.parametrize(
    "fn, doc, signature",
    [
        ("list_acquisitions", "List all acquisitions in a directory.", "(root_dir)"),
        ("is_acquisition", "Check if a folder is a valid acquisition.", "(path)"),
    ],
)
def test_function_docstrings_and_signatures(fn, doc, signature):
    f = getattr(vexoacq, fn)
    assert f.__doc__ == doc
    assert f.__text_signature__ == signature
    assert f.__name__ == fn
    assert f.__module__ == "vexoacq"
    assert f.__self__ is vexoacq


def test_class_docstring_and_signature():
    cls = vexoacq.Acquisition
    assert cls.__doc__ == "Pythonic wrapper around the [`crate::Acquisition`] class."
    assert cls.__text_signature__ == "(root)"
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == "Acquisition"


def test_second_import_gets_the_same_class():
    import sys

    first = vexoacq.Acquisition
    del sys.modules["vexoacq"]
    try:
        import vexoacq as again

        assert again is not vexoacq
        assert again.Acquisition is first
        assert again.__all__ == ALL_NAMES
    finally:
        sys.modules["vexoacq"] = vexoacq


class PathLike:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


# (callable, args, kwargs, exact message or None, message prefix)
ARGUMENT_ERRORS = [
    (lambda *a, **k: vexoacq.is_acquisition(*a, **k), (), {},
     "is_acquisition() missing 1 required positional argument: 'path'"),
    (lambda *a, **k: vexoacq.is_acquisition(*a, **k), ("a", "b"), {},
     "is_acquisition() takes 1 positional arguments but 2 were given"),
    (lambda *a, **k: vexoacq.is_acquisition(*a, **k), (), {"folder": "a"},
     "is_acquisition() got an unexpected keyword argument 'folder'"),
    (lambda *a, **k: vexoacq.is_acquisition(*a, **k), ("a",), {"path": "b"},
     "is_acquisition() got multiple values for argument 'path'"),
    (lambda *a, **k: vexoacq.is_acquisition(*a, **k), (b"/tmp",), {},
     "argument 'path': 'bytes' object is not an instance of 'str'"),
    (lambda *a, **k: vexoacq.is_acquisition(*a, **k), (PathLike(b"/tmp"),), {},
     "argument 'path': 'bytes' object is not an instance of 'str'"),
    (lambda *a, **k: vexoacq.list_acquisitions(*a, **k), (), {},
     "list_acquisitions() missing 1 required positional argument: 'root_dir'"),
    (lambda *a, **k: vexoacq.list_acquisitions(*a, **k), (b"x",), {},
     "argument 'root_dir': 'bytes' object is not an instance of 'str'"),
    (lambda *a, **k: vexoacq.Acquisition(*a, **k), (), {},
     "Acquisition.__new__() missing 1 required positional argument: 'root'"),
    (lambda *a, **k: vexoacq.Acquisition(*a, **k), ("a", "b", "c"), {},
     "Acquisition.__new__() takes 1 positional arguments but 3 were given"),
    (lambda *a, **k: vexoacq.Acquisition(*a, **k), (), {"rot": "a"},
     "Acquisition.__new__() got an unexpected keyword argument 'rot'"),
    (lambda *a, **k: vexoacq.Acquisition(*a, **k), ("a",), {"root": "a"},
     "Acquisition.__new__() got multiple values for argument 'root'"),
    (lambda *a, **k: vexoacq.Acquisition(*a, **k), (b"x",), {},
     "argument 'root': 'bytes' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("call, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize("bad", [3, None, 1.5, object()])
def test_non_path_argument_is_reworded(bad):
    with pytest.raises(TypeError) as info:
        vexoacq.is_acquisition(bad)
    assert str(info.value).startswith("argument 'path': ")
    assert "PathLike" in str(info.value)  # PyOS_FSPath's own text follows


def test_reworded_error_keeps_the_cause():
    class Bad:
        def __fspath__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("bad fspath") from e

    with pytest.raises(TypeError) as info:
        vexoacq.is_acquisition(Bad())
    assert str(info.value) == "argument 'path': bad fspath"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_pass_unchanged():
    class Bad:
        def __fspath__(self):
            raise ValueError("no path here")

    with pytest.raises(ValueError, match="^no path here$"):
        vexoacq.is_acquisition(Bad())


def test_missing_argument_name_joining():
    # Three or more names get ", and " before the last one.  export_csv has four.
    if not hasattr(vexoacq, "export_csv"):
        pytest.skip("export_csv not built")
    with pytest.raises(TypeError) as info:
        vexoacq.export_csv()
    assert str(info.value) == (
        "export_csv() missing 4 required positional arguments: "
        "'acq', 'indices', 'out_dir', and 'pedestals_correction'"
    )
    with pytest.raises(TypeError) as info:
        vexoacq.export_csv(1, 2)
    assert str(info.value) == (
        "export_csv() missing 2 required positional arguments: 'out_dir' and 'pedestals_correction'"
    )


@pytest.mark.parametrize("how", ["positional", "keyword", "pathlib", "pathlike"])
def test_path_argument_forms(tmp_path, how):
    (tmp_path / "metadata.yml").write_text("")
    call = {
        "positional": lambda: vexoacq.is_acquisition(str(tmp_path)),
        "keyword": lambda: vexoacq.is_acquisition(path=str(tmp_path)),
        "pathlib": lambda: vexoacq.is_acquisition(pathlib.Path(tmp_path)),
        "pathlike": lambda: vexoacq.is_acquisition(PathLike(str(tmp_path))),
    }[how]
    assert call() is True


def test_surrogate_escaped_path_reaches_the_file_system(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9"
    os.mkdir(raw)
    open(raw + b"/metadata.yml", "wb").close()
    assert vexoacq.is_acquisition(os.fsdecode(raw)) is True
