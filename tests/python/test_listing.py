"""is_acquisition and list_acquisitions."""

import os

import pytest

import acqbuilder
import vexoacq
from conftest import SMALL_PARAMS


@pytest.mark.parametrize(
    "setup, expected",
    [
        ("missing", False),
        ("file", False),
        ("folder without metadata", False),
        ("metadata is empty", True),
        ("metadata is not yaml", True),
        ("metadata is a folder", True),
    ],
)
def test_is_acquisition(tmp_path, setup, expected):
    t = tmp_path / "t"
    if setup == "file":
        t.write_text("x")
    elif setup != "missing":
        t.mkdir()
        if setup == "metadata is empty":
            (t / "metadata.yml").write_text("")
        elif setup == "metadata is not yaml":
            (t / "metadata.yml").write_text("params: [\n")
        elif setup == "metadata is a folder":
            (t / "metadata.yml").mkdir()
    assert vexoacq.is_acquisition(str(t)) is expected


@pytest.mark.parametrize("setup", ["missing", "file"])
def test_listing_something_that_is_no_folder(tmp_path, setup):
    t = tmp_path / "t"
    if setup == "file":
        t.write_text("x")
    assert vexoacq.list_acquisitions(str(t)) == []


def test_listing_order_and_skipping(tmp_path):
    root = tmp_path / "root"
    acqbuilder.write_acquisition(root / "a1", params=SMALL_PARAMS)
    acqbuilder.write_acquisition(root / "a2", params=SMALL_PARAMS)
    acqbuilder.write_acquisition(root / "bad_yaml", metadata="params: [\n")
    acqbuilder.write_acquisition(root / "no_registers", metadata="params: {model: x, channels: 1, windows: 1, samples: 1}\n")
    acqbuilder.write_acquisition(root / "deeper" / "nested", params=SMALL_PARAMS)
    (root / "plain_file").write_text("x")
    (root / "empty_dir").mkdir()
    acqbuilder.write_acquisition(root, params=SMALL_PARAMS)  # root itself is not listed

    listed = vexoacq.list_acquisitions(str(root))
    os_order = [e for e in os.listdir(root) if e in ("a1", "a2")]
    assert [a.name for a in listed] == os_order
    assert all(type(a) is vexoacq.Acquisition for a in listed)
    # The skipped folders still raise when opened directly.
    with pytest.raises(Exception):
        vexoacq.Acquisition(str(root / "bad_yaml"))
    with pytest.raises(Exception):
        vexoacq.Acquisition(str(root / "no_registers"))


@pytest.mark.parametrize("suffix", ["", "/"])
def test_listed_paths_join_with_one_separator(tmp_path, monkeypatch, suffix):
    acqbuilder.write_acquisition(tmp_path / "data" / "x", params=SMALL_PARAMS)
    monkeypatch.chdir(tmp_path)
    listed = vexoacq.list_acquisitions("data" + suffix)
    assert [a.path for a in listed] == ["data/x"]


def test_listing_without_yaml(tmp_path, run_python):
    root = tmp_path / "root"
    acqbuilder.write_acquisition(root / "a", params=SMALL_PARAMS)
    out = run_python(
        f"""
import sys
sys.modules["yaml"] = None       # import yaml now fails
import vexoacq
print(vexoacq.list_acquisitions({str(root)!r}))
try:
    vexoacq.Acquisition({str(root / "a")!r})
except ImportError as e:
    print(type(e).__name__)
del sys.modules["yaml"]          # importable again: the slot is retried
print([a.name for a in vexoacq.list_acquisitions({str(root)!r})])
"""
    )
    assert out.splitlines() == ["[]", "ModuleNotFoundError", "['a']"]
